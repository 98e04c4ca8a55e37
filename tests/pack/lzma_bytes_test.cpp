// LZMA2 as the packer carries small structured streams: exact, bounded by what it is asked to
// beat, and refusing any stream that does not decode to exactly the size the packed form knows.
#include "pack/coder/lzma_bytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/packing.h"

namespace {

// An index of the kind LZMA2 is for: records of one layout whose fields step on.
Bytes cue_points(std::size_t n) {
    Bytes b;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t time = static_cast<std::uint32_t>(k * 21 + k / 3);
        const std::uint32_t position = static_cast<std::uint32_t>(4000 + k * 377 + (k * 7919) % 61);
        for (const std::uint8_t v : {std::uint8_t{0xBB}, std::uint8_t{0x8E}, std::uint8_t{0xB3}, std::uint8_t{0x84}})
            b.push_back(v);
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(time >> s));
        b.push_back(0xF1);
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(position >> s));
    }
    return b;
}

TEST(LzmaBytes, ComesBackExactlyAndOnlyWhenSmallerThanAsked) {
    for (const Bytes& data : {cue_points(3000), cue_points(1), Bytes(kLzmaMaxInput, 0x55)}) {
        SCOPED_TRACE(data.size());
        Bytes packed;
        const std::size_t n = compress_lzma(data.data(), data.size(), data.size() + 64, packed);
        ASSERT_NE(n, 0u);
        ASSERT_EQ(packed.size(), n);
        Bytes back(data.size());
        ASSERT_TRUE(decompress_lzma(packed.data(), packed.size(), back.data(), back.size()));
        EXPECT_TRUE(back == data);
        // not below what it is to beat: given up
        Bytes again;
        EXPECT_EQ(compress_lzma(data.data(), data.size(), n, again), 0u);
        EXPECT_EQ(compress_lzma(data.data(), data.size(), n + 1, again), n);
    }
    const Bytes index = cue_points(3000);
    Bytes packed;
    ASSERT_NE(compress_lzma(index.data(), index.size(), index.size(), packed), 0u);
    EXPECT_LT(packed.size() * 4, index.size());
    // nothing, or more than the packer hands it, is never compressed
    Bytes too_long(kLzmaMaxInput + 1, 0), out;
    EXPECT_EQ(compress_lzma(too_long.data(), too_long.size(), too_long.size(), out), 0u);
    EXPECT_EQ(compress_lzma(index.data(), 0, 100, out), 0u);
}

TEST(LzmaBytes, StreamsThatDoNotHoldAreRefused) {
    const Bytes index = cue_points(2000);
    Bytes packed;
    ASSERT_NE(compress_lzma(index.data(), index.size(), index.size(), packed), 0u);
    Bytes back(index.size() + 1);
    const auto decodes = [&](const Bytes& stream, std::size_t size) {
        return decompress_lzma(stream.data(), stream.size(), back.data(), size);
    };
    ASSERT_TRUE(decodes(packed, index.size()));
    EXPECT_FALSE(decodes(packed, index.size() - 1)) << "shorter than it decodes to";
    EXPECT_FALSE(decodes(packed, index.size() + 1)) << "longer than it decodes to";
    EXPECT_FALSE(decodes(Bytes(packed.begin(), packed.end() - 1), index.size())) << "cut short";
    EXPECT_FALSE(decodes(concat({packed, Bytes{0}}), index.size())) << "a byte after its end";
    EXPECT_FALSE(decodes(packed, 0));
    EXPECT_FALSE(decodes(packed, kLzmaMaxInput + 1));
    Bytes damaged = packed;
    damaged[0] ^= 0x80;  // the first chunk's control byte
    EXPECT_FALSE(decodes(damaged, index.size()));
    EXPECT_FALSE(decodes(random_bytes(300, 7), index.size()));
}

}  // namespace
