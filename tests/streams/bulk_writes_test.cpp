// The bulk paths must write exactly what the per-field paths write: a whole value line
// against one emit_field per value, a BitBatch against one bitsink_put per field, and the
// word-wide bitsink_put against the byte loop it takes near the end of its buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "streams/stream_set.h"

namespace {

std::vector<std::int32_t> sample_values(std::size_t n) {
    std::vector<std::int32_t> v(n);
    std::uint32_t x = 99;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        // Mostly zeros and small values, now and then the extremes of the type.
        const std::uint32_t pick = x >> 28;
        v[i] = pick < 8 ? 0 : pick < 14 ? static_cast<std::int32_t>(x >> 24) - 128
                          : pick == 14 ? INT32_MIN : INT32_MAX;
    }
    return v;
}

TEST(EmitValues, ContainerListsMatchOneEmitFieldPerValueAcrossGrowth) {
    // frame_count 1: every list starts with room for 1024 values, so the longer lines
    // below run through the growth path.
    for (std::size_t n : {std::size_t{0}, std::size_t{5}, std::size_t{1024}, std::size_t{1500}, std::size_t{5000}}) {
        SCOPED_TRACE(n);
        const std::vector<std::int32_t> values = sample_values(n);
        StreamSet bulk;
        StreamSet single;
        streamset_build(bulk, 0, 4096, 1);
        streamset_build(single, 0, 4096, 1);
        for (int line = 0; line < 3; ++line) {
            emit_values(bulk, values.data(), values.size(), LIST_QMDCT_1);
            for (std::int32_t v : values) emit_field(single, v, 0, LIST_QMDCT_1, EMIT_VALUE);
        }
        ASSERT_EQ(bulk.lists[LIST_QMDCT_1].count, single.lists[LIST_QMDCT_1].count);
        ASSERT_EQ(bulk.lists[LIST_QMDCT_1].count, 3 * n);
        EXPECT_EQ(valuelist_values(bulk.lists[LIST_QMDCT_1]), valuelist_values(single.lists[LIST_QMDCT_1]));
        EXPECT_EQ(bulk.lists[LIST_QMDCT_0].count, 0u);  // other lists untouched
        streamset_release(bulk);
        streamset_release(single);
    }
}

TEST(EmitValues, CsvTextMatchesOneEmitFieldPerValue) {
    const std::vector<std::int32_t> values = sample_values(70000);  // more than one CSV buffer
    StreamSet bulk;
    StreamSet single;
    streamset_build(bulk, 1, 64, 0);
    streamset_build(single, 1, 64, 0);
    std::string bulk_text;
    std::string single_text;
    // Without files the flushes drop the text, so it is collected before each would happen.
    for (std::size_t i = 0; i < values.size(); i += 1000) {
        const std::size_t n = std::min<std::size_t>(1000, values.size() - i);
        emit_values(bulk, values.data() + i, n, 3);
        for (std::size_t j = 0; j < n; ++j) emit_field(single, values[i + j], 0, 3, EMIT_VALUE);
        bulk_text.append(bulk.csv[3].buffer, bulk.csv[3].used);
        single_text.append(single.csv[3].buffer, single.csv[3].used);
        bulk.csv[3].used = 0;
        single.csv[3].used = 0;
    }
    EXPECT_EQ(bulk_text, single_text);
    EXPECT_EQ(bulk_text.substr(0, 2), values[0] == 0 ? "0," : bulk_text.substr(0, 2));
    const std::int32_t edge[] = {0, -1, INT32_MIN, INT32_MAX, 10};
    emit_values(bulk, edge, 5, 3);
    EXPECT_EQ(std::string(bulk.csv[3].buffer, bulk.csv[3].used), "0,-1,-2147483648,2147483647,10,");
    streamset_release(bulk);
    streamset_release(single);
}

struct Field {
    std::uint32_t value;
    unsigned width;
};

std::vector<Field> sample_fields(std::size_t n) {
    std::vector<Field> fields;
    std::uint32_t x = 7;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        // Widths 0..32 with values that carry bits above their width, which must be ignored.
        fields.push_back({x ^ (x << 7), (x >> 11) % 33});
    }
    return fields;
}

TEST(BitBatch, WritesWhatOnePutPerFieldWrites) {
    const std::vector<Field> fields = sample_fields(4000);
    for (std::size_t capacity : {std::size_t{9000}, std::size_t{300}}) {  // roomy, and one that fills up
        SCOPED_TRACE(capacity);
        std::vector<std::uint8_t> a(capacity + 8, 0x5A);
        std::vector<std::uint8_t> b(capacity + 8, 0x5A);
        BitSink direct;
        BitSink batched;
        bitsink_create(direct, a.data(), capacity);
        bitsink_create(batched, b.data(), capacity);
        BitBatch batch;
        int direct_bits = 0;
        std::size_t first_refusal = SIZE_MAX;  // bit position where the direct sink first refused a field
        for (const Field& f : fields) {
            const unsigned put = bitsink_put(direct, f.value, f.width);
            if (put != f.width && first_refusal == SIZE_MAX) first_refusal = direct.bits_written;
            direct_bits += static_cast<int>(put);
            batch_put(batched, batch, f.value, f.width);
        }
        const int batched_bits = batch_finish(batched, batch);
        if (!direct.overflow) {
            EXPECT_EQ(batched_bits, direct_bits);
            EXPECT_EQ(batched.bits_written, direct.bits_written);
            EXPECT_EQ(a, b);
        } else {
            // Both refuse what does not fit and keep what they held, nothing past capacity.
            // (A refused frame is dropped whole, so only the bits before the first refusal
            // matter; the batch hands bits over in 32-bit steps from bit 0.)
            EXPECT_TRUE(batched.overflow);
            EXPECT_LE(batched.bits_written, capacity * 8);
            const std::size_t common = first_refusal / 32 * 32 / 8;
            EXPECT_GT(common, 0u);
            EXPECT_TRUE(std::equal(a.begin(), a.begin() + static_cast<long>(common), b.begin()));
            for (std::size_t i = capacity; i < capacity + 8; ++i) EXPECT_EQ(b[i], 0x5A) << i;
        }
    }
}

TEST(BitSink, WordWritesLeaveLaterBytesAloneAndKeepEarlierBits) {
    // The same fields into a large buffer (word-wide writes) and into one just big enough
    // (the byte loop near the end): the bytes must agree, and in both the byte after the
    // last bit keeps its contents.
    const std::vector<Field> fields = sample_fields(300);
    std::size_t total_bits = 0;
    for (const Field& f : fields) total_bits += f.width;
    const std::size_t exact = (total_bits + 7) / 8;
    std::vector<std::uint8_t> big(exact + 64, 0);
    std::vector<std::uint8_t> tight(exact, 0);
    BitSink wide;
    BitSink narrow;
    bitsink_create(wide, big.data(), big.size(), true);
    bitsink_create(narrow, tight.data(), tight.size(), true);
    big[exact] = 0xC3;  // beyond the last bit: never touched
    for (const Field& f : fields) {
        ASSERT_EQ(bitsink_put(wide, f.value, f.width), f.width);
        ASSERT_EQ(bitsink_put(narrow, f.value, f.width), f.width);
    }
    EXPECT_EQ(wide.bits_written, total_bits);
    EXPECT_TRUE(std::equal(tight.begin(), tight.end(), big.begin()));
    EXPECT_EQ(big[exact], 0xC3);
    // A write into a byte that already holds bits below the position keeps them (OR).
    std::vector<std::uint8_t> buf(16, 0);
    BitSink s;
    bitsink_create(s, buf.data(), buf.size());
    ASSERT_EQ(bitsink_put(s, 1, 3), 3u);  // 001
    buf[0] |= 0x01;                       // a bit the sink has not reached yet
    ASSERT_EQ(bitsink_put(s, 0x1F, 5), 5u);
    EXPECT_EQ(buf[0], 0x3F);
}

}  // namespace
