// Reading the data blocks back: bit cursor moves, CSV token rules, the choice between
// ".bin" and ".csv" files, missing and damaged files.
#include <gtest/gtest.h>

#include "rebuild/data_blocks.h"
#include "rebuild/rebuild_test_util.h"
#include "streams/block_files.h"

using namespace rebuild_test;

namespace {

TEST(StreamReader, ReadsZerosPastTheEndAndReportsExhaustion) {
    const std::uint8_t data[] = {0xFF};
    StreamReader r;
    r.buffer = data;
    r.size = 1;
    EXPECT_EQ(read_bits(r, 4), 0xFu);
    EXPECT_EQ(stream_exhausted(r), 0);
    EXPECT_EQ(read_bits(r, 12), 0xF00u);
    EXPECT_EQ(stream_exhausted(r), 1);
    EXPECT_EQ(read_bits(r, 32), 0u);

    StreamReader empty;  // a stream without a buffer reads zeros and is used up at once
    EXPECT_EQ(read_bits(empty, 16), 0u);
    EXPECT_EQ(stream_exhausted(StreamReader{}), 1);
}

// One CSV file read line by line, as a writer call reads it.
std::vector<std::vector<std::int32_t>> read_lines(const std::string& text, int calls) {
    TempDir dir;
    write_text(dir.file("x_GG.csv"), text);
    DataBlocks blocks;
    blocks.block_files = 1;
    blocks.file[STREAM_GG] = std::fopen(dir.file("x_GG.csv").c_str(), "r");
    std::vector<std::vector<std::int32_t>> lines;
    for (int i = 0; i < calls; ++i) {
        ValueLine line;
        read_value_line(blocks, STREAM_GG, line);
        lines.emplace_back(line.values, line.values + line.count);
        finish_value_line(blocks, STREAM_GG, line);
    }
    close_data_blocks(blocks);
    return lines;
}

TEST(CsvLines, TokenRules) {
    using Lines = std::vector<std::vector<std::int32_t>>;
    struct Row {
        const char* name;
        std::string text;
        Lines expected;
    };
    const std::string long_token = std::string(300, '7') + ",4,\n";
    const Row rows[] = {
        {"spaces between digits", "1 2,\n", {{12}}},
        {"no final comma at the end of the file", "1,2,3", {{1, 2}}},
        {"text after the last comma dropped", "5,6,abc\n7,\n", {{5, 6}, {7}}},
        {"signs and blanks", "-3, 12,7,\n", {{-3, 12, 7}}},
        {"CR LF line ends", "1,2,\r\n3,\r\n", {{1, 2}, {3}}},
        {"empty line, then end of file", "\n4,\n", {{}, {4}, {}}},
        {"a lone value without comma gives nothing", "5\n", {{}}},
        {"no digits gives 0", "x,+8,\n", {{0, 8}}},
        {"overlong token is truncated and saturates", long_token, {{2147483647, 4}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(read_lines(row.text, static_cast<int>(row.expected.size())), row.expected);
    }
}

// Creates base + suffix for every stream: ".bin" for the streams in `bins`, ".csv" for all.
void make_block_files(const std::string& base, const std::vector<int>& bins, bool with_csv = true) {
    for (int i = 0; i < kStreamCount; ++i) {
        if (with_csv) write_text(base + kCsvSuffix[i], "9,\n");
        for (int b : bins)
            if (b == i) rebuild_test::write_file(base + kBinSuffix[i], {0xAB});
    }
}

TEST(OpenDataBlocks, BinIsPreferredStreamByStreamAndCsvOnlyWithV) {
    TempDir dir;
    const std::string base = dir.file("x");
    make_block_files(base, {STREAM_GG, STREAM_QMDCT});
    write_text(base + kCsvSuffix[LIST_QMDCT_1], "1,\n");
    Messages messages;
    {
        DataBlocks blocks;
        ASSERT_EQ(open_data_blocks(blocks, base, 1, 1, messages.file), 0);
        EXPECT_EQ(blocks.bits_present[STREAM_GG], 1);
        EXPECT_EQ(read_bits(blocks.reader[STREAM_GG], 8), 0xABu);
        EXPECT_EQ(blocks.bits_present[STREAM_SCF], 0);
        ValueLine line;
        EXPECT_EQ(read_value_line(blocks, STREAM_SCF, line), 1u);
        EXPECT_EQ(blocks.file[LIST_QMDCT_1], nullptr);  // QMDCT has bits: no second value file
        close_data_blocks(blocks);
    }
    {
        DataBlocks blocks;
        ASSERT_EQ(open_data_blocks(blocks, base, 1, 0, messages.file), 0);
        for (int i = 0; i < kStreamCount; ++i) EXPECT_EQ(blocks.bits_present[i], 0) << i;
        ValueLine line;
        ASSERT_EQ(read_value_line(blocks, STREAM_GG, line), 1u);
        EXPECT_EQ(line.values[0], 9);
        EXPECT_EQ(read_value_line(blocks, LIST_QMDCT_1, line), 1u);
        close_data_blocks(blocks);
    }
    EXPECT_EQ(messages.text(), "");
}

TEST(OpenDataBlocks, EmptyBinHasBitsButNoBuffer) {
    TempDir dir;
    const std::string base = dir.file("x");
    make_block_files(base, {});
    rebuild_test::write_file(base + kBinSuffix[STREAM_TNS], {});
    Messages messages;
    DataBlocks blocks;
    ASSERT_EQ(open_data_blocks(blocks, base, 1, 1, messages.file), 0);
    EXPECT_EQ(blocks.bits_present[STREAM_TNS], 1);
    EXPECT_EQ(blocks.reader[STREAM_TNS].buffer, nullptr);
    ValueLine line;
    FieldSource src;
    EXPECT_FALSE(open_fields(blocks, STREAM_TNS, line, src));
    close_data_blocks(blocks);
}

TEST(OpenDataBlocks, MissingOrDamagedFilesAreReportedByName) {
    TempDir dir;
    const std::string base = dir.file("x");
    make_block_files(base, {});
    std::remove((base + kCsvSuffix[STREAM_SCF]).c_str());
    struct Row {
        const char* name;
        std::string open_name;
        int block_files;
        int expected_status;
        std::string expected_message;
    };
    // A container whose first count promises far more values than the file holds.
    rebuild_test::write_file(dir.file("hostile.swp"), {0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4});
    const Row rows[] = {
        {"missing csv without bin", base, 1, 1, "Couldn't open input file " + base + "_SCF.csv\n"},
        {"missing container", dir.file("none.swp"), 0, 1, "Couldn't open input file " + dir.file("none.swp") + "\n"},
        {"hostile container count", dir.file("hostile.swp"), 0, 2,
         "Data block file " + dir.file("hostile.swp") +
             " is damaged: its value blocks do not match its length.\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Messages messages;
        DataBlocks blocks;
        EXPECT_EQ(open_data_blocks(blocks, row.open_name, row.block_files, 1, messages.file), row.expected_status);
        EXPECT_EQ(messages.text(), row.expected_message);
        close_data_blocks(blocks);
    }
}

}  // namespace
