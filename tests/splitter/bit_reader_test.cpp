// The frame reader: reads of every width, reads straddling words, alignment, and what
// happens at and past the end of the data.
#include <gtest/gtest.h>

#include "splitter/bit_reader.h"

namespace {

const std::uint8_t kBytes[] = {0xFF, 0xF1, 0x50, 0x80, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};

TEST(BitReader, ReadsOfEveryWidthAndAcrossWords) {
    struct Row {
        unsigned skip;  // bits skipped first
        unsigned width;
        std::uint32_t expected;
    };
    const Row rows[] = {
        {0, 0, 0},         {0, 1, 1},          {0, 12, 0xFFF},      {0, 31, 0x7FF8A840},
        {0, 32, 0xFFF15080}, {1, 32, 0xFFE2A100}, {27, 5, 0x00},       {27, 10, 0x002},
        {28, 32, 0x01234567}, {40, 32, 0x3456789A}, {31, 1, 0},         {32, 31, 0x091A2B3C},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << "skip " << r.skip << " width " << r.width);
        std::vector<std::uint8_t> storage;
        BitReader br;
        init_reader(br, storage, kBytes, sizeof kBytes);
        skip_bits(br, r.skip);
        EXPECT_EQ(show_bits(br, r.width), r.expected);
        EXPECT_EQ(get_bits(br, r.width), r.expected);
        EXPECT_EQ(processed_bits(br), r.skip + r.width);
    }
}

TEST(BitReader, SingleBitsFollowTheBytesMostSignificantFirst) {
    std::vector<std::uint8_t> storage;
    BitReader br;
    init_reader(br, storage, kBytes + 2, 8);  // 0x50 0x80 ...
    std::string bits;
    for (int i = 0; i < 16; ++i) bits.push_back(get_bit(br) ? '1' : '0');
    EXPECT_EQ(bits, "0101000010000000");
    EXPECT_EQ(processed_bits(br), 16u);
    EXPECT_EQ(get_bits(br, 8), 0x12u);
}

TEST(BitReader, ByteAlignSkipsToTheNextBoundaryOnly) {
    const unsigned rows[][2] = {{0, 0}, {3, 8}, {8, 8}, {13, 16}, {32, 32}, {33, 40}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r[0]);
        std::vector<std::uint8_t> storage;
        BitReader br;
        init_reader(br, storage, kBytes, sizeof kBytes);
        skip_bits(br, r[0]);
        byte_align(br);
        EXPECT_EQ(processed_bits(br), r[1]);
    }
}

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
