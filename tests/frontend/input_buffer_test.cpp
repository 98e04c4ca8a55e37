// The input window's refills and tag cut-offs, and the ADTS pre-scan's counts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frontend/input_buffer.h"
#include "support/test_util.h"

namespace {

// An ADTS header (no CRC) of the given sampling_frequency_index and frame length,
// followed by zero bytes up to that length.
std::string adts_frame(int sf_index, int length) {
    std::string f(static_cast<std::size_t>(length < 7 ? 7 : length), '\0');
    f[0] = '\xFF';
    f[1] = '\xF1';
    f[2] = static_cast<char>((1 << 6) | (sf_index << 2));
    f[3] = static_cast<char>(0x80 | ((length >> 11) & 3));
    f[4] = static_cast<char>((length >> 3) & 0xFF);
    f[5] = static_cast<char>(((length & 7) << 5) | 0x1F);
    f[6] = '\xFC';
    return f;
}

struct OpenBuffer {
    TempDir dir;
    InputBuffer buffer;
    explicit OpenBuffer(const std::string& data) {
        write_file(dir.path + "/in", data);
        buffer.file = std::fopen((dir.path + "/in").c_str(), "rb");
        reload_buffer(buffer, 0);
    }
    ~OpenBuffer() { std::fclose(buffer.file); }
};

TEST(AdtsScan, CountsFramesAndDerivesDurationAndBitrate) {
    std::string data;
    for (int i = 0; i < 469; ++i) data += adts_frame(3, 200);
    OpenBuffer in(data);
    const AdtsScan scan = scan_adts(in.buffer);
    EXPECT_EQ(scan.frames, 469);
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(scan.duration));
    EXPECT_STREQ(text, "10.005");
    EXPECT_EQ(scan.bitrate, 75);  // 200 bytes x 8 x 46.875 frames per second
}

TEST(AdtsScan, TruncatedLastFrameCountsOnlyInTheBitrate) {
    std::string data = adts_frame(4, 300) + adts_frame(4, 300) + adts_frame(4, 900).substr(0, 100);
    OpenBuffer in(data);
    const AdtsScan scan = scan_adts(in.buffer);
    EXPECT_EQ(scan.frames, 2);
    // (300 + 300 + 900) / 2000 bytes per kilo-frame x 8 x 43.07 frames per second
    EXPECT_EQ(scan.bitrate, 258);
}

TEST(AdtsScan, ZeroFrameLengthEndsTheScan) {
    OpenBuffer in(adts_frame(4, 0) + std::string(100, '\0'));
    EXPECT_EQ(scan_adts(in.buffer).frames, 0);
}

TEST(AdtsScan, NoFrameGivesDurationOneAndBitrateZero) {
    OpenBuffer in("abc");
    const AdtsScan scan = scan_adts(in.buffer);
    EXPECT_EQ(scan.frames, 0);
    EXPECT_EQ(scan.bitrate, 0);
    EXPECT_FLOAT_EQ(scan.duration, 1.0f);
}

TEST(InputBuffer, RefillsBehindTheRemainingBytes) {
    std::string data(10000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    OpenBuffer in(data);
    EXPECT_EQ(in.buffer.fill_count, kInputWindowSize);
    advance_buffer(in.buffer, 1000);
    fill_buffer(in.buffer);
    EXPECT_EQ(in.buffer.fill_count, kInputWindowSize);
    EXPECT_EQ(in.buffer.file_offset, 1000);
    EXPECT_EQ(in.buffer.window[0], static_cast<std::uint8_t>(1000 * 7));
    EXPECT_EQ(in.buffer.window[kInputWindowSize - 1], static_cast<std::uint8_t>((1000 + kInputWindowSize - 1) * 7));
    advance_buffer(in.buffer, kInputWindowSize);
    fill_buffer(in.buffer);
    EXPECT_EQ(in.buffer.fill_count, 10000 - 1000 - kInputWindowSize);
    EXPECT_EQ(in.buffer.at_end, 1);
}

TEST(InputBuffer, TagsAtTheFrontEndTheInput) {
    struct Row { std::string tail; bool cut; };
    const Row rows[] = {
        {"TAG" + std::string(125, 'x'), true},     {"TAG", false},  // the check needs more than the word
        {"LYRICSBEGIN" + std::string(20, 'x'), true}, {"APETAGEX" + std::string(24, 'x'), true},
        {"TAX" + std::string(125, 'x'), false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.tail.substr(0, 11));
        OpenBuffer in(std::string(50, 'a') + r.tail);
        advance_buffer(in.buffer, 50);
        fill_buffer(in.buffer);
        EXPECT_EQ(in.buffer.fill_count, r.cut ? 0 : static_cast<long>(r.tail.size()));
    }
}

}  // namespace
