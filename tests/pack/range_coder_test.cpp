// The range coder and its adaptive models: what the encoder writes, the decoder reads back,
// for skewed and even decisions, tree fields, integers of every size, and direct bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pack/range_coder.h"

namespace {

struct Models {
    Bit skewed;
    BitTree<6> tree;
    UintModel uint;
    SintModel sint;
};

// One walk over the values for both coders, as the packed form's models are written.
template <class Coder>
void walk(Coder& rc, Models& m, std::vector<std::uint32_t>& v) {
    for (std::size_t i = 0; i + 5 <= v.size(); i += 5) {
        v[i] = code_bit(rc, m.skewed, v[i]);
        v[i + 1] = code_tree<6>(rc, m.tree, v[i + 1]);
        v[i + 2] = code_uint(rc, m.uint, v[i + 2]);
        v[i + 3] = static_cast<std::uint32_t>(code_sint(rc, m.sint, static_cast<std::int32_t>(v[i + 3])));
        v[i + 4] = code_direct(rc, v[i + 4], 32);
    }
}

}  // namespace

TEST(RangeCoder, EveryKindOfFieldComesBack) {
    std::mt19937 rng(7);
    std::vector<std::uint32_t> values;
    const std::uint32_t edge[] = {0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 20000; ++i) {
        values.push_back(rng() % 16 == 0 ? 1u : 0u);
        values.push_back(rng() % 64);
        values.push_back(i < 6 ? edge[i] : rng() >> (rng() % 32));
        values.push_back(i < 6 ? edge[i] : static_cast<std::uint32_t>(static_cast<std::int32_t>(rng() % 201) - 100));
        values.push_back(rng());
    }
    std::vector<std::uint8_t> packed;
    RangeEncoder enc;
    start_encoder(enc, packed);
    Models em;
    std::vector<std::uint32_t> copy = values;
    walk(enc, em, copy);
    finish_encoder(enc);

    RangeDecoder dec;
    start_decoder(dec, packed.data(), packed.size());
    Models dm;
    std::vector<std::uint32_t> decoded(values.size(), 0);
    walk(dec, dm, decoded);
    EXPECT_EQ(decoded, values);
    EXPECT_EQ(dec.overrun, 0u);
}

TEST(RangeCoder, SkewedDecisionsCostLittleAndEvenOnesAboutABit) {
    std::mt19937 rng(3);
    std::vector<std::uint8_t> packed;
    RangeEncoder enc;
    start_encoder(enc, packed);
    Bit b;
    for (int i = 0; i < 100000; ++i) code_bit(enc, b, rng() % 100 == 0 ? 1u : 0u);
    finish_encoder(enc);
    // The entropy of a 1% decision is 0.081 bits: 100,000 of them need about 1,010 bytes.
    EXPECT_LT(packed.size(), 1150u);
    EXPECT_GT(packed.size(), 950u);

    std::vector<std::uint8_t> even;
    start_encoder(enc, even);
    Bit e;
    for (int i = 0; i < 80000; ++i) code_bit(enc, e, rng() & 1u);
    finish_encoder(enc);
    EXPECT_LT(even.size(), 10100u);
    EXPECT_GE(even.size(), 9990u);
}
