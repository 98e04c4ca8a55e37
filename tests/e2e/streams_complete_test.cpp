// Nothing is lost for lack of room: the ".swp" value lists hold exactly the values the
// ".csv" files hold (which have no size limit), for mono, stereo and 5.1 files and for files
// whose streams outgrow the sizes first allocated from the input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "streams/block_files.h"
#include "support/test_util.h"

namespace {

std::vector<std::int32_t> csv_values(const std::string& text) {
    std::vector<std::int32_t> values;
    std::string token;
    for (char c : text) {
        if (c == ',') {
            values.push_back(static_cast<std::int32_t>(std::stol(token)));
            token.clear();
        } else if (c != '\n') {
            token += c;
        }
    }
    return values;
}

TEST(StreamsComplete, ContainerHoldsEveryValueTheCsvFilesHold) {
    struct Row { std::string path; bool needs_corpus; };
    const Row rows[] = {
        {test_data("lc_mono_44k.aac"), false}, {test_data("lc_stereo_44k.aac"), false},
        {test_data("lc_51_48k.aac"), false},
        // The pre-scan stops at the tag in the middle and counts one frame, so every list
        // starts at 4096 bytes and has to grow.
        {corpus_dir() + "/exo_id3_midstream.adts", true},
        {corpus_dir() + "/gen_fdk_crc_lc_51.aac", true},
        {corpus_dir() + "/ts_lc_51_48k.aac", true},
    };
    for (const Row& row : rows) {
        if (row.needs_corpus && !file_exists(row.path)) continue;
        SCOPED_TRACE(row.path);
        TempDir dir;
        write_file(dir.path + "/a.aac", read_file(row.path));
        RunResult r = run_program({"a.aac"}, dir.path);
        ASSERT_EQ(r.err.find("Error"), std::string::npos) << r.err;
        r = run_program({"-m", "a.aac"}, dir.path);
        ASSERT_EQ(r.err.find("Error"), std::string::npos) << r.err;
        std::FILE* swp = std::fopen((dir.path + "/a.swp").c_str(), "rb");
        ASSERT_NE(swp, nullptr);
        std::size_t total = 0;
        for (int l = 0; l < kListCount; ++l) {
            SCOPED_TRACE(kCsvSuffix[l]);
            std::vector<std::int32_t> block;
            ASSERT_EQ(read_values_block(swp, block), 0);
            EXPECT_EQ(block, csv_values(read_file(dir.path + "/a" + kCsvSuffix[l])));
            total += block.size();
        }
        std::fclose(swp);
        EXPECT_GT(total, 0u);
    }
}

TEST(StreamsComplete, BitStreamsOutgrowTheirFirstSize) {
    // Twelve frames of silence, about 12 bytes each: the ADTS headers alone (7 bytes a frame)
    // are more than the half of the input length first given to the ADTS stream.
    const std::string path = corpus_dir() + "/taglib_lc_mono11k.aac";
    if (!file_exists(path)) GTEST_SKIP() << "corpus absent";
    TempDir dir;
    const std::string input = read_file(path);
    write_file(dir.path + "/s.aac", input);
    run_program({"-m", "s.aac"}, dir.path);
    const std::string adts = read_file(dir.path + "/s_ADTS.bin");
    EXPECT_GT(adts.size(), input.size() / 2);
    EXPECT_EQ(adts.size(), 12u * 7);
    // The stream holds the input's headers: frame 0's header sits at the start of both.
    EXPECT_EQ(adts.substr(0, 7), input.substr(0, 7));
}

}  // namespace
