// Spectral re-encoding: codeword transcoding, band value encoding with escapes and
// clamping, and the spectral writer's two paths (frame end, padding, fill, cut-offs).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "rebuild/ics_info.h"
#include "rebuild/rebuild_test_util.h"
#include "spectral/band_encoder.h"
#include "spectral/codebook_coders.h"
#include "spectral/spectral_writer.h"
#include "aac/codebooks.h"

using namespace rebuild_test;

namespace {

using Entry = std::pair<std::int32_t, std::int32_t>;  // code, length

std::vector<Entry> queue_of(const FrameState& st) {
    std::vector<Entry> q;
    for (int i = 0; i < st.count; ++i) q.emplace_back(st.codes[i], st.lengths[i]);
    return q;
}

Entry entry(int cb, int index) {
    const SpectralCodeEntry e = lookup_codeword(cb, index);
    return {e.codeword, e.length};
}

TEST(BandEncoder, EntriesOfOneBand) {
    struct Row {
        const char* name;
        int cb;
        std::vector<std::int32_t> values;
        std::vector<Entry> expected;
    };
    const Row rows[] = {
        {"codebook 11 (20, -40)", 11, {20, -40}, {entry(11, 288), {0, 1}, {1, 1}, {4, 5}, {72, 7}}},
        {"codebook 11 (0, 17)", 11, {0, 17}, {entry(11, 16), {0, 1}, {1, 5}}},
        {"codebook 0: one placeholder", 0, {0, 0, 0, 0}, {{0, 0}}},
        {"codebook 14: one placeholder", 14, {0, 0}, {{0, 0}}},
        {"codebook 13: nothing", 13, {0, 0}, {}},
        {"codebook 3 all-zero quadruple: no signs", 3, {0, 0, 0, 0}, {entry(3, 0)}},
        {"codebook 2, 6: signed, no sign entries", 6, {-4, 3}, {entry(6, 9 * 0 + 7)}},
        {"clamped: codebook 1 value 5 codes as 1", 1, {5, 0, -3, 0}, {entry(1, 27 * 2 + 9 + 3 * 0 + 1)}},
        {"clamped: codebook 7 value -9 codes as -7", 7, {-9, 2}, {entry(7, 8 * 7 + 2), {1, 1}, {0, 1}}},
        {"clamped: codebook 11 magnitude above 8191", 11, {100000, 0}, {entry(11, 272), {0, 1}, {2093055, 21}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameState st;
        const int sum = encode_band(st, row.cb, row.values.data(), 0, static_cast<int>(row.values.size()));
        EXPECT_EQ(queue_of(st), row.expected);
        int expected_sum = 0;
        for (const Entry& e : row.expected) expected_sum += e.second;
        EXPECT_EQ(sum, expected_sum);
    }
}

TEST(BandEncoder, NeverWritesPastTheQueueOrTheSpectrum) {
    FrameState st;
    st.count = kCodewordQueueSize - 1;
    const std::int32_t values[4] = {100, -200, 300, 400};
    encode_band(st, 11, values, 0, 4);
    EXPECT_EQ(st.count, kCodewordQueueSize);
    FrameState lines;
    std::int32_t spectrum[1024] = {};
    spectrum[1023] = 1;
    EXPECT_EQ(encode_band(lines, 1, spectrum, 1020, 64), lookup_codeword(1, 41).length);  // only 1020..1023
}

// The value path writes a band's entries straight into the frame; the bits must be those
// of the queue flushed, for every book (16..31 as 11, 0/14/15 placeholders, 12/13 nothing),
// with values inside and outside each book's range.
TEST(BandEncoder, DirectBitsEqualTheFlushedQueue) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> small(-20, 20);
    std::uniform_int_distribution<int> wide(-9000, 9000);
    for (int cb = 0; cb <= 31; ++cb) {
        SCOPED_TRACE(cb);
        std::int32_t values[1024];
        for (int k = 0; k < 1024; ++k) values[k] = k % 37 == 0 ? wide(rng) : k % 3 == 0 ? 0 : small(rng);
        FrameState st;
        std::uint8_t queued[8192] = {};
        std::uint8_t direct[8192] = {};
        BitSink a, b;
        bitsink_create(a, queued, sizeof queued);
        bitsink_create(b, direct, sizeof direct);
        BitBatch batch;
        for (int first = 0; first < 1024; first += 32) {
            encode_band(st, cb, values, first, 32);
            encode_band_bits(b, batch, cb, values, first, 32);
        }
        const int bits = flush_codeword_queue(st, a);
        EXPECT_EQ(batch_finish(b, batch), bits);
        EXPECT_EQ(std::memcmp(queued, direct, sizeof queued), 0);
        if (cb >= 1 && cb <= 11) {
            EXPECT_GT(bits, 0);
        }
    }
}

// A state with one long-window section of codebook `cb` over spectral lines 0..lines-1.
void one_section(FrameState& st, int cb, int lines) {
    st.num_window_groups = 1;
    st.num_sec[0] = 1;
    st.sect_cb[0][0] = cb;
    st.sect_start[0][0] = 0;
    st.sect_end[0][0] = 1;
    st.sect_sfb_offset[0][0] = 0;
    st.sect_sfb_offset[0][1] = lines;
}

struct EndRow {
    const char* name;
    int next_element_id;
    int bits_before;
    int aac_frame_length;
    int expected_result;
};

TEST(CodewordPath, FrameEndPaddingAndFillMend) {
    const EndRow rows[] = {
        {"END then padding: 197 zero bits", 7, 1000, 400, 2200},
        {"no header: no padding", 7, 1000, 0, 2003},
        {"FIL next: fill element up to the length, then END", 6, 1000, 400, 2200},
        {"FIL next, room for END and alignment only", 6, 1000, 376, 2008},
        {"FIL next, no room at all: END runs over", 6, 1005, 375, 2003},
    };
    for (const EndRow& row : rows) {
        SCOPED_TRACE(row.name);
        Messages m;
        auto ctx = make_context(m.file);
        FrameState& st = ctx->state;
        st.channel_configuration = 1;
        st.next_element_id = row.next_element_id;
        st.aac_frame_length = row.aac_frame_length;
        one_section(st, 11, 1000);  // 500 all-zero pairs of 4 bits: 2000 bits
        Bits qmdct;
        for (int i = 0; i < 250; ++i) qmdct.put(0, 8);
        set_bits(*ctx, STREAM_QMDCT, qmdct);
        Frame frame;
        for (int i = 0; i < row.bits_before; ++i) bitsink_put(frame.sink, 1, 1);
        EXPECT_EQ(write_spectral_data(*ctx, frame.sink, 1, row.bits_before, LIST_QMDCT_0), row.expected_result);
        EXPECT_EQ(frame.written(), static_cast<std::size_t>(row.bits_before + row.expected_result));
        frame.cursor = static_cast<std::size_t>(row.bits_before) + 2000;
        if (row.next_element_id == 7) {
            EXPECT_EQ(frame.next(3), 7u);
            while (frame.cursor < frame.written()) ASSERT_EQ(frame.next(1), 0u);
            continue;
        }
        // A sound element sequence: fill elements of zero bytes, END, zero alignment bits.
        std::uint32_t id = 0;
        while ((id = frame.next(3)) == 6) {
            std::uint32_t count = frame.next(4);
            if (count == 15) count += frame.next(8) - 1;
            for (std::uint32_t i = 0; i < count; ++i) EXPECT_EQ(frame.next(8), 0u);
        }
        EXPECT_EQ(id, 7u);
        EXPECT_LT(frame.written() - frame.cursor, 8u);
        EXPECT_EQ(frame.written() % 8, 0u);
    }
}

TEST(CodewordPath, PairEndsAfterTheSecondChannelWithTheIdFromStc) {
    Messages m;
    auto ctx = make_context(m.file);
    FrameState& st = ctx->state;
    st.channel_configuration = 2;
    st.aac_frame_length = 10;
    one_section(st, 1, 4);
    set_bits(*ctx, STREAM_QMDCT, Bits().put(0, 2));  // one all-zero quadruple per channel
    set_bits(*ctx, STREAM_STC, Bits().put(7, 3));
    Frame frame;
    st.channel_index = 1;
    EXPECT_EQ(write_spectral_data(*ctx, frame.sink, 1, 0, LIST_QMDCT_0), 1);
    st.channel_index = 2;
    EXPECT_EQ(write_spectral_data(*ctx, frame.sink, 1, 1, LIST_QMDCT_0), 79);
    EXPECT_EQ(consumed(*ctx, STREAM_STC), 3u);
    frame.cursor = 2;
    EXPECT_EQ(frame.next(3), 7u);
}

struct CutRow {
    const char* name;
    int block_files;
    double lo, hi;
    std::size_t values;
    int first_line;   // first line that takes a value
    int lines_taken;  // lines that take values
    double lo_after, hi_after;
};

TEST(ValuePath, CutOffsPlaceTheValues) {
    const CutRow rows[] = {
        {"container, defaults: all lines", 0, 0, 0, 1024, 0, 1024, 0, 22050},
        {"container, 100..16000 Hz at 44.1 kHz: lines 4..743", 0, 100, 16000, 740, 4, 740, 100, 16000},
        {"container, low not below high: low reset", 0, 5000, 4000, 744, 0, 186, 0, 4000},
        {"container, list runs out: zeros", 0, 0, 0, 10, 0, 10, 0, 22050},
        {"-m, 740 values with low 100: from line 4", 1, 100, 16000, 740, 4, 740, 100, 16000},
        {"-m, 1024 values fill every line", 1, 5000, 0, 1024, 0, 1024, 5000, 0},
        {"-m, no reset of the low cut-off", 1, 5000, 4000, 186, 232, 186, 5000, 4000},
    };
    for (const CutRow& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        Messages m;
        auto ctx = make_context(m.file);
        FrameState& st = ctx->state;
        st.sf_index = 4;
        ctx->options.cutfreqlo = row.lo;
        ctx->options.cutfreqhi = row.hi;
        std::vector<std::int32_t> values(row.values);
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int32_t>(i % 7) - 3 + (i % 7 == 3 ? 9 : 0);
        if (row.block_files) {
            std::string line;
            for (std::int32_t v : values) line += std::to_string(v) + ",";
            write_text(dir.file("x_QMDCT_0.csv"), line + "\n\n");
            ctx->blocks.block_files = 1;
            ctx->blocks.file[LIST_QMDCT_0] = std::fopen(dir.file("x_QMDCT_0.csv").c_str(), "r");
        } else {
            set_values(*ctx, LIST_QMDCT_0, values);
        }
        Frame frame;
        write_spectral_data(*ctx, frame.sink, 0, 0, LIST_QMDCT_0);
        for (int k = 0; k < 1024; ++k) {
            const int i = k - row.first_line;
            const std::int32_t expected =
                i >= 0 && i < row.lines_taken && static_cast<std::size_t>(i) < values.size() ? values[static_cast<std::size_t>(i)] : 0;
            ASSERT_EQ(st.quant_spectrum[k], expected) << "line " << k;
        }
        EXPECT_EQ(ctx->options.cutfreqlo, row.lo_after);
        EXPECT_EQ(ctx->options.cutfreqhi, row.hi_after);
        if (!row.block_files) {
            EXPECT_EQ(ctx->blocks.value_position[LIST_QMDCT_0], std::min<std::size_t>(row.values, row.lines_taken));
        } else {
            // The next call reads the empty line after it: nothing is written.
            Frame next;
            EXPECT_EQ(write_spectral_data(*ctx, next.sink, 0, 0, LIST_QMDCT_0), 0);
            EXPECT_EQ(next.written(), 0u);
            close_data_blocks(ctx->blocks);
        }
    }
}

}  // namespace
