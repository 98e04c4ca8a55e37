// The value path's band encoder hands a band to the spectral codec with the book the
// section codebook stands for (16..31 as 11; 0, 12..15 write nothing) and never reads past
// the spectrum's 1024 lines.
#include <gtest/gtest.h>

#include <cstring>

#include "aac/spectral_codec.h"
#include "rebuild/band_encoder.h"

namespace {

TEST(BandEncoder, CodesWithTheBookTheSectionCodebookStandsFor) {
    std::int32_t values[1024 + 64];
    for (int k = 0; k < 1024 + 64; ++k) values[k] = k >= 1024 ? 99999 : k % 7 == 0 ? 0 : (k % 19) - 9;
    for (int cb = 0; cb <= 31; ++cb) {
        SCOPED_TRACE(cb);
        const int book = cb >= 16 ? ESC_HCB : cb;
        static std::uint8_t got[4096], want[4096];
        BitSink a, b;
        bitsink_create(a, got, sizeof got);
        bitsink_create(b, want, sizeof want);
        BitBatch ba, bb;
        encode_band_bits(a, ba, cb, values, 1000, 48);  // the last 24 lines only
        const int written = batch_finish(a, ba);
        if (book >= 1 && book <= ESC_HCB) (void)encode_band(b, bb, book, values + 1000, 24);
        EXPECT_EQ(written, batch_finish(b, bb));
        EXPECT_EQ(std::memcmp(got, want, sizeof got), 0);
        EXPECT_EQ(written > 0, book >= 1 && book <= ESC_HCB);
    }
}

}  // namespace
