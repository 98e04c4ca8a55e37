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

// Deterministic bytes with no period that lines up with the window.
std::string pattern_bytes(std::size_t n) {
    std::string bytes(n, '\0');
    std::uint32_t x = 12345;
    for (char& b : bytes) b = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return bytes;
}

TEST(WindowedBin, ReadsLikeTheWholeStreamAcrossWindowMoves) {
    // -m block files whose QMDCT stream is the long one.
    const std::string bytes = pattern_bytes(3 * kBinWindowBytes + 123);
    TempDir dir;
    for (int i = 0; i < kStreamCount; ++i) write_file(dir.file("w") + kBinSuffix[i], i == STREAM_QMDCT ? bytes : "\1");
    Messages m;
    DataBlocks blocks;
    ASSERT_EQ(open_data_blocks(blocks, dir.file("w"), 1, 1, m.file), 0);
    StreamReader& r = blocks.reader[STREAM_QMDCT];
    StreamReader whole;
    whole.buffer = reinterpret_cast<const std::uint8_t*>(bytes.data());
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
    EXPECT_EQ(read_bits(r, 16), 0u);  // past the end: zeros, as from a stream held whole
    // Back to the start from the end: the window follows.
    r.byte_position = 0;
    r.bit_position = 0;
    EXPECT_EQ(read_bits(r, 8), whole.buffer[0]);
    close_data_blocks(blocks);
}

// A container of ten lists: each list's count, then its values, 32-bit little-endian.
std::string container_bytes(const std::vector<std::vector<std::int32_t>>& lists) {
    std::string out;
    auto put32 = [&out](std::uint32_t v) {
        for (int j = 0; j < 4; ++j) out.push_back(static_cast<char>(v >> (8 * j)));
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
        EXPECT_EQ(std::vector<std::int32_t>({take_value(l), take_value(l), take_value(l)}),
                  std::vector<std::int32_t>({i, -i, 1000 + i}));
        finish_value_line(blocks, i, l);
        EXPECT_EQ(stream_used_up(blocks, i), 1);
    }
    close_data_blocks(blocks);
}

TEST(WindowedContainer, CountsAreCheckedAgainstTheFileWhenOpening) {
    std::vector<std::vector<std::int32_t>> lists(kListCount, std::vector<std::int32_t>{1, 2});
    const std::string bytes = container_bytes(lists);
    TempDir dir;
    struct Row {
        const char* name;
        std::string bytes;
        int status;
    };
    const Row rows[] = {
        {"a count of four billion", "\xFF\xFF\xFF\xFF" + std::string(64, '\1'), 2},
        {"well formed", bytes, 0},
        {"last list cut short", bytes.substr(0, bytes.size() - 1), 2},  // its values end one byte early
        {"only nine lists", bytes.substr(0, bytes.size() - 12), 2},
        {"trailing byte", bytes + '\0', 0},  // bytes after the ten lists are not read
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
            EXPECT_EQ(std::vector<std::int32_t>({take_value(line), take_value(line)}), std::vector<std::int32_t>({1, 2}));
        }
        close_data_blocks(blocks);
    }
}

}  // namespace
