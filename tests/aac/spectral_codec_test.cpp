// The spectral codec both ways: every tuple of every book and random in-range bands
// (escapes up to the limit included) decode back to their values in exactly the bits
// written, values out of range are clamped, and escape prefixes longer than decoders accept are refused at every bit
// position.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "aac/spectral_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<std::int32_t>;

// A sink over `bytes` (cleared) holding `skip` zero bits.
BitSink sink_over(Bytes& bytes, unsigned skip) {
    bytes.assign(16384, 0);
    BitSink sink;
    bitsink_create(sink, bytes.data(), bytes.size());
    bitsink_put(sink, 0, skip);
    return sink;
}

int encode(Bytes& out, int cb, const Values& v) {
    BitSink sink = sink_over(out, 0);
    BitBatch batch;
    const int handed = encode_band(sink, batch, cb, v.data(), v.size());
    EXPECT_EQ(batch_finish(sink, batch), handed);
    return handed;
}

// Decodes v.size() values from bit `pos` on; the bits the decoder hands on go to `seen`.
BandStatus decode(const Bytes& in, std::uint32_t& pos, int cb, Values& v, Bytes& seen) {
    BitSink sink = sink_over(seen, pos);
    BitReader br;
    init_reader(br, in.data(), in.size() - kReaderTail);  // the bytes end in zeros
    auto copy = [&](std::uint64_t w, unsigned n) { bitsink_put(sink, static_cast<std::uint32_t>(w >> (64 - n)), n); };
    return decode_band(br, pos, cb, v.data(), static_cast<unsigned>(v.size()), copy);
}

TEST(SpectralCodec, EveryBookDecodesWhatItEncodesInTheSameBits) {
    std::mt19937 rng(19);
    for (int cb = 1; cb <= ESC_HCB; ++cb) {
        SCOPED_TRACE(cb);
        const std::int32_t largest = band_max_magnitude(cb);
        std::uniform_int_distribution<std::int32_t> any(-largest, largest), small(-20, 20);
        // the largest values, every tuple of the book in turn (random signs and escapes), then random values
        Values v = {largest, -largest, 0, 0};
        for (int index = 0; index < kSpectralCodeTableSize[cb]; ++index) {
            int t[4] = {0, 0, 0, 0};
            index_to_tuple(cb, index, t);
            for (unsigned j = 0; j < tuple_size(cb); ++j)
                v.push_back((rng() & 1 && is_unsigned_book(cb) ? -1 : 1) * (t[j] == kEscapeFlag ? 16 + static_cast<std::int32_t>(rng() % 8176) : t[j]));
        }
        for (std::size_t k = 0; k < 512; ++k) v.push_back(k % 5 == 0 ? any(rng) : k % 3 == 0 ? 0 : small(rng) % (largest + 1));
        ASSERT_TRUE(band_in_range(cb, v.data(), v.size()));
        Values back(v.size());
        Bytes coded, seen;
        const int bits = encode(coded, cb, v);
        std::uint32_t pos = 0;
        ASSERT_EQ(decode(coded, pos, cb, back, seen), BandStatus::ok);
        EXPECT_EQ(back, v);
        EXPECT_EQ(pos, static_cast<std::uint32_t>(bits));
        EXPECT_EQ(seen, coded);
        // A value past the book's range is written as the largest it has, sign kept.
        Values wide = {largest + 1 + static_cast<std::int32_t>(rng() % 9000), 0, 0, 0};
        wide[1] = -wide[0];
        EXPECT_FALSE(band_in_range(cb, wide.data(), wide.size()));
        encode(coded, cb, wide);
        pos = 0;
        ASSERT_EQ(decode(coded, pos, cb, back = Values(4), seen), BandStatus::ok);
        EXPECT_EQ(back, (Values{largest, -largest, 0, 0}));
    }
}

TEST(SpectralCodec, EscapesAtTheirLimits) {
    struct Row { std::uint32_t m; unsigned length; std::uint32_t codeword; };
    const Row rows[] = {{16, 5, 0}, {31, 5, 15}, {32, 7, 64}, {100, 9, 420}, {8191, 21, 2093055}, {65535, 27, 0x7FF7FFF}};
    for (const Row& r : rows) {
        unsigned length = 0, back_length = 0;
        EXPECT_EQ(std::make_pair(make_escape_code(r.m, length), length), std::make_pair(r.codeword, r.length));
        std::uint32_t m = 0;
        ASSERT_TRUE(decode_escape(std::uint64_t{r.codeword} << (64 - r.length) | (~0ull >> r.length), m, back_length));
        EXPECT_EQ(std::make_pair(m, back_length), std::make_pair(r.m, r.length));
    }
    // Twelve one bits or more are refused wherever the prefix starts: the decoder takes the
    // codeword, its sign and the twelve ones, then stops.
    const SpectralCodeEntry flag = lookup_codeword(ESC_HCB, 17 * kEscapeFlag);
    for (unsigned skip = 0; skip < 8; ++skip) {
        Bytes coded, seen;
        BitSink sink = sink_over(coded, skip);
        bitsink_put(sink, flag.codeword << 1, flag.length + 1u);
        for (unsigned i = 0; i < 4 + skip * 8; ++i) bitsink_put(sink, 0xFFFFFFFFu, 32);
        Values v(2);
        std::uint32_t pos = skip;
        EXPECT_EQ(decode(coded, pos, ESC_HCB, v, seen), BandStatus::long_escape) << skip;
        EXPECT_EQ(pos, skip + flag.length + 1 + kMaxEscapePrefixOnes + 1) << skip;
    }
}

}  // namespace
