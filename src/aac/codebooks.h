// The spectral and scale-factor Huffman codebooks and the facts of their tuples. Spectral
// data goes through them by way of the spectral codec (aac/spectral_codec.h) in every
// direction, so there is one copy of the codes.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "aac/aac_tables.h"

// Codebook numbers with a meaning of their own.
constexpr int ZERO_HCB = 0;
constexpr int FIRST_PAIR_HCB = 5;
constexpr int ESC_HCB = 11;
constexpr int RESERVED_HCB = 12;
constexpr int NOISE_HCB = 13;
constexpr int INTENSITY_HCB2 = 14;
constexpr int INTENSITY_HCB = 15;

constexpr int kEscapeFlag = 16;  // a codebook 11 magnitude meaning "escape sequence follows"

// Values per tuple: 4 for books 1..4, 2 for the others.
constexpr unsigned tuple_size(int cb) { return cb < FIRST_PAIR_HCB ? 4u : 2u; }
// Books whose values carry sign bits after the codeword (3, 4, 7..11).
constexpr bool is_unsigned_book(int cb) { return cb == 3 || cb == 4 || cb >= 7; }
// Largest magnitude a book codes directly (codebook 11: 16 = escape).
constexpr int book_max_magnitude(int cb) {
    return cb <= 2 ? 1 : cb <= 4 ? 2 : cb <= 6 ? 4 : cb <= 8 ? 7 : cb <= 10 ? 12 : 16;
}

inline SpectralCodeEntry lookup_codeword(int cb, int index) { return kSpectralCodeTables[cb][index]; }

// Index of a tuple in book cb (1..11). Unsigned books use magnitudes; book 11 clamps to 16.
// The values must lie within the book's range (see book_max_magnitude).
inline int tuple_to_index(int cb, const int* v) {
    switch (cb) {
    case 1: case 2: return 27 * (v[0] + 1) + 9 * (v[1] + 1) + 3 * (v[2] + 1) + (v[3] + 1);
    case 3: case 4: return 27 * std::abs(v[0]) + 9 * std::abs(v[1]) + 3 * std::abs(v[2]) + std::abs(v[3]);
    case 5: case 6: return 9 * (v[0] + 4) + (v[1] + 4);
    case 7: case 8: return 8 * std::abs(v[0]) + std::abs(v[1]);
    case 9: case 10: return 13 * std::abs(v[0]) + std::abs(v[1]);
    default: {
        const int y = std::abs(v[0]) < 16 ? std::abs(v[0]) : 16;
        const int z = std::abs(v[1]) < 16 ? std::abs(v[1]) : 16;
        return 17 * y + z;
    }
    }
}

// The tuple of an index of book cb (1..11): signed values for 1, 2, 5, 6, magnitudes otherwise.
constexpr void index_to_tuple(int cb, int index, int* v) {
    switch (cb) {
    case 1: case 2:
        v[0] = index / 27 - 1; v[1] = index / 9 % 3 - 1; v[2] = index / 3 % 3 - 1; v[3] = index % 3 - 1;
        return;
    case 3: case 4:
        v[0] = index / 27; v[1] = index / 9 % 3; v[2] = index / 3 % 3; v[3] = index % 3;
        return;
    case 5: case 6: v[0] = index / 9 - 4; v[1] = index % 9 - 4; return;
    case 7: case 8: v[0] = index / 8; v[1] = index % 8; return;
    case 9: case 10: v[0] = index / 13; v[1] = index % 13; return;
    default: v[0] = index / 17; v[1] = index % 17; return;
    }
}

// Facts about every index of every book, derived from index_to_tuple once at compile time
// so the inner loops need no divisions: the tuple's values, how many of them are non-zero
// (the sign bits of an unsigned book), and which of a pair is an escape flag (book 11).
constexpr int kMaxBookIndex = 289;  // book 11: 17 x 17
struct TupleInfo {
    std::int8_t v[4];        // the tuple of index_to_tuple
    std::uint8_t nonzero;    // values that are not 0
    std::uint8_t escapes;    // bit 1: first value is an escape flag, bit 0: second (book 11)
    std::uint8_t sign_shift[4];  // where value j's sign bit sits in the sign field: the non-zero values after it
};
struct TupleInfoTable {
    TupleInfo entry[12][kMaxBookIndex];
};
constexpr TupleInfoTable make_tuple_info() {
    TupleInfoTable t{};
    for (int cb = 1; cb <= ESC_HCB; ++cb) {
        const int count = cb <= 6 ? 81 : cb <= 8 ? 64 : cb <= 10 ? 169 : 289;
        for (int index = 0; index < count; ++index) {
            int v[4] = {0, 0, 0, 0};
            index_to_tuple(cb, index, v);
            TupleInfo& e = t.entry[cb][index];
            for (int j = 0; j < 4; ++j) {
                e.v[j] = static_cast<std::int8_t>(v[j]);
                if (v[j] != 0) ++e.nonzero;
            }
            const int n = cb < FIRST_PAIR_HCB ? 4 : 2;
            for (int j = 0; j < n; ++j)
                for (int k = j + 1; k < n; ++k)
                    if (v[k] != 0) ++e.sign_shift[j];
            if (cb == ESC_HCB) e.escapes = static_cast<std::uint8_t>((v[0] == kEscapeFlag ? 2 : 0) | (v[1] == kEscapeFlag ? 1 : 0));
        }
    }
    return t;
}
inline constexpr TupleInfoTable kTupleInfo = make_tuple_info();

// Looks up the codeword at the front of `next32` (the next 32 bits of a stream, first bit
// most significant; bits past the end of the data read as zeros). Returns false when no
// codeword of the table starts that way.
inline bool huff_decode(const HuffDecodeEntry* table, std::uint32_t next32, int& index, unsigned& length) {
    const HuffDecodeEntry& e = table[next32 >> (32 - kHuffRootBits)];
    if (e.length != 0) {
        index = e.value;
        length = e.length;
        return true;
    }
    if (e.sub_bits == 0) return false;
    const std::uint32_t rest = (next32 << kHuffRootBits) >> (32 - e.sub_bits);
    const HuffDecodeEntry& s = table[e.value + rest];
    if (s.length == 0) return false;
    index = s.value;
    length = s.length;
    return true;
}

// Spectral codeword of book cb (1..11) at the front of next32.
inline bool decode_spectral_index(int cb, std::uint32_t next32, int& index, unsigned& length) {
    return huff_decode(kSpectralDecodeTables[cb], next32, index, length);
}

// Scale-factor codeword at the front of next32; index 0..120 (60 = no change).
inline bool decode_scalefactor_index(std::uint32_t next32, int& index, unsigned& length) {
    return huff_decode(kScaleFactorDecode, next32, index, length);
}
