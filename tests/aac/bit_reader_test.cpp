// The reader's one rule at and past the end of the data, and the word loads that straddle
// bytes; the splitter's statuses for cut frames rest on it.
#include <gtest/gtest.h>

#include "aac/bit_reader.h"

namespace {

const std::uint8_t kBytes[] = {0xFF, 0xF1, 0x50, 0x80, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};

TEST(BitReader, WidthsZeroToThirtyTwoAtEveryBitOffset) {
    PaddedBytes bytes;
    bytes.assign(kBytes, kBytes + sizeof kBytes);
    const std::uint64_t first64 = 0xFFF1508012345678ull;
    for (unsigned offset : {0u, 3u, 8u, 13u}) {
        for (unsigned n : {0u, 1u, 7u, 31u, 32u}) {
            SCOPED_TRACE(::testing::Message() << "offset " << offset << ", width " << n);
            BitReader br;
            init_reader(br, bytes);
            skip_bits(br, offset);
            const auto expected = n == 0 ? 0u : static_cast<std::uint32_t>((first64 << offset) >> (64 - n));
            EXPECT_EQ(show_bits(br, n), expected);
            EXPECT_EQ(get_bits(br, n), expected);
            EXPECT_EQ(processed_bits(br), offset + n);
        }
    }
}

TEST(BitReader, PastTheEndEveryReadGivesZerosAndMovesOnByItsWidth) {
    PaddedBytes bytes;
    bytes.assign(kBytes, kBytes + 6);
    BitReader br;
    init_reader(br, bytes);
    EXPECT_EQ(get_bits(br, 32), 0xFFF15080u);
    EXPECT_EQ(get_bits(br, 12), 0x123u);
    // A read across the last data byte keeps its bits and fills the rest with zeros; the
    // bytes after the data (0x56...) are never seen. The data counts as two whole words, so
    // the bytes that pad the second one are still inside.
    EXPECT_EQ(get_bits(br, 8), 0x40u);
    EXPECT_FALSE(reader_exhausted(br));
    EXPECT_EQ(get_bits(br, 12), 0u);
    EXPECT_TRUE(reader_exhausted(br));
    EXPECT_FALSE(reader_overrun(br));
    EXPECT_EQ(get_bits(br, 8), 0u);
    EXPECT_TRUE(reader_overrun(br));
    // One bit at a time and several at a time move alike.
    const std::uint32_t here = processed_bits(br);
    EXPECT_EQ(get_bit(br), 0u);
    EXPECT_EQ(get_bits(br, 3), 0u);
    skip_bits(br, 4);
    EXPECT_EQ(processed_bits(br), here + 8);
    byte_align(br);
    EXPECT_EQ(processed_bits(br) % 8, 0u);
    // A huge skip stops a little past the end, where loads stay inside the tail.
    skip_bits(br, 0xFFFFFFF0u);
    EXPECT_EQ(processed_bits(br), 64 + kReaderSlackBits);
    EXPECT_EQ(show_bits(br, 32), 0u);

    // Reaching the end exactly is not an overrun.
    init_reader(br, bytes);
    skip_bits(br, 64);
    EXPECT_TRUE(reader_exhausted(br));
    EXPECT_FALSE(reader_overrun(br));
}

TEST(BitReader, NoDataOverrunsAtTheFirstRead) {
    PaddedBytes storage;
    BitReader br;
    for (const std::uint8_t* data : {kBytes, static_cast<const std::uint8_t*>(nullptr)}) {
        init_reader(br, storage, data, data == nullptr ? 5 : 0);
        EXPECT_TRUE(reader_exhausted(br));
        EXPECT_FALSE(reader_overrun(br));
        EXPECT_EQ(get_bits(br, 32), 0u);
        EXPECT_TRUE(reader_overrun(br));
    }
}

}  // namespace
