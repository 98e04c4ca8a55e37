// The bit writer's limits: a value too wide for its field caught in debug builds, a full
// sink refusing bits without wrapping, and bytes that do not depend on what the buffer held. Its ordinary writes are checked bit for bit by the
// spectral codec test and the byte-for-byte round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

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

// The frame writers reuse one buffer without clearing it: whatever it held, the bytes written
// must be those a cleared buffer gets, down to the zeros after the last bit, through the fast
// path, the byte loop near the end and batches.
TEST(BitSink, WritesTheSameBytesOverAnyEarlierContents) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        const std::size_t capacity = 1 + rng() % 40;
        std::vector<std::uint8_t> clean(capacity, 0), reused(capacity);
        for (auto& b : reused) b = static_cast<std::uint8_t>(rng());
        BitSink a, b;
        bitsink_create(a, clean.data(), capacity);
        bitsink_create(b, reused.data(), capacity, true);
        BitBatch batch_a, batch_b;
        for (int field = 0; field < 30; ++field) {
            const unsigned n = rng() % 33;
            const std::uint32_t value = n == 32 ? static_cast<std::uint32_t>(rng()) : static_cast<std::uint32_t>(rng()) & ((1u << n) - 1u);
            if (rng() % 3 == 0) {
                batch_put(a, batch_a, value, n);
                batch_put(b, batch_b, value, n);
            } else {
                batch_finish(a, batch_a);
                batch_finish(b, batch_b);
                ASSERT_EQ(bitsink_put(a, value, n), bitsink_put(b, value, n));
            }
        }
        batch_finish(a, batch_a);
        batch_finish(b, batch_b);
        ASSERT_EQ(a.bit_position, b.bit_position);
        ASSERT_GT(a.bit_position, 0u);
        ASSERT_EQ(std::memcmp(clean.data(), reused.data(), bitsink_bytes(a)), 0) << "round " << round;
    }
}

}  // namespace
