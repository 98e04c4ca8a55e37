// The bit writer: fields split across bytes, and a full sink refusing bits without wrapping.
#include <gtest/gtest.h>

#include "aac/bit_sink.h"

namespace {

TEST(BitSink, SplitsWritesAtByteBoundariesAndMasksHighBits) {
    std::uint8_t buf[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    BitSink sink;
    bitsink_create(sink, buf, sizeof buf);
    EXPECT_EQ(buf[0], 0);  // creation clears a buffer that held data
    EXPECT_EQ(bitsink_put(sink, 0x1F, 5), 5u);
    EXPECT_EQ(bitsink_put(sink, 0xFFFFFABC, 12), 12u);  // bits above the width are ignored
    EXPECT_EQ(bitsink_put(sink, 0, 0), 0u);
    EXPECT_EQ(sink.bits_written, 17u);
    // 11111 101010111100 -> 11111101 01011110 0
    EXPECT_EQ(buf[0], 0xFD);
    EXPECT_EQ(buf[1], 0x5E);
    EXPECT_EQ(buf[2], 0x00);
    EXPECT_EQ(bitsink_put(sink, 0xFFFFFFFF, 32), 32u);
    EXPECT_EQ(sink.bits_written, 49u);
}

TEST(BitSink, RefusesBitsBeyondItsCapacityWithoutWrapping) {
    std::uint8_t buf[3] = {};
    BitSink sink;
    bitsink_create(sink, buf, 2);
    EXPECT_EQ(bitsink_put(sink, 0xFFFF, 16), 16u);  // exactly full
    EXPECT_EQ(bitsink_put(sink, 1, 1), 0u);          // one bit over
    EXPECT_TRUE(sink.overflow);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[2], 0x00);  // nothing written past the capacity
    EXPECT_EQ(sink.bits_written, 16u);
}

}  // namespace
