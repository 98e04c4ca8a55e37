// Which error a frame reports when the splitter and the library disagree, and that every
// code has a printable text.
#include <gtest/gtest.h>

#include <string>

#include "aac/status.h"
#include "frontend/compress.h"

namespace {

TEST(FrameOutcome, LibraryThenSplitterThenLengthDecide) {
    struct Row { int library_error; int split_status; unsigned long split_bits; unsigned long library_bytes; int code; };
    const Row rows[] = {
        {0, 0, 800, 100, 0},                       // agreed, whole bytes
        {0, 0, 793, 100, 0},                       // the splitter's bits round up to the bytes
        {0, 0, 801, 100, kStatusLengthMismatch},    // one bit more is a byte more
        {0, 0, 792, 100, kStatusLengthMismatch},
        {14, 0, 800, 100, 14},                     // the library's error wins
        {14, 10, 0, 0, 14},
        {0, 10, 123, 100, 10},                     // the splitter's status when the library is content
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.library_error << "/" << r.split_status << "/" << r.split_bits);
        EXPECT_EQ(frame_error_code(r.library_error, r.split_status, r.split_bits, r.library_bytes), r.code);
    }
}

TEST(FrameOutcome, EveryCodeHasAText) {
    char buf[96];
    EXPECT_STREQ(status_text(kStatusLengthMismatch, buf, sizeof buf),
                 "Splitter and decoder disagree on the frame length");
    // Every code the splitter or the driver can report has its own text.
    // The rebuild's two reasons end "Frame N is left out: ".
    EXPECT_STREQ(status_text(kStatusSectionsOverrun), "its section data run past band 120 or 120 sections");
    EXPECT_STREQ(status_text(kStatusScaleFactorRange), "a scale factor leaves the range 0..255");
    for (int code : {1, 2, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 18, 21, 24, 31, 32, 100, 101, 104}) {
        const std::string text = status_text(code, buf, sizeof buf);
        EXPECT_EQ(text.find("no description"), std::string::npos) << code << ": " << text;
    }
    // A library code without a text of its own still names its number.
    for (int code : {26, 99}) {
        const std::string text = status_text(code, buf, sizeof buf);
        EXPECT_NE(text.find(std::to_string(code)), std::string::npos) << text;
    }
}

}  // namespace
