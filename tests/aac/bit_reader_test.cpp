// The frame reader at and past the end of the data, where the decoder library's own
// reader must be mirrored.
#include <gtest/gtest.h>

#include "aac/bit_reader.h"

namespace {

const std::uint8_t kBytes[] = {0xFF, 0xF1, 0x50, 0x80, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};

TEST(BitReader, EndOfDataRaisesExhaustedThenOverrunAndServesZeros) {
    std::vector<std::uint8_t> storage;
    BitReader br;
    init_reader(br, storage, kBytes, 8);
    skip_bits(br, 32);
    EXPECT_FALSE(br.exhausted);
    skip_bits(br, 32);
    EXPECT_TRUE(br.exhausted);
    EXPECT_FALSE(br.overrun);
    EXPECT_EQ(processed_bits(br), 64u);
    EXPECT_EQ(get_bits(br, 4), 0u);  // the bytes after the data (0x9A) are never seen
    EXPECT_EQ(show_bits(br, 32), 0u);
    skip_bits(br, 32);
    EXPECT_TRUE(br.overrun);
    const std::uint32_t at_overrun = processed_bits(br);
    skip_bits(br, 32);
    EXPECT_EQ(processed_bits(br), at_overrun);

    // A size that is not a multiple of four passes straight to overrun.
    init_reader(br, storage, kBytes, 6);
    EXPECT_EQ(get_bits(br, 32), 0xFFF15080u);
    EXPECT_EQ(get_bits(br, 32), 0x12340000u);
    EXPECT_TRUE(br.overrun);
}

TEST(BitReader, EmptyInputReadsZerosAndNeverMoves) {
    std::vector<std::uint8_t> storage;
    BitReader br;
    init_reader(br, storage, kBytes, 0);
    EXPECT_TRUE(br.exhausted);
    EXPECT_TRUE(br.overrun);
    EXPECT_EQ(get_bits(br, 32), 0u);
    EXPECT_EQ(get_bit(br), 0u);
    skip_bits(br, 17);
    EXPECT_EQ(processed_bits(br), 0u);
    init_reader(br, storage, nullptr, 5);
    EXPECT_TRUE(br.overrun);
}

TEST(BitReader, TheCopyIsTakenSoTheCallerMayReuseItsBuffer) {
    std::uint8_t window[4] = {0xAB, 0xCD, 0xEF, 0x01};
    std::vector<std::uint8_t> storage;
    BitReader br;
    init_reader(br, storage, window, sizeof window);
    window[0] = 0;
    EXPECT_EQ(get_bits(br, 8), 0xABu);
    EXPECT_GE(storage.size(), sizeof window + kReaderTail);
}

}  // namespace
