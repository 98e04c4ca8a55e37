// The adaptive models the packed form codes its decisions with: a binary probability that
// learns as it is used (Bit), bit trees, integers of any size, logistic mixing of several
// views with a refinement map (Mixer, Apm), and small alphabets in one step (SymbolModel).
// Each is a plain record the coder (coder/range_coder.h) is given a probability or a share
// from; all arithmetic is on integers of fixed width, so every machine learns the same.
//
// Every code_* call takes the value to code and returns the value coded, for both coders, so
// a model walk is written once as a template over the coder (from the frame model's ms_used
// hook):
//
//     used = code_bit(rc, m.ms_used[band_class][before][left], used);
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/coder/range_coder.h"

// Adaptation: a Bit that has seen n decisions moves by 1/(n+2) of the way towards the new one
// (close to counting while it is young) until n reaches kBitLimit, after which it keeps a fixed
// rate and follows drifting statistics.
constexpr unsigned kBitLimit = 250;

struct Bit {
    std::uint16_t p = kProbOne / 2;  // probability of a 0
    std::uint8_t n = 0;              // decisions seen, up to kBitLimit
};

// For every count a Bit can hold, 1/(n+2) in 1/65536 in the low half and the next count in
// the high half: a division per update was the largest single cost of coding a decision, and
// one load now gives both.
struct RateTable {
    std::uint32_t v[kBitLimit + 1];
};
constexpr RateTable make_rate_table() {
    RateTable t{};
    for (unsigned n = 0; n <= kBitLimit; ++n)
        t.v[n] = (65536u / (n + 2u)) | ((n < kBitLimit ? n + 1u : n) << 16);
    return t;
}
inline constexpr RateTable kRate = make_rate_table();

inline void update_bit(Bit& b, unsigned bit) {
    const std::uint32_t entry = kRate.v[b.n];
    const std::uint32_t rate = entry & 0xFFFFu;
    std::uint32_t p = b.p;
    // p and 65536 - p are below 2^16 and rate at most 2^15, so the products fit in 32 bits
    // a 1 only lowers p and a 0 only raises it, so each needs one bound
    if (bit) {
        p -= (p * rate) >> 16;
        p = p < kProbMin ? kProbMin : p;
    } else {
        p += ((kProbOne - p) * rate) >> 16;
        p = p > kProbMax ? kProbMax : p;
    }
    b.p = static_cast<std::uint16_t>(p);
    b.n = static_cast<std::uint8_t>(entry >> 16);
}

// A decision against an adaptive Bit, which then learns from it.
template <class Coder>
inline unsigned code_bit(Coder& rc, Bit& b, unsigned bit) {
    bit = code_bit_p(rc, b.p, bit);
    update_bit(b, bit);
    return bit;
}

// ---------------------------------------------------------------------------------------------
// Multi-bit values, written once for both coders.

// An N-bit field through a tree of adaptive bits indexed by the bits above it.
template <unsigned N>
struct BitTree {
    Bit b[1u << N];
};

template <unsigned N, class Coder>
std::uint32_t code_tree(Coder& rc, BitTree<N>& t, std::uint32_t value) {
    std::uint32_t m = 1;
    for (unsigned i = N; i-- > 0;) m = (m << 1) | code_bit(rc, t.b[m], (value >> i) & 1u);
    return m - (1u << N);
}

// The number of bits x needs: 0 for 0, else the position of its leading one plus one.
constexpr unsigned bit_length(std::uint32_t x) {
    unsigned n = 0;
    for (; x != 0; x >>= 1) ++n;
    return n;
}

// An unsigned integer of any size: its bit length in unary (adaptive per position), then the
// bit below the top one adaptive per length, the rest direct. Small values cost little; large
// ones stay exact.
struct UintModel {
    Bit length[33];
    Bit second[33];
};

template <class Coder>
std::uint32_t code_uint(Coder& rc, UintModel& m, std::uint32_t value) {
    const unsigned len = bit_length(value);
    unsigned n = 0;
    while (n < 32 && code_bit(rc, m.length[n], n < len ? 1u : 0u)) ++n;
    if (n == 0) return 0;
    std::uint32_t result = 1;
    if (n >= 2) {
        result = (result << 1) | code_bit(rc, m.second[n], (value >> (n - 2)) & 1u);
        if (n >= 3) {
            const std::uint32_t low_mask = (n - 2 == 32) ? 0xFFFFFFFFu : ((1u << (n - 2)) - 1u);
            result = (result << (n - 2)) | code_direct(rc, value & low_mask, n - 2);
        }
    }
    return result;
}

// A signed integer: zero flag, sign, then the magnitude less one.
struct SintModel {
    Bit zero;
    Bit sign;
    UintModel magnitude;
};

template <class Coder>
std::int32_t code_sint(Coder& rc, SintModel& m, std::int32_t value) {
    if (!code_bit(rc, m.zero, value != 0 ? 1u : 0u)) return 0;
    const unsigned negative = code_bit(rc, m.sign, value < 0 ? 1u : 0u);
    const std::uint32_t mag = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    const std::uint32_t coded = code_uint(rc, m.magnitude, mag - 1u) + 1u;
    return negative ? static_cast<std::int32_t>(0u - coded) : static_cast<std::int32_t>(coded);
}

// ---------------------------------------------------------------------------------------------
// Mixing: several Bits that model the same decision under different contexts vote, each with
// a learnt weight, in the logistic domain. All in integers: probabilities of a 1 in 1/4096,
// their logits ("stretch") in 1/256 within +-2047.

constexpr int kSquashKnots[33] = {1,    2,    3,    6,    10,   16,   27,   45,   73,   120,  194,
                                  310,  488,  747,  1101, 1546, 2047, 2549, 2994, 3348, 3607, 3785,
                                  3901, 3975, 4022, 4050, 4068, 4079, 4085, 4089, 4092, 4093, 4094};

constexpr int squash(int d) {
    if (d > 2047) return 4095;
    if (d < -2047) return 1;
    const int w = d & 127;
    const int i = (d >> 7) + 16;
    return (kSquashKnots[i] * (128 - w) + kSquashKnots[i + 1] * w + 64) >> 7;
}

// squash at every logit the mixer produces (-2047..2047), so coding a decision interpolates nothing.
struct SquashTable {
    std::int16_t v[4095];
};
constexpr SquashTable make_squash_table() {
    SquashTable t{};
    for (int d = -2047; d <= 2047; ++d) t.v[d + 2047] = static_cast<std::int16_t>(squash(d));
    return t;
}
inline constexpr SquashTable kSquash = make_squash_table();

struct StretchTable {
    std::int16_t v[4096];
};
constexpr StretchTable make_stretch_table() {
    StretchTable t{};
    int pi = 0;
    for (int x = -2047; x <= 2047; ++x) {
        const int p = squash(x);
        for (int i = pi; i <= p; ++i) t.v[i] = static_cast<std::int16_t>(x);
        pi = p + 1;
    }
    for (int i = pi; i < 4096; ++i) t.v[i] = 2047;
    return t;
}
inline constexpr StretchTable kStretch = make_stretch_table();

// The logit of a Bit's probability of a 1.
inline int stretch_bit(const Bit& b) { return kStretch.v[(kProbOne - b.p) >> 4]; }

// A mixer's weights are in 1/65536. Each starts at an equal share of the vote plus a quarter,
// so that the first mixed decisions are a little surer than the average of the inputs.
constexpr int kMixerWeightOne = 1 << 16;
constexpr int kMixerWeightBoost = kMixerWeightOne / 4;
// Learning: the error of the mixed probability of a 1 (in 1/4096) times kMixerRate, times each
// input's logit, moves that input's weight by the product in 1/2^kMixerRateShift (rounded).
constexpr int kMixerRate = 6;
constexpr int kMixerRateShift = 14;

template <unsigned N>
struct Mixer {
    std::int32_t w[N];
    Mixer() {
        for (unsigned i = 0; i < N; ++i) w[i] = static_cast<std::int32_t>(kMixerWeightOne / N + kMixerWeightBoost);
    }
};

// A second opinion on a mixed probability: a table over the mixer's logit (33 knots, linear
// between them) for one small context, learning where the mixer is over- or under-confident.
// The coded probability of a 1 is (mixer + kApmWeight x refined) / (1 + kApmWeight), and the
// knot nearest the logit moves 1/kApmRate of the way to the decision coded.
constexpr unsigned kApmKnots = 33;
constexpr unsigned kApmWeight = 3;
constexpr int kApmRate = 64;

struct Apm {
    std::uint16_t t[kApmKnots];  // probability of a 1 in 1/65536 at logit (j - 16) * 128
    Apm() {
        for (int j = 0; j < static_cast<int>(kApmKnots); ++j) t[j] = static_cast<std::uint16_t>(squash((j - 16) * 128) * 16);
    }
};

// A Bit that has learnt a decision well (30 decisions seen, 97% sure) is trusted alone: mixing
// it with the other views would change little and costs several times a plain decision.
constexpr unsigned kSureCount = 30;
constexpr std::uint32_t kSureMargin = 2048;
inline bool sure(const Bit& b) {
    return b.n >= kSureCount && (b.p < kSureMargin || b.p > kProbOne - kSureMargin);
}

// Codes bit with the mixed vote of inputs[0..N) and trains the mixer and every input; with
// an Apm, the coded probability is a blend of the vote and the Apm's refinement of it. When
// the first input is sure, it codes the bit alone and only it learns.
template <unsigned N, class Coder>
[[gnu::always_inline]] inline unsigned code_mixed(Coder& rc, Mixer<N>& mx, Bit* const* inputs, unsigned bit,
                                                  Apm* apm = nullptr) {
    if (sure(*inputs[0])) return code_bit(rc, *inputs[0], bit);
    int st[N];
    std::int64_t dot = 0;
    for (unsigned i = 0; i < N; ++i) {
        st[i] = stretch_bit(*inputs[i]);
        dot += static_cast<std::int64_t>(mx.w[i]) * st[i];
    }
    int logit = static_cast<int>(dot >> 16);
    logit = logit < -2047 ? -2047 : logit > 2047 ? 2047 : logit;
    const int p1 = kSquash.v[logit + 2047];  // probability of a 1 in 1/4096
    std::uint32_t p0 = static_cast<std::uint32_t>(4096 - p1) << 4;
    const int pos = logit + 2048;  // 1..4095
    const int j = pos >> 7;
    const int w = pos & 127;
    if (apm != nullptr) {
        const unsigned refined = (apm->t[j] * (128u - w) + apm->t[j + 1] * unsigned(w)) >> 7;  // 1/65536
        // p1 >= 1 and refined >= 0: the sum is never negative, so a shift divides
        static_assert(kApmWeight + 1 == 4, "the blend divides by a shift of 2");
        p0 = 65536u - ((static_cast<unsigned>(p1) * 16u + kApmWeight * refined) >> 2);
    }
    if (p0 < kProbMin) p0 = kProbMin;
    if (p0 > kProbMax) p0 = kProbMax;
    bit = code_bit_p(rc, p0, bit);
    if (apm != nullptr) {
        // a step of 1/kApmRate towards 65535 or 0, rounded towards the knot's old value
        std::uint16_t& near_knot = apm->t[w < 64 ? j : j + 1];
        const unsigned knot = near_knot;
        near_knot = static_cast<std::uint16_t>(static_cast<int>(knot) + (static_cast<int>(bit ? 65535u : 0u) - static_cast<int>(knot)) / kApmRate);
    }
    const int err = ((static_cast<int>(bit) << 12) - p1) * kMixerRate;
    for (unsigned i = 0; i < N; ++i) {
        mx.w[i] += (st[i] * err + (1 << (kMixerRateShift - 1))) >> kMixerRateShift;
        update_bit(*inputs[i], bit);
    }
    return bit;
}

// ---------------------------------------------------------------------------------------------
// A small alphabet in one step: adaptive counts of up to kSymbolsMax symbols, the range split in
// proportion to them. One division replaces the several decisions a binary ladder would code.
// The counts are kept as running sums, so that finding a symbol is a count of the sums at or
// below a value, the same fixed-length loop for every model.

constexpr unsigned kSymbolsMax = 17;
constexpr unsigned kSymbolStep = 4;       // what each occurrence adds to its count
constexpr unsigned kSymbolLimit = 16000;  // counts are halved when their total passes this

struct SymbolModel {
    // cum[i]: the counts of the symbols below i; from cum[n] on, the total
    std::uint16_t cum[kSymbolsMax + 1] = {};
    std::uint16_t n = 0;
};

// n symbols, 1 <= n <= kSymbolsMax, each counted 2 to begin with.
inline void start_symbols(SymbolModel& m, unsigned n) {
    n = n < 1 ? 1 : n > kSymbolsMax ? kSymbolsMax : n;
    m = SymbolModel{};
    m.n = static_cast<std::uint16_t>(n);
    for (unsigned i = 0; i <= kSymbolsMax; ++i) m.cum[i] = static_cast<std::uint16_t>(2 * (i < n ? i : n));
}

// For each symbol s, what counting it adds to each running sum: kSymbolStep to the sums above
// it. Adding a row is a few vector adds where comparing every sum with s was several times that.
struct SymbolSteps {
    std::uint16_t v[kSymbolsMax + 1][kSymbolsMax + 1];  // the last row (no symbol) adds nothing
};
constexpr SymbolSteps make_symbol_steps() {
    SymbolSteps t{};
    for (unsigned s = 0; s <= kSymbolsMax; ++s)
        for (unsigned i = 0; i <= kSymbolsMax; ++i) t.v[s][i] = static_cast<std::uint16_t>(i > s ? kSymbolStep : 0u);
    return t;
}
inline constexpr SymbolSteps kSymbolSteps = make_symbol_steps();

inline void update_symbols(SymbolModel& m, unsigned s) {
    const std::uint16_t* step = kSymbolSteps.v[s < kSymbolsMax ? s : kSymbolsMax];
    for (unsigned i = 0; i <= kSymbolsMax; ++i) m.cum[i] = static_cast<std::uint16_t>(m.cum[i] + step[i]);
    if (m.cum[kSymbolsMax] > kSymbolLimit) {
        // every count is halved, rounding up, so no symbol of the n drops to 0; past n the
        // counts are 0 and stay so
        unsigned sum = 0;
        unsigned before = 0;
        for (unsigned i = 1; i <= kSymbolsMax; ++i) {
            const unsigned count = m.cum[i] - before;
            before = m.cum[i];
            sum += (count + 1u) >> 1;
            m.cum[i] = static_cast<std::uint16_t>(sum);
        }
    }
}

// Codes symbol s (< m.n) and counts it.
[[gnu::always_inline]] inline unsigned code_symbol(RangeEncoder& rc, SymbolModel& m, unsigned s) {
    code_share(rc, m.cum[s], static_cast<std::uint32_t>(m.cum[s + 1] - m.cum[s]), m.cum[kSymbolsMax]);
    update_symbols(m, s);
    return s;
}

[[gnu::always_inline]] inline unsigned code_symbol(RangeDecoder& rc, SymbolModel& m, unsigned /*ignored*/) {
    std::uint32_t r = 0;
    const std::uint32_t v = share_point(rc, m.cum[kSymbolsMax], r);
    unsigned s = 0;
    // every sum is at most kSymbolLimit + kSymbolStep, and v below the total: signed 16-bit
    // compares are exact, and a vector compares eight of them at once
    static_assert(kSymbolLimit + kSymbolStep < 32768, "running sums fit a signed 16-bit lane");
    const std::int16_t point = static_cast<std::int16_t>(v);
    for (unsigned i = 1; i <= kSymbolsMax; ++i) s += static_cast<std::int16_t>(m.cum[i]) <= point ? 1u : 0u;
    take_share(rc, r, m.cum[s], static_cast<std::uint32_t>(m.cum[s + 1] - m.cum[s]));
    update_symbols(m, s);
    return s;
}
