// The spectral codec: how the quantised values of a band become spectral_data bits and back,
// written once for every direction. A tuple is its book's codeword, then (unsigned books) a
// sign bit per non-zero value in tuple order, then (book 11) an escape sequence per value
// flagged 16. The splitter and the packed form's parse decode whole bands through
// decode_band; the rebuild's codeword transcoder decodes tuple by tuple through
// decode_tuple and decode_escape; the rebuild and the packed form encode through encode_band.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aac/bit_reader.h"
#include "aac/bit_sink.h"
#include "aac/codebooks.h"

// An escape sequence: N one bits, a zero, then an escape_word of N + 4 bits; the magnitude is
// 2^(N+4) + escape_word.
// The longest escape_word a decoder reads: eleven prefix one bits, a twelfth one bit is a
// bitstream error (as in the decoder library). Every decoder here refuses longer prefixes.
constexpr unsigned kMaxEscapeWordBits = 15;
constexpr unsigned kMaxEscapePrefixOnes = kMaxEscapeWordBits - 4;
// The largest magnitude an escape sequence that decoders accept can carry (N = 11). A valid
// stream stays at 8191 (N <= 8), but a frame beyond it is still read by the decoder library,
// so every direction takes and writes escapes up to this one limit: the rebuild clamps to it,
// and the packed form models such a frame like any other (its earlier files hold them too).
constexpr std::int32_t kMaxEscapeMagnitude = (1 << (kMaxEscapeWordBits + 1)) - 1;
static_assert(kMaxEscapeMagnitude == 65535);

// The one bits at the front of w (at most 63: w may be all ones, as the data can be).
inline unsigned leading_ones(std::uint64_t w) { return static_cast<unsigned>(__builtin_clzll(~w | 1u)); }

// The escape sequence at the front of `window` (first bit most significant; its first
// 2 * kMaxEscapePrefixOnes + 5 bits suffice): its magnitude and length in bits. False, with
// nothing set, when its prefix has more one bits than decoders accept.
inline bool decode_escape(std::uint64_t window, std::uint32_t& magnitude, unsigned& length) {
    const unsigned ones = leading_ones(window);
    if (ones > kMaxEscapePrefixOnes) return false;
    const unsigned n = ones + 4;
    magnitude = (1u << n) + static_cast<std::uint32_t>((window << (ones + 1)) >> (64 - n));
    length = 2 * ones + 5;
    return true;
}

// The escape sequence of magnitude m (16 <= m < 2^18, so the field fits 32 bits): the bit
// field, and `length` = 2N + 5.
inline std::uint32_t make_escape_code(std::uint32_t m, unsigned& length) {
    unsigned n = 0;
    while ((m >> (n + 5)) != 0) ++n;
    length = 2 * n + 5;
    const std::uint32_t prefix = ((1u << n) - 1u) << (n + 5);
    return prefix | (m - (1u << (n + 4)));
}

// The tuple of book cb (1..11) at the front of `window` (its first 32 bits suffice): the
// values into v[0..tuple_size(cb)) with their signs (an escape flag as +-16), the bits of
// codeword and signs in `length`, book 11's escape flags in `escapes` (TupleInfo::escapes).
// False, with nothing set, when no codeword of the book starts the window.
inline bool decode_tuple(int cb, std::uint64_t window, std::int32_t* v, unsigned& length, unsigned& escapes) {
    int index = 0;
    unsigned code_length = 0;
    if (!decode_spectral_index(cb, static_cast<std::uint32_t>(window >> 32), index, code_length)) return false;
    const TupleInfo& info = kTupleInfo.entry[cb][index];
    const unsigned n = tuple_size(cb);
    if (!is_unsigned_book(cb)) {
        for (unsigned j = 0; j < n; ++j) v[j] = info.v[j];
        length = code_length;
        escapes = 0;
        return true;
    }
    const unsigned nonzero = info.nonzero;
    const auto signs = static_cast<std::uint32_t>((window << code_length) >> 32 >> (32 - nonzero));
    for (unsigned j = 0; j < n; ++j) {
        const std::int32_t t = info.v[j];
        const std::int32_t neg = -static_cast<std::int32_t>((signs >> info.sign_shift[j]) & (t != 0));
        v[j] = (t ^ neg) - neg;
    }
    length = code_length + nonzero;
    escapes = info.escapes;
    return true;
}

enum class BandStatus : std::uint8_t {
    ok = 0,
    bad_codeword,  // no codeword of the book: the tuple is not consumed
    long_escape,   // an escape prefix longer than decoders accept: its accepted ones and one more are consumed
};

// Decoding that hands its bits on nowhere.
struct NoBits {
    void operator()(std::uint64_t, unsigned) const {}
};

namespace spectral_detail {

// pos + n, held at `limit` (the reader's end and slack), where every later read is zeros.
inline std::uint32_t advanced(std::uint32_t pos, unsigned n, std::uint32_t limit) {
    const std::uint64_t to = std::uint64_t{pos} + n;
    return to < limit ? static_cast<std::uint32_t>(to) : limit;
}

template <int kBook, class Bits>
BandStatus decode_band_in(const BitReader& br, std::uint32_t& pos, std::int32_t* v, unsigned count, Bits& bits) {
    constexpr unsigned n = tuple_size(kBook);
    const std::uint32_t limit = br.end + kReaderSlackBits;
    for (unsigned k = 0; k < count; k += n) {
        const std::uint64_t w = peek57_at(br, pos);
        unsigned length = 0;
        unsigned escapes = 0;
        if (!decode_tuple(kBook, w, v + k, length, escapes)) return BandStatus::bad_codeword;
        bits(w, length);
        pos = advanced(pos, length, limit);
        if (kBook != ESC_HCB || escapes == 0) continue;
        for (unsigned j = 0; j < 2; ++j) {
            if (!(escapes & (2u >> j))) continue;
            const std::uint64_t e = peek57_at(br, pos);
            std::uint32_t magnitude = 0;
            unsigned escape_length = 0;
            if (!decode_escape(e, magnitude, escape_length)) {
                bits(e, kMaxEscapePrefixOnes + 1);
                pos = advanced(pos, kMaxEscapePrefixOnes + 1, limit);
                return BandStatus::long_escape;
            }
            bits(e, escape_length);
            pos = advanced(pos, escape_length, limit);
            const auto m = static_cast<std::int32_t>(magnitude);
            v[k + j] = v[k + j] < 0 ? -m : m;
        }
    }
    return BandStatus::ok;
}

}  // namespace spectral_detail

// Decodes whole tuples of book cb (1..11) from bit `pos` of br's data into v[0..count),
// count rounded up to whole tuples, moving pos past them (held at the reader's end and
// slack: bits there read as zeros). Every run of bits it takes (codeword with signs, each
// escape) goes to bits(window, width), the width bits at the front of the window. Stops at
// the first tuple that fails.
template <class Bits>
BandStatus decode_band(const BitReader& br, std::uint32_t& pos, int cb, std::int32_t* v, unsigned count, Bits& bits) {
    using spectral_detail::decode_band_in;
    switch (cb) {
    case 1: return decode_band_in<1>(br, pos, v, count, bits);
    case 2: return decode_band_in<2>(br, pos, v, count, bits);
    case 3: return decode_band_in<3>(br, pos, v, count, bits);
    case 4: return decode_band_in<4>(br, pos, v, count, bits);
    case 5: return decode_band_in<5>(br, pos, v, count, bits);
    case 6: return decode_band_in<6>(br, pos, v, count, bits);
    case 7: return decode_band_in<7>(br, pos, v, count, bits);
    case 8: return decode_band_in<8>(br, pos, v, count, bits);
    case 9: return decode_band_in<9>(br, pos, v, count, bits);
    case 10: return decode_band_in<10>(br, pos, v, count, bits);
    default: return decode_band_in<ESC_HCB>(br, pos, v, count, bits);
    }
}

// The largest magnitude book cb (1..11) codes: book 11 through escapes.
constexpr std::int32_t band_max_magnitude(int cb) {
    return cb == ESC_HCB ? kMaxEscapeMagnitude : book_max_magnitude(cb);
}

// True when every value of v[0..count) lies within what book cb (1..11) codes.
bool band_in_range(int cb, const std::int32_t* v, std::size_t count);

// Writes the codewords, sign bits and escapes of the whole tuples of v[0..count) in book cb
// (1..11) through batch into sink, each value first clamped to band_max_magnitude(cb),
// keeping its sign. Returns the bits handed to the batch.
int encode_band(BitSink& sink, BitBatch& batch, int cb, const std::int32_t* v, std::size_t count);
