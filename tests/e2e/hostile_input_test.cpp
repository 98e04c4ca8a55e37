// Hostile inputs end with a status and a message, within bounded time and memory.
#include <gtest/gtest.h>

#include <string>

#include "streams/block_files.h"
#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

// An ADTS header (no CRC) stating `length` bytes, followed by that many zero bytes in all.
std::string adts_frame(int length) {
    std::string f(static_cast<std::size_t>(length), '\0');
    f[0] = '\xFF';
    f[1] = '\xF1';
    f[2] = static_cast<char>((1 << 6) | (4 << 2));
    f[3] = static_cast<char>(0x40 | ((length >> 11) & 3));
    f[4] = static_cast<char>((length >> 3) & 0xFF);
    f[5] = static_cast<char>(((length & 7) << 5) | 0x1F);
    f[6] = '\xFC';
    return f;
}

// The largest frames, and headers without payload (the pre-scan counts many frames, so the
// first storage estimate is large): nothing may be touched or written out of bounds, and as
// not even the first frame decodes, nothing is kept.
TEST(HostileInput, LargestAndTinyFramesRepeatedEndWithAnError) {
    for (const auto& [length, count] : {std::pair<int, int>{8191, 200}, std::pair<int, int>{7, 20000}}) {
        SCOPED_TRACE(length);
        TempDir dir;
        std::string data;
        for (int i = 0; i < count; ++i) data += adts_frame(length);
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
