// The generated codebook and band tables check themselves: complete prefix codes, the
// scale-factor code decodes back to every index, band offsets run from 0 to the window length.
#include <gtest/gtest.h>

#include "aac/codebooks.h"

namespace {

const unsigned kEntries[12] = {0, 81, 81, 81, 81, 81, 81, 64, 64, 169, 169, 289};
const unsigned kLongest[12] = {0, 11, 9, 16, 12, 13, 11, 12, 10, 15, 12, 12};

// Every codeword decoding to its own index is the spectral codec's test (every tuple of
// every book goes through it).
TEST(AacTables, SpectralBooksAreCompletePrefixCodes) {
    for (int cb = 1; cb <= 11; ++cb) {
        SCOPED_TRACE(cb);
        ASSERT_EQ(kSpectralCodeTableSize[cb], kEntries[cb]);
        double kraft = 0;
        unsigned longest = 0;
        for (unsigned i = 0; i < kEntries[cb]; ++i) {
            const SpectralCodeEntry e = lookup_codeword(cb, static_cast<int>(i));
            kraft += 1.0 / static_cast<double>(1u << e.length);
            longest = std::max<unsigned>(longest, e.length);
        }
        EXPECT_DOUBLE_EQ(kraft, 1.0);
        EXPECT_EQ(longest, kLongest[cb]);
        // The all-zero tuple, the commonest, has a one-bit codeword in books 1, 3, 5, 7 and 9.
        const int zero_tuple[4] = {0, 0, 0, 0};
        if (cb % 2 == 1 && cb < 11) { EXPECT_EQ(lookup_codeword(cb, tuple_to_index(cb, zero_tuple)).length, 1); }
    }
}

TEST(AacTables, ScaleFactorCodeDecodesEveryIndex) {
    double kraft = 0;
    for (int i = 0; i <= 120; ++i) {
        const ScaleFactorCodeEntry e = kScaleFactorCode[i];
        ASSERT_GE(e.length, 1);
        ASSERT_LE(e.length, 19);
        kraft += 1.0 / static_cast<double>(1u << e.length);
        const std::uint32_t next32 = (e.codeword << (32 - e.length)) | ((1u << (32 - e.length)) - 1u);
        int index = -1;
        unsigned length = 0;
        ASSERT_TRUE(decode_scalefactor_index(next32, index, length)) << i;
        EXPECT_EQ(index, i);
        EXPECT_EQ(length, e.length);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);
    EXPECT_EQ(kScaleFactorCode[60].length, 1);  // no change of scale factor: the commonest
}

TEST(AacTables, BandOffsetsRiseFromZeroToTheWindowLength) {
    struct Window { const SwbTable* table; unsigned length; };
    const Window windows[] = {{kSwb_long1024, 1024}, {kSwb_short128, 128}, {kSwb_long512, 512}, {kSwb_long480, 480}};
    for (const Window& w : windows) {
        for (int sfi = 0; sfi < 12; ++sfi) {
            const SwbTable& t = w.table[sfi];
            if (t.num_swb == 0) continue;
            SCOPED_TRACE(::testing::Message() << w.length << " sf_index " << sfi);
            EXPECT_EQ(t.offsets[0], 0);
            EXPECT_EQ(t.offsets[t.num_swb], w.length);
            for (int b = 0; b < t.num_swb; ++b) EXPECT_LT(t.offsets[b], t.offsets[b + 1]);
        }
    }
    EXPECT_EQ(kSwb_long1024[4].num_swb, 49);
    EXPECT_EQ(kSwb_short128[3].num_swb, 14);
    EXPECT_NE(kSwb_long512[3].num_swb, 0);
}

}  // namespace
