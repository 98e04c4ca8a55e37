// The range coder and its adaptive models: what the encoder writes, the decoder reads back,
// for skewed and even decisions, tree fields, integers of every size, direct bits and small
// alphabets; the context tables the models live in. A coder that spends more than it should on
// skewed decisions packs every file larger: PackSizeFloor holds each sample to its recorded size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "pack/model/context_table.h"
#include "pack/model/adaptive.h"

TEST(RangeCoder, EveryKindOfFieldComesBack) {
    struct Models {
        Bit skewed;
        BitTree<6> tree;
        UintModel uint;
        SintModel sint;
        SymbolModel symbols;
        Models() { start_symbols(symbols, kSymbolsMax); }
    };
    // One walk over the values for both coders, as the packed form's models are written.
    const auto walk = [](auto& rc, Models& m, std::vector<std::uint32_t>& v) {
        for (std::size_t i = 0; i + 6 <= v.size(); i += 6) {
            v[i] = code_bit(rc, m.skewed, v[i]);
            v[i + 1] = code_tree<6>(rc, m.tree, v[i + 1]);
            v[i + 2] = code_uint(rc, m.uint, v[i + 2]);
            v[i + 3] = static_cast<std::uint32_t>(code_sint(rc, m.sint, static_cast<std::int32_t>(v[i + 3])));
            v[i + 4] = code_direct(rc, v[i + 4], 32);
            v[i + 5] = code_symbol(rc, m.symbols, v[i + 5]);
        }
    };
    std::mt19937 rng(7);
    std::vector<std::uint32_t> values;
    const std::uint32_t edge[] = {0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    for (int i = 0; i < 20000; ++i) {
        values.push_back(rng() % 16 == 0 ? 1u : 0u);
        values.push_back(rng() % 64);
        values.push_back(i < 6 ? edge[i] : rng() >> (rng() % 32));
        values.push_back(i < 6 ? edge[i] : static_cast<std::uint32_t>(static_cast<std::int32_t>(rng() % 201) - 100));
        values.push_back(rng());
        values.push_back(i < 20 ? kSymbolsMax - 1 : rng() % 4 == 0 ? rng() % kSymbolsMax : 0u);
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

// A small alphabet codes close to its entropy while its counts are halved again and again, and
// a symbol that has not been seen for long is still coded exactly when it comes. Whatever bytes
// a damaged payload holds, a symbol decodes to one of the model's own.
TEST(RangeCoder, SymbolsCostTheirEntropyTheRareOnesStayCodableAndJunkDecodesInRange) {
    std::mt19937 rng(11);
    constexpr unsigned n = 17;
    std::vector<std::uint32_t> values;
    double bits = 0;
    std::vector<double> weight(n);
    double sum = 0;
    for (unsigned s = 0; s < n; ++s) sum += weight[s] = std::pow(0.5, s);
    std::discrete_distribution<unsigned> pick(weight.begin(), weight.end());
    for (int i = 0; i < 300000; ++i) {
        const unsigned s = i == 299999 ? n - 1 : pick(rng);
        values.push_back(s);
        bits -= std::log2(weight[s] / sum);
    }
    std::vector<std::uint8_t> packed;
    RangeEncoder enc;
    start_encoder(enc, packed);
    SymbolModel em;
    start_symbols(em, n);
    for (std::uint32_t s : values) code_symbol(enc, em, s);
    finish_encoder(enc);
    EXPECT_LT(static_cast<double>(packed.size()) * 8, bits * 1.02);

    RangeDecoder dec;
    start_decoder(dec, packed.data(), packed.size());
    SymbolModel dm;
    start_symbols(dm, n);
    std::vector<std::uint32_t> decoded;
    for (std::size_t i = 0; i < values.size(); ++i) decoded.push_back(code_symbol(dec, dm, 0));
    EXPECT_EQ(decoded, values);
    EXPECT_EQ(dec.overrun, 0u);

    std::vector<std::uint8_t> junk(4000);
    for (std::uint8_t& b : junk) b = static_cast<std::uint8_t>(rng());
    for (unsigned size : {2u, 5u, kSymbolsMax}) {
        start_decoder(dec, junk.data(), junk.size());
        start_symbols(dm, size);
        for (int i = 0; i < 20000; ++i) ASSERT_LT(code_symbol(dec, dm, 0), size);
    }
}

// An index past its dimension stops a build with assertions; the clamp keeps unbounded values
// inside. (That a lazy entry starts as it should when first used and keeps what it learnt is
// the fixture test's to catch: every model chunk of every fixture is coded again from its
// bytes and must give the stored payload.)
TEST(ContextTable, IndexesAreCheckedAndClamped) {
    EXPECT_EQ(clamp_index(2, 4), 2u);
    EXPECT_EQ(clamp_index(70, 4), 3u);
    EXPECT_DEBUG_DEATH((void)checked_index(4, 4), "context index past");
}
