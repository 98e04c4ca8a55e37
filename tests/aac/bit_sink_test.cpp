// The bit writer: fields split across bytes, signed fields masked to their width, a value
// too wide for its field caught in debug builds, and a full sink refusing bits without wrapping.
#include <gtest/gtest.h>

#include "aac/bit_sink.h"

namespace {

TEST(BitSink, SplitsWritesAtByteBoundaries) {
    std::uint8_t buf[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    BitSink sink;
    bitsink_create(sink, buf, sizeof buf);
    EXPECT_EQ(buf[0], 0);  // creation clears a buffer that held data
    EXPECT_EQ(bitsink_put(sink, 0x1F, 5), 5u);
    EXPECT_EQ(bitsink_put(sink, mask_bits(-1348, 12), 12), 12u);  // -1348 is 101010111100 in 12 bits
    EXPECT_EQ(bitsink_put(sink, 0, 0), 0u);
    EXPECT_EQ(sink.bit_position, 17u);
    // 11111 101010111100 -> 11111101 01011110 0
    EXPECT_EQ(buf[0], 0xFD);
    EXPECT_EQ(buf[1], 0x5E);
    EXPECT_EQ(buf[2], 0x00);
    EXPECT_EQ(bitsink_put(sink, 0xFFFFFFFF, 32), 32u);
    EXPECT_EQ(sink.bit_position, 49u);
    EXPECT_EQ(bitsink_bytes(sink), 7u);
}

TEST(BitSink, AValueWiderThanItsFieldIsACallerBug) {
    std::uint8_t buf[4] = {};
    BitSink sink;
    bitsink_create(sink, buf, sizeof buf);
    EXPECT_DEBUG_DEATH(bitsink_put(sink, 0x1000, 12), "fits_width");
    BitBatch batch;
    EXPECT_DEBUG_DEATH(batch_put(sink, batch, 4, 2), "fits_width");
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
    EXPECT_EQ(sink.bit_position, 16u);
}

}  // namespace
