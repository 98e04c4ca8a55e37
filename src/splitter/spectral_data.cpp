// Spectral data. The codewords are decoded through the shared codebooks and re-emitted
// from the decoded index, followed by the sign bits and escapes, so the QMDCT bits of a
// channel equal its spectral_data bits.
#include "splitter/spectral_data.h"

#include <array>

#include "aac/codebooks.h"
#include "splitter/emit.h"
#include "aac/syntax.h"

namespace {


// An escape sequence after a codebook 11 magnitude of 16: N one bits, a zero, N + 4 bits.
Status read_escape(StreamSet& set, BitReader& br, std::int32_t& value) {
    unsigned n = 4;
    for (;;) {
        const unsigned bit = get_bit(br);
        emit_bits(set, bit, 1, STREAM_QMDCT);
        if (bit == 0) break;
        if (++n > kMaxEscapeWordBits) return kStatusHuffmanCodeword;
    }
    const std::uint32_t word = get_bits(br, n);
    emit_bits(set, word, static_cast<int>(n), STREAM_QMDCT);
    const std::int32_t magnitude = static_cast<std::int32_t>((1u << n) + word);
    value = value < 0 ? -magnitude : magnitude;
    return 0;
}

// One codeword of book cb with its sign bits (and escapes for book 11) into v[0..tuple).
// The tuple, its count of non-zero values and its escape flags come from one table entry.
inline Status read_spectral_tuple(StreamSet& set, BitReader& br, int cb, std::int32_t* v) {
    const std::uint32_t next32 = show_bits(br, 32);
    int index = 0;
    unsigned length = 0;
    if (!decode_spectral_index(cb, next32, index, length)) return kStatusHuffmanCodeword;
    skip_bits(br, length);
    const TupleInfo& info = kTupleInfo.entry[cb][index];
    const unsigned n = tuple_size(cb);
    const SpectralCodeEntry code = lookup_codeword(cb, index);
    if (!is_unsigned_book(cb)) {
        emit_bits(set, code.codeword, code.length, STREAM_QMDCT);
        for (unsigned j = 0; j < n; ++j) v[j] = info.v[j];
        return 0;
    }
    const unsigned nonzero = info.nonzero;
    // The sign bits follow the codeword in tuple order; one field carries both.
    const std::uint32_t signs = get_bits(br, nonzero);
    emit_bits(set, (std::uint32_t{code.codeword} << nonzero) | signs, static_cast<int>(code.length + nonzero),
              STREAM_QMDCT);
    unsigned s = nonzero;
    for (unsigned j = 0; j < n; ++j) {
        const std::int32_t t = info.v[j];
        v[j] = t;
        if (t != 0 && ((signs >> --s) & 1u)) v[j] = -t;
    }
    if (info.escapes != 0) {
        for (unsigned j = 0; j < 2; ++j) {
            if (info.escapes & (2u >> j)) {
                if (Status st = read_escape(set, br, v[j]); st != 0) return st;
            }
        }
    }
    return 0;
}

// The fast path decodes tuples from the frame's bytes at a bit position of its own, as long
// as a whole tuple (codeword 16 bits, 4 signs, two escapes of 27) cannot reach the last
// bytes of the data; the reader is then moved to where it stopped. Anything unusual (no
// such codeword, an escape prefix the decoder refuses) is left to the careful path above,
// which starts again at the same tuple and reports it.
constexpr std::uint32_t kFastMarginBits = 128;

// The one bits at the front of w (at most 63: w may be all ones, as the data can be).
inline unsigned leading_ones(std::uint64_t w) { return static_cast<unsigned>(__builtin_clzll(~w | 1u)); }

template <bool kBits>
inline void emit_fast(StreamSet& set, std::uint64_t window, unsigned width) {
    if (kBits && width != 0) emit_bits(set, static_cast<std::uint32_t>(window >> (64 - width)), static_cast<int>(width), STREAM_QMDCT);
}

// One escape at `pos`: returns false, without consuming, when the prefix is too long.
template <bool kBits>
inline bool fast_escape(StreamSet& set, const BitReader& br, std::uint32_t& pos, std::int32_t& value) {
    const std::uint64_t w = peek57_at(br, pos);
    const unsigned ones = leading_ones(w);
    if (ones > kMaxEscapeWordBits - 4) return false;
    const unsigned n = 4 + ones;
    emit_fast<kBits>(set, w, ones + 1);
    const std::uint64_t rest = w << (ones + 1);
    emit_fast<kBits>(set, rest, n);
    const std::int32_t magnitude = static_cast<std::int32_t>((1u << n) + static_cast<std::uint32_t>(rest >> (64 - n)));
    value = value < 0 ? -magnitude : magnitude;
    pos += 2 * ones + 5;
    return true;
}

// Decodes the tuples of values [k, end) of one section of book kBook into v[k..] while they
// lie well inside the data; returns the first value it did not decode.
template <bool kBits, int kBook>
unsigned fast_section(StreamSet& set, BitReader& br, unsigned k, unsigned end, std::int32_t* v) {
    if (reader_exhausted(br) || br.size * 8ull < kFastMarginBits) return k;
    const std::uint32_t safe_end = br.size * 8 - kFastMarginBits;
    std::uint32_t pos = processed_bits(br);
    const std::uint32_t start = pos;
    constexpr unsigned n = tuple_size(kBook);
    const HuffDecodeEntry* table = kSpectralDecodeTables[kBook];
    const TupleInfo* infos = kTupleInfo.entry[kBook];
    for (; k < end && pos <= safe_end; k += n) {
        const std::uint64_t w = peek57_at(br, pos);
        int index = 0;
        unsigned length = 0;
        if (!huff_decode(table, static_cast<std::uint32_t>(w >> 32), index, length)) break;
        const TupleInfo& info = infos[index];
        std::int32_t* out = v + k;
        if constexpr (!is_unsigned_book(kBook)) {
            emit_fast<kBits>(set, w, length);
            for (unsigned j = 0; j < n; ++j) out[j] = info.v[j];
            pos += length;
            continue;
        }
        const unsigned nonzero = info.nonzero;
        const auto signs = static_cast<std::uint32_t>((w << length) >> 32 >> (32 - nonzero));
        for (unsigned j = 0; j < n; ++j) {
            const std::int32_t t = info.v[j];
            const std::int32_t neg = -static_cast<std::int32_t>((signs >> info.sign_shift[j]) & (t != 0));
            out[j] = (t ^ neg) - neg;
        }
        if (kBook != ESC_HCB || info.escapes == 0) {
            emit_fast<kBits>(set, w, length + nonzero);
            pos += length + nonzero;
            continue;
        }
        // An escape whose prefix is refused must be reported by the careful path, with the
        // bits before it emitted as that path emits them: look ahead before emitting anything.
        std::uint32_t p = pos + length + nonzero;
        bool ok = true;
        for (unsigned j = 0; j < 2 && ok; ++j) {
            if (!(info.escapes & (2u >> j))) continue;
            const unsigned ones = leading_ones(peek57_at(br, p));
            if (ones > kMaxEscapeWordBits - 4) ok = false;
            p += 2 * ones + 5;
        }
        if (!ok) break;
        emit_fast<kBits>(set, w, length + nonzero);
        pos += length + nonzero;
        for (unsigned j = 0; j < 2; ++j)
            if (info.escapes & (2u >> j)) fast_escape<kBits>(set, br, pos, out[j]);
    }
    if (pos != start) reader_seek_inside(br, pos);
    return k;
}

template <bool kBits>
unsigned fast_section(StreamSet& set, BitReader& br, int cb, unsigned k, unsigned end, std::int32_t* v) {
    switch (cb) {
    case 1: return fast_section<kBits, 1>(set, br, k, end, v);
    case 2: return fast_section<kBits, 2>(set, br, k, end, v);
    case 3: return fast_section<kBits, 3>(set, br, k, end, v);
    case 4: return fast_section<kBits, 4>(set, br, k, end, v);
    case 5: return fast_section<kBits, 5>(set, br, k, end, v);
    case 6: return fast_section<kBits, 6>(set, br, k, end, v);
    case 7: return fast_section<kBits, 7>(set, br, k, end, v);
    case 8: return fast_section<kBits, 8>(set, br, k, end, v);
    case 9: return fast_section<kBits, 9>(set, br, k, end, v);
    case 10: return fast_section<kBits, 10>(set, br, k, end, v);
    default: return fast_section<kBits, ESC_HCB>(set, br, k, end, v);
    }
}

template <bool kBits>
Status read_spectral_sections(StreamSet& set, BitReader& br, const ChannelStream& cs, std::int32_t* spectrum) {
    unsigned group_start = 0;
    for (unsigned g = 0; g < cs.num_window_groups; ++g) {
        unsigned p = group_start;
        for (unsigned i = 0; i < cs.num_sec[g]; ++i) {
            const int cb = cs.sect_cb[g][i];
            const unsigned begin = cs.sect_sfb_offset[g][cs.sect_start[g][i]];
            const unsigned end = cs.sect_sfb_offset[g][cs.sect_end[g][i]];
            if (cb == ZERO_HCB || cb == NOISE_HCB || cb == INTENSITY_HCB || cb == INTENSITY_HCB2) {
                p += end - begin;
                continue;
            }
            if (cb > ESC_HCB) return kStatusNoSuchCodebook;
            const unsigned step = tuple_size(cb);
            // Values [p, p + end - begin) of the spectrum; the fast path takes what it can.
            const unsigned last = p + (end - begin + step - 1) / step * step;
            for (unsigned k = fast_section<kBits>(set, br, cb, p, last, spectrum); k < last; k += step) {
                if (Status s = read_spectral_tuple(set, br, cb, spectrum + k); s != 0) return s;
            }
            p = last;
        }
        group_start += cs.window_group_length[g] * (kFrameLength / 8);
    }
    return 0;
}

}  // namespace

Status read_spectral_data(StreamSet& set, BitReader& br, const ChannelStream& cs, std::int32_t* spectrum) {
    return set.block_files ? read_spectral_sections<true>(set, br, cs, spectrum)
                           : read_spectral_sections<false>(set, br, cs, spectrum);
}

void value_line_range(double cut_lo_hz, double cut_hi_hz, std::uint8_t sf_index, unsigned& start, unsigned& end) {
    const int fs = sample_rate_of(sf_index);
    const long half = fs / 2;
    if (cut_hi_hz == 0.0) cut_hi_hz = static_cast<double>(half);
    if (!(cut_lo_hz < cut_hi_hz)) cut_lo_hz = 0.0;
    if (half == 0) {
        start = end = 0;
        return;
    }
    // Truncated cut-offs, then integer arithmetic; out-of-range settings clamp to the frame.
    const double hi = cut_hi_hz < 0 ? 0.0 : cut_hi_hz > 1e9 ? 1e9 : cut_hi_hz;
    const double lo = cut_lo_hz < 0 ? 0.0 : cut_lo_hz > 1e9 ? 1e9 : cut_lo_hz;
    long long e = static_cast<long long>(hi) * kFrameLength / half + 1;
    if (e >= kFrameLength) e = kFrameLength;
    long long s = static_cast<long long>(lo) * kFrameLength / half;
    if (s >= e) s = 0;
    start = static_cast<unsigned>(s);
    end = static_cast<unsigned>(e);
}

void emit_spectral_value_line(StreamSet& set, const std::int32_t* spectrum, unsigned start, unsigned end, int list) {
    if (end > start) emit_values(set, spectrum + start, end - start, list);
    emit_eol(set, list);
}
