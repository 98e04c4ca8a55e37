// The binary range coder of the packed form, apart from the models that feed it: a decision
// at a given probability, bits at one half, and a symbol by its share of a total. All
// arithmetic is on unsigned integers of fixed width, so a file packed on one machine unpacks
// on any other.
//
// Encoder and decoder offer the same calls, each taking the value to code and returning the
// value coded: the encoder returns what it was given, the decoder ignores it and returns what
// it read. One model walk, written once as a template over the coder, therefore serves both
// directions (model/adaptive.h builds the adaptive models on these calls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Probability scale: a decision's probability of a 0 is given in 1/65536.
constexpr unsigned kProbBits = 16;
constexpr std::uint32_t kProbOne = 1u << kProbBits;
constexpr std::uint32_t kProbMin = 32;
constexpr std::uint32_t kProbMax = kProbOne - kProbMin;
constexpr std::uint32_t kRangeTop = 1u << 24;

// ---------------------------------------------------------------------------------------------
// Encoder: appends to a byte vector (carry propagation through a cached byte and a run of 0xFF).

struct RangeEncoder {
    std::vector<std::uint8_t>* out = nullptr;
    std::uint64_t low = 0;
    std::uint32_t range = 0xFFFFFFFFu;
    std::uint8_t cache = 0;
    std::uint64_t cache_size = 1;
};

inline void start_encoder(RangeEncoder& rc, std::vector<std::uint8_t>& out) {
    rc = RangeEncoder{};
    rc.out = &out;
}

inline void shift_low(RangeEncoder& rc) {
    if (static_cast<std::uint32_t>(rc.low) < 0xFF000000u || (rc.low >> 32) != 0) {
        const std::uint8_t carry = static_cast<std::uint8_t>(rc.low >> 32);
        std::uint8_t temp = rc.cache;
        do {
            rc.out->push_back(static_cast<std::uint8_t>(temp + carry));
            temp = 0xFF;
        } while (--rc.cache_size != 0);
        rc.cache = static_cast<std::uint8_t>(rc.low >> 24);
    }
    ++rc.cache_size;
    rc.low = (rc.low & 0x00FFFFFFu) << 8;
}

inline void normalise(RangeEncoder& rc) {
    while (rc.range < kRangeTop) {
        rc.range <<= 8;
        shift_low(rc);
    }
}

// Writes out what is still held; the encoder is done after this.
inline void finish_encoder(RangeEncoder& rc) {
    for (int i = 0; i < 5; ++i) shift_low(rc);
}

// Coded size so far: bytes out plus the bytes the encoder still holds, less what the range
// still has room for. Whole bits are enough for diagnostics.
inline std::uint64_t coded_bits(const RangeEncoder& rc) {
    const unsigned range_bits = 32u - static_cast<unsigned>(__builtin_clz(rc.range));  // range is never 0
    return 8 * (rc.out->size() + rc.cache_size) + 32 - range_bits;
}

// n bits of value (most significant first) at probability one half; n <= 32.
inline std::uint32_t code_direct(RangeEncoder& rc, std::uint32_t value, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
        rc.range >>= 1;
        if ((value >> i) & 1u) rc.low += rc.range;
        normalise(rc);
    }
    return value;
}

// A decision at a given probability of a 0 (1/65536).
inline unsigned code_bit_p(RangeEncoder& rc, std::uint32_t p0, unsigned bit) {
    const std::uint32_t bound = (rc.range >> kProbBits) * p0;
    if (bit) {
        rc.low += bound;
        rc.range -= bound;
    } else {
        rc.range = bound;
    }
    normalise(rc);
    return bit;
}

// The symbol whose counts below it sum to `below`, of `count`, among symbols whose counts sum
// to `total` (the total at most 2^16, count at least 1).
inline void code_share(RangeEncoder& rc, std::uint32_t below, std::uint32_t count, std::uint32_t total) {
    const std::uint32_t r = rc.range / total;
    rc.low += static_cast<std::uint64_t>(r) * below;
    rc.range = r * count;
    normalise(rc);
}

// ---------------------------------------------------------------------------------------------
// Decoder: reads from a borrowed byte range. Past its end it reads zeros and counts them in
// `overrun`; the caller treats a non-zero overrun (or any mismatch) as damage.

struct RangeDecoder {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    std::size_t overrun = 0;
    std::uint32_t range = 0xFFFFFFFFu;
    std::uint32_t code = 0;
};

inline std::uint8_t next_byte(RangeDecoder& rc) {
    if (rc.pos < rc.size) return rc.data[rc.pos++];
    ++rc.overrun;
    return 0;
}

inline void normalise(RangeDecoder& rc) {
    while (rc.range < kRangeTop) {
        rc.range <<= 8;
        rc.code = (rc.code << 8) | next_byte(rc);
    }
}

inline void start_decoder(RangeDecoder& rc, const std::uint8_t* data, std::size_t size) {
    rc = RangeDecoder{};
    rc.data = data;
    rc.size = size;
    for (int i = 0; i < 5; ++i) rc.code = (rc.code << 8) | next_byte(rc);
}

inline std::uint32_t code_direct(RangeDecoder& rc, std::uint32_t /*ignored*/, unsigned n) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < n; ++i) {
        rc.range >>= 1;
        std::uint32_t bit = 0;
        if (rc.code >= rc.range) {
            rc.code -= rc.range;
            bit = 1;
        }
        value = (value << 1) | bit;
        normalise(rc);
    }
    return value;
}

inline unsigned code_bit_p(RangeDecoder& rc, std::uint32_t p0, unsigned /*ignored*/) {
    const std::uint32_t bound = (rc.range >> kProbBits) * p0;
    unsigned bit;
    if (rc.code < bound) {
        rc.range = bound;
        bit = 0;
    } else {
        rc.code -= bound;
        rc.range -= bound;
        bit = 1;
    }
    normalise(rc);
    return bit;
}

// Decoding a symbol by its share is two steps: where the code points among `total` (its
// share unit in `r`), then, once the caller has found the symbol whose counts span that
// point, taking the symbol out. Only a damaged payload points past the total; it points at
// the last unit.
inline std::uint32_t share_point(const RangeDecoder& rc, std::uint32_t total, std::uint32_t& r) {
    r = rc.range / total;
    const std::uint32_t v = rc.code / r;
    return v < total ? v : total - 1u;
}

inline void take_share(RangeDecoder& rc, std::uint32_t r, std::uint32_t below, std::uint32_t count) {
    rc.code -= r * below;
    rc.range = r * count;
    normalise(rc);
}
