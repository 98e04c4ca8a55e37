// The value path's band encoder against a per-value reference: codeword, then a sign bit
// per non-zero value of an unsigned book, then the escape sequences of book 11, each value
// clamped to what its book (or a valid escape) can carry.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "aac/bit_sink.h"
#include "aac/codebooks.h"
#include "rebuild/band_encoder.h"

namespace {

void put(BitSink& sink, std::uint32_t value, unsigned n) { ASSERT_EQ(bitsink_put(sink, value, n), n); }

// The reference: one write per field, straight from the syntax.
void encode_band_reference(BitSink& sink, int cb, const std::int32_t* values, int first, int width) {
    const int book = cb >= 16 && cb <= 31 ? ESC_HCB : cb;
    if (book < 1 || book > ESC_HCB) return;
    const int n = static_cast<int>(tuple_size(book));
    const std::int32_t largest = book == ESC_HCB ? kLargestEscapeMagnitude : book_max_magnitude(book);
    const int end = first + width > 1024 ? 1024 : first + width;
    for (int k = first; k + n <= end; k += n) {
        int v[4] = {0, 0, 0, 0};
        for (int i = 0; i < n; ++i) v[i] = values[k + i] > largest ? largest : values[k + i] < -largest ? -largest : values[k + i];
        const SpectralCodeEntry e = lookup_codeword(book, tuple_to_index(book, v));
        put(sink, e.codeword, e.length);
        if (is_unsigned_book(book)) {
            for (int i = 0; i < n; ++i)
                if (v[i] != 0) put(sink, v[i] < 0 ? 1u : 0u, 1);
        }
        if (book != ESC_HCB) continue;
        for (int i = 0; i < 2; ++i) {
            const auto m = static_cast<std::uint32_t>(v[i] < 0 ? -v[i] : v[i]);
            if (m < static_cast<std::uint32_t>(kEscapeFlag)) continue;
            unsigned length = 0;
            const std::uint32_t code = make_escape_code(m, length);
            put(sink, code, length);
        }
    }
}

// Every book (16..31 as 11; 0, 12..15 write nothing), values inside and far outside each
// book's range, bands that run past the last line.
TEST(BandEncoder, WritesWhatThePerValueReferenceWrites) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> small(-20, 20);
    std::uniform_int_distribution<int> wide(-9000, 9000);
    for (int cb = 0; cb <= 31; ++cb) {
        SCOPED_TRACE(cb);
        std::int32_t values[1024];
        for (int k = 0; k < 1024; ++k) values[k] = k % 37 == 0 ? wide(rng) : k % 3 == 0 ? 0 : small(rng);
        static std::uint8_t reference[16384], direct[16384];
        BitSink a, b;
        bitsink_create(a, reference, sizeof reference);
        bitsink_create(b, direct, sizeof direct);
        BitBatch batch;
        for (int first = 0; first < 1024; first += 48) {
            encode_band_reference(a, cb, values, first, 48);
            encode_band_bits(b, batch, cb, values, first, 48);
        }
        EXPECT_EQ(static_cast<std::size_t>(batch_finish(b, batch)), a.bit_position);
        EXPECT_EQ(std::memcmp(reference, direct, sizeof reference), 0);
        EXPECT_EQ(a.bit_position > 0, (cb >= 1 && cb <= 11) || cb >= 16);
    }
}

}  // namespace
