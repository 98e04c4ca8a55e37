// The bit writer's limits: a value too wide for its field caught in debug builds, and a full
// sink refusing bits without wrapping. Its ordinary writes are checked bit for bit by the
// spectral codec test and the byte-for-byte round trips.
#include <gtest/gtest.h>

#include "aac/bit_sink.h"

namespace {

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
