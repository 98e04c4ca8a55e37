// Large data blocks are read through bounded windows: a ".bin" stream longer than its window
// and container lists longer than theirs must read exactly as if they were held whole,
// across window moves, steps back and the end of the data.
#include <gtest/gtest.h>

#include "rebuild/data_blocks.h"
#include "streams/block_files.h"
#include "support/test_util.h"

namespace {

// Where the reader's messages go; the tests look at statuses only.
struct Messages {
    std::FILE* file = std::tmpfile();
    ~Messages() { std::fclose(file); }
};

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    ::write_file(path, std::string(bytes.begin(), bytes.end()));
}

// Deterministic bytes with no period that lines up with the window.
std::vector<std::uint8_t> pattern_bytes(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    std::uint32_t x = 12345;
    for (std::uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

// The base name of -m block files whose streams all hold `qmdct` except QMDCT, which holds
// the given bytes.
std::string make_bins(const TempDir& dir, const std::vector<std::uint8_t>& qmdct) {
    const std::string base = dir.file("w");
    for (int i = 0; i < kStreamCount; ++i) write_file(base + kBinSuffix[i], i == STREAM_QMDCT ? qmdct : std::vector<std::uint8_t>{1});
    return base;
}

TEST(WindowedBin, ReadsLikeTheWholeStreamAcrossWindowMoves) {
    const std::size_t n = 3 * kBinWindowBytes + 123;
    const std::vector<std::uint8_t> bytes = pattern_bytes(n);
    TempDir dir;
    Messages m;
    DataBlocks blocks;
    ASSERT_EQ(open_data_blocks(blocks, make_bins(dir, bytes), 1, 1, m.file), 0);
    StreamReader& r = blocks.reader[STREAM_QMDCT];
    StreamReader whole;
    whole.buffer = bytes.data();
    whole.size = bytes.size();
    ASSERT_NE(r.buffer, nullptr);
    // Widths that do not divide 8, so reads straddle bytes and window edges, each after a
    // full look-ahead.
    const unsigned widths[] = {1, 7, 13, 32, 5, 19, 3, 31, 8, 2};
    std::size_t step = 0;
    while (!stream_exhausted(whole)) {
        SCOPED_TRACE(::testing::Message() << "bit " << whole.byte_position * 8 + whole.bit_position);
        const unsigned w = widths[step % 10];
        ASSERT_EQ(peek_bits(r, 32), peek_bits(whole, 32));
        ASSERT_EQ(read_bits(r, w), read_bits(whole, w));
        ASSERT_EQ(stream_exhausted(r), stream_exhausted(whole));
        ++step;
    }
    EXPECT_EQ(stream_exhausted(r), 1);
    EXPECT_EQ(read_bits(r, 16), 0u);  // past the end: zeros, as from a stream held whole
    // Back to the start from the end: the window follows.
    r.byte_position = 0;
    r.bit_position = 0;
    EXPECT_EQ(read_bits(r, 8), bytes[0]);
    close_data_blocks(blocks);
}

// A container of ten lists; list 8 is long enough to need several windows.
std::vector<std::uint8_t> container_bytes(const std::vector<std::vector<std::int32_t>>& lists) {
    std::vector<std::uint8_t> out;
    auto put32 = [&out](std::uint32_t v) {
        for (int j = 0; j < 4; ++j) out.push_back(static_cast<std::uint8_t>(v >> (8 * j)));
    };
    for (const auto& list : lists) {
        put32(static_cast<std::uint32_t>(list.size()));
        for (std::int32_t v : list) put32(static_cast<std::uint32_t>(v));
    }
    return out;
}

TEST(WindowedContainer, ValueLinesReadLikeWholeListsAcrossWindows) {
    std::vector<std::vector<std::int32_t>> lists(kListCount);
    for (int i = 0; i < kListCount; ++i) lists[i] = {i, -i, 1000 + i};
    const std::size_t long_count = 2 * kValueWindow + 777;
    lists[LIST_QMDCT_0].clear();
    for (std::size_t k = 0; k < long_count; ++k) lists[LIST_QMDCT_0].push_back(static_cast<std::int32_t>(k * 7) - 5000);
    TempDir dir;
    write_file(dir.file("c.swp"), container_bytes(lists));
    Messages m;
    DataBlocks blocks;
    ASSERT_EQ(open_data_blocks(blocks, dir.file("c.swp"), 0, 1, m.file), 0);
    // Calls that take 1024 values (a channel's lines), then a few, then more than one window
    // boundary's worth in steps, as writers do.
    const std::size_t takes[] = {1024, 3, 1024, 1000, 5000, 1024};
    std::size_t next = 0;
    std::size_t call = 0;
    while (next < long_count) {
        SCOPED_TRACE(::testing::Message() << "value " << next);
        ValueLine line;
        ASSERT_GT(read_value_line(blocks, LIST_QMDCT_0, line), 0u);
        const std::size_t want = takes[call++ % 6];
        for (std::size_t j = 0; j < want && next < long_count; ++j, ++next)
            ASSERT_EQ(take_value(line), lists[LIST_QMDCT_0][next]);
        EXPECT_FALSE(line.ran_out);
        finish_value_line(blocks, LIST_QMDCT_0, line);
    }
    EXPECT_EQ(stream_used_up(blocks, LIST_QMDCT_0), 1);
    ValueLine line;
    EXPECT_EQ(read_value_line(blocks, LIST_QMDCT_0, line), 0u);
    EXPECT_EQ(take_value(line), 0);
    EXPECT_TRUE(line.ran_out);
    finish_value_line(blocks, LIST_QMDCT_0, line);
    // The short lists around the long one are where their counts put them.
    for (int i : {0, 7, 9}) {
        SCOPED_TRACE(i);
        ValueLine l;
        ASSERT_EQ(read_value_line(blocks, i, l), 3u);
        EXPECT_EQ(take_value(l), i);
        EXPECT_EQ(take_value(l), -i);
        EXPECT_EQ(take_value(l), 1000 + i);
        finish_value_line(blocks, i, l);
        EXPECT_EQ(stream_used_up(blocks, i), 1);
    }
    close_data_blocks(blocks);
}

TEST(WindowedContainer, CountsAreCheckedAgainstTheFileWhenOpening) {
    std::vector<std::vector<std::int32_t>> lists(kListCount, std::vector<std::int32_t>{1, 2});
    std::vector<std::uint8_t> bytes = container_bytes(lists);
    TempDir dir;
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        int status;
    };
    std::vector<std::uint8_t> last_short = bytes;
    last_short.pop_back();  // the last list's values end one byte early
    std::vector<std::uint8_t> nine_lists(bytes.begin(), bytes.end() - 12);
    std::vector<std::uint8_t> trailing = bytes;
    trailing.push_back(0);  // bytes after the ten lists are not read
    std::vector<std::uint8_t> four_billion = {0xFF, 0xFF, 0xFF, 0xFF};
    four_billion.resize(68, 1);
    const Row rows[] = {
        {"a count of four billion", four_billion, 2},
        {"well formed", bytes, 0},
        {"last list cut short", last_short, 2},
        {"only nine lists", nine_lists, 2},
        {"trailing byte", trailing, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        write_file(dir.file("c.swp"), row.bytes);
        Messages m;
        DataBlocks blocks;
        EXPECT_EQ(open_data_blocks(blocks, dir.file("c.swp"), 0, 1, m.file), row.status);
        if (row.status == 0) {
            ValueLine line;
            EXPECT_EQ(read_value_line(blocks, 9, line), 2u);
            EXPECT_EQ(take_value(line), 1);
            EXPECT_EQ(take_value(line), 2);
        }
        close_data_blocks(blocks);
    }
}

}  // namespace
