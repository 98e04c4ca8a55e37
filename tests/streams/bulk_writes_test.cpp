// A whole value line must be stored exactly as one emit_field per value would store it, in
// the ".swp" lists (across growth) and as CSV text.
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

}  // namespace
