// Hostile inputs end with a status and a message, within bounded time and memory.
#include <gtest/gtest.h>

#include <string>

#include "streams/block_files.h"
#include "support/bit_writer.h"
#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

// The largest frames, and headers without payload (the pre-scan counts many frames, so the
// first storage estimate is large): nothing may be touched or written out of bounds, and as
// not even the first frame decodes, nothing is kept.
TEST(HostileInput, LargestAndTinyFramesRepeatedEndWithAnError) {
    for (const auto& [length, count] : {std::pair<int, int>{8191, 200}, std::pair<int, int>{7, 20000}}) {
        SCOPED_TRACE(length);
        TempDir dir;
        std::string data;
        const std::string frame = adts_frame(std::string(static_cast<std::size_t>(length - 7), '\0'));
        for (int i = 0; i < count; ++i) data += frame;
        write_file(dir.path + "/in.aac", data);
        expect_run(1, {"-m", "in.aac"}, dir.path, "Error: ");
        EXPECT_EQ(names_in(dir.path).size(), 1u);
    }
}

TEST(HostileInput, CsvLineOfAMillionDigitsIsBounded) {
    TempDir dir;
    for (const char* s : kCsvSuffix) write_file(dir.path + "/v" + s, "");
    write_file(dir.path + "/v_GG.csv", std::string(1000000, '7') + ",\n");
    write_file(dir.path + "/v_ADTS.csv", "65535,0,0,1,1,4,0,1,0,0,0,0,20,2047,0,\n");
    expect_run(0, {"-d", "-m", "-v", "v"}, dir.path);
    EXPECT_TRUE(file_exists(dir.path + "/v_rec.aac"));
}

}  // namespace
