// The spectral codec both ways: every book's random in-range bands (escapes up to the limit
// included) decode back to their values in exactly the bits written, out-of-range values
// are clamped, and escape prefixes longer than decoders accept are refused at every bit
// position.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "aac/spectral_codec.h"

namespace {

struct Coded {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(8192);
    BitSink sink;
    int bits = 0;
    Coded() { bitsink_create(sink, bytes.data(), bytes.size()); }
};

void encode(Coded& c, int cb, const std::vector<std::int32_t>& v) {
    BitBatch batch;
    const int handed = encode_band(c.sink, batch, cb, v.data(), v.size());
    c.bits = batch_finish(c.sink, batch);
    ASSERT_EQ(c.bits, handed);
}

// Decodes count values from bit `skip` on; the bits seen go back into `seen`.
BandStatus decode(const Coded& c, unsigned skip, int cb, std::vector<std::int32_t>& v, std::uint32_t& pos, BitSink& seen) {
    PaddedBytes padded;
    BitReader br;
    init_reader(br, padded, c.bytes.data(), c.bytes.size());
    pos = skip;
    auto copy = [&](std::uint64_t w, unsigned n) { bitsink_put(seen, static_cast<std::uint32_t>(w >> (64 - n)), n); };
    return decode_band(br, pos, cb, v.data(), static_cast<unsigned>(v.size()), copy);
}

TEST(SpectralCodec, EveryBookDecodesWhatItEncodesInTheSameBits) {
    std::mt19937 rng(19);
    for (int cb = 1; cb <= ESC_HCB; ++cb) {
        SCOPED_TRACE(cb);
        const std::int32_t largest = band_max_magnitude(cb);
        std::uniform_int_distribution<std::int32_t> any(-largest, largest), small(-20, 20);
        std::vector<std::int32_t> v(512);
        for (std::size_t k = 0; k < v.size(); ++k) v[k] = k % 5 == 0 ? any(rng) : k % 3 == 0 ? 0 : small(rng) % (largest + 1);
        v[4] = largest;
        v[9] = -largest;
        ASSERT_TRUE(band_in_range(cb, v.data(), v.size()));
        Coded c;
        encode(c, cb, v);
        std::vector<std::int32_t> back(v.size());
        std::vector<std::uint8_t> copy(8192);
        BitSink seen;
        bitsink_create(seen, copy.data(), copy.size());
        std::uint32_t pos = 0;
        ASSERT_EQ(decode(c, 0, cb, back, pos, seen), BandStatus::ok);
        EXPECT_EQ(back, v);
        EXPECT_EQ(pos, static_cast<std::uint32_t>(c.bits));
        EXPECT_EQ(copy, c.bytes);

        // A value past the book's range is written as the largest it has, sign kept.
        std::vector<std::int32_t> wide(v.begin(), v.begin() + 4);
        wide[0] = largest + 1 + static_cast<std::int32_t>(rng() % 9000);
        wide[1] = -wide[0];
        EXPECT_FALSE(band_in_range(cb, wide.data(), wide.size()));
        Coded w;
        encode(w, cb, wide);
        std::vector<std::int32_t> clamped(4);
        ASSERT_EQ(decode(w, 0, cb, clamped, pos, seen), BandStatus::ok);
        EXPECT_EQ(clamped[0], largest);
        EXPECT_EQ(clamped[1], -largest);
    }
}

TEST(SpectralCodec, EscapesAtTheirLimits) {
    struct Row { std::uint32_t m; unsigned length; std::uint32_t codeword; };
    const Row rows[] = {{16, 5, 0}, {31, 5, 15}, {32, 7, 64}, {100, 9, 420}, {8191, 21, 2093055}, {65535, 27, 0x7FF7FFF}};
    for (const Row& r : rows) {
        unsigned length = 0;
        EXPECT_EQ(make_escape_code(r.m, length), r.codeword) << r.m;
        EXPECT_EQ(length, r.length) << r.m;
        std::uint32_t m = 0;
        ASSERT_TRUE(decode_escape(std::uint64_t{r.codeword} << (64 - r.length) | (~0ull >> r.length), m, length));
        EXPECT_EQ(m, r.m);
        EXPECT_EQ(length, r.length);
    }
    // Twelve one bits or more (up to all of them) are refused, wherever the prefix starts:
    // the decoder consumes the codeword, its sign and the twelve ones, then stops.
    const SpectralCodeEntry flag = lookup_codeword(ESC_HCB, 17 * kEscapeFlag);
    for (unsigned skip = 0; skip < 8; ++skip) {
        Coded c;
        bitsink_put(c.sink, 0, skip);
        bitsink_put(c.sink, flag.codeword << 1, flag.length + 1u);
        for (int i = 0; i < 4 + static_cast<int>(skip) * 8; ++i) bitsink_put(c.sink, 0xFFFFFFFFu, 32);
        std::vector<std::int32_t> v(2);
        std::vector<std::uint8_t> copy(8192);
        BitSink seen;
        bitsink_create(seen, copy.data(), copy.size());
        std::uint32_t pos = 0;
        EXPECT_EQ(decode(c, skip, ESC_HCB, v, pos, seen), BandStatus::long_escape) << skip;
        EXPECT_EQ(pos, skip + flag.length + 1 + kMaxEscapePrefixOnes + 1) << skip;
    }
}

}  // namespace
