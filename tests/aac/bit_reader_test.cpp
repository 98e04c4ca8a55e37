// The reader's one rule at and past the end of the data, which the splitter's statuses for cut
// frames rest on. Reads inside the data are checked by the splitter against the decoder library
// on real files.
#include <gtest/gtest.h>

#include "aac/bit_reader.h"

namespace {

const std::uint8_t kBytes[] = {0xFF, 0xF1, 0x50, 0x80, 0x12, 0x34, 0x56, 0x78};

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
