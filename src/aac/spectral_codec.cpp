// The band encoder of the spectral codec: one table lookup per tuple gives the codeword with
// its sign bits attached, then the escape sequences follow.
#include "aac/spectral_codec.h"

#include <vector>

namespace {

// Each book's codeword with its sign bits already attached, indexed by the signed tuple
// (book 11: each value clamped to +-16), so that a tuple costs one lookup and one write.
struct SignedCode {
    std::uint32_t bits = 0;  // codeword, then the signs of the non-zero values
    std::uint8_t length = 0;
    std::uint8_t escapes = 0;  // book 11: bit 1 first value, bit 0 second value is an escape
};
constexpr int signed_span(int book) { return 2 * (book == ESC_HCB ? kEscapeFlag : book_max_magnitude(book)) + 1; }
constexpr int signed_entries(int book) {
    const int span = signed_span(book);
    return tuple_size(book) == 4 ? span * span * span * span : span * span;
}

struct SignedCodeTables {
    std::vector<SignedCode> book[ESC_HCB + 1];
    SignedCodeTables() {
        for (int b = 1; b <= ESC_HCB; ++b) {
            const int span = signed_span(b);
            const int half = span / 2;
            const int n = static_cast<int>(tuple_size(b));
            book[b].resize(static_cast<std::size_t>(signed_entries(b)));
            for (int i = 0; i < signed_entries(b); ++i) {
                int v[4] = {0, 0, 0, 0};
                for (int j = n - 1, rest = i; j >= 0; --j, rest /= span) v[j] = rest % span - half;
                const SpectralCodeEntry e = lookup_codeword(b, tuple_to_index(b, v));
                SignedCode& c = book[b][static_cast<std::size_t>(i)];
                c.bits = e.codeword;
                c.length = static_cast<std::uint8_t>(e.length);
                if (!is_unsigned_book(b)) continue;
                for (int j = 0; j < n; ++j) {
                    if (v[j] == 0) continue;
                    c.bits = (c.bits << 1) | (v[j] < 0 ? 1u : 0u);
                    ++c.length;
                    if (b == ESC_HCB && (v[j] == kEscapeFlag || v[j] == -kEscapeFlag)) c.escapes |= static_cast<std::uint8_t>(2 >> j);
                }
            }
        }
    }
};

// Built on first use and never changed.
const SignedCodeTables& signed_codes() {
    static const SignedCodeTables tables;
    return tables;
}

template <int kBook>
int encode_tuples(BitSink& sink, BitBatch& batch, const std::int32_t* values, std::size_t count) {
    constexpr std::size_t n = tuple_size(kBook);
    constexpr std::int32_t largest = band_max_magnitude(kBook);
    constexpr int span = signed_span(kBook);
    constexpr int half = span / 2;
    const SignedCode* const table = signed_codes().book[kBook].data();
    int written = 0;
    for (std::size_t k = 0; k + n <= count; k += n) {
        int v[4] = {0, 0, 0, 0};
        int index = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t x = values[k + i];
            v[i] = x > largest ? largest : x < -largest ? -largest : x;
            const int y = kBook == ESC_HCB ? (v[i] > half ? half : v[i] < -half ? -half : v[i]) : v[i];
            index = index * span + y + half;
        }
        const SignedCode c = table[index];
        batch_put(sink, batch, c.bits, c.length);
        written += c.length;
        if constexpr (kBook == ESC_HCB) {
            if (c.escapes == 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(c.escapes & (2 >> i))) continue;
                unsigned length = 0;
                const std::uint32_t code = make_escape_code(static_cast<std::uint32_t>(v[i] < 0 ? -v[i] : v[i]), length);
                batch_put(sink, batch, code, length);
                written += static_cast<int>(length);
            }
        }
    }
    return written;
}

}  // namespace

bool band_in_range(int cb, const std::int32_t* v, std::size_t count) {
    const std::int32_t largest = band_max_magnitude(cb);
    for (std::size_t k = 0; k < count; ++k)
        if (v[k] > largest || v[k] < -largest) return false;
    return true;
}

int encode_band(BitSink& sink, BitBatch& batch, int cb, const std::int32_t* v, std::size_t count) {
    switch (cb) {
    case 1: return encode_tuples<1>(sink, batch, v, count);
    case 2: return encode_tuples<2>(sink, batch, v, count);
    case 3: return encode_tuples<3>(sink, batch, v, count);
    case 4: return encode_tuples<4>(sink, batch, v, count);
    case 5: return encode_tuples<5>(sink, batch, v, count);
    case 6: return encode_tuples<6>(sink, batch, v, count);
    case 7: return encode_tuples<7>(sink, batch, v, count);
    case 8: return encode_tuples<8>(sink, batch, v, count);
    case 9: return encode_tuples<9>(sink, batch, v, count);
    case 10: return encode_tuples<10>(sink, batch, v, count);
    default: return encode_tuples<ESC_HCB>(sink, batch, v, count);
    }
}
