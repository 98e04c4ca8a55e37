// Spectral data. The codewords are decoded through the shared codebooks and re-emitted
// from the decoded index, followed by the sign bits and escapes, so the QMDCT bits of a
// channel equal its spectral_data bits.
#include "splitter/spectral_data.h"

#include <array>

#include "splitter/codebooks.h"
#include "splitter/emit.h"
#include "splitter/syntax.h"

namespace {

// The longest escape prefix the decoder library accepts: eleven one bits, so a word of at
// most 15 bits follows; a twelfth one bit is a bitstream error.
constexpr unsigned kMaxEscapeWordBits = 15;

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

}  // namespace

Status read_spectral_data(StreamSet& set, BitReader& br, const ChannelStream& cs, std::int32_t* spectrum) {
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
            for (unsigned k = begin; k < end; k += step, p += step) {
                if (Status s = read_spectral_tuple(set, br, cb, spectrum + p); s != 0) return s;
            }
        }
        group_start += cs.window_group_length[g] * (kFrameLength / 8);
    }
    return 0;
}

void value_line_range(Options& options, std::uint8_t sf_index, unsigned& start, unsigned& end) {
    const int fs = sample_rate_of(sf_index);
    const long half = fs / 2;
    if (options.cutfreqhi == 0.0) options.cutfreqhi = static_cast<double>(half);
    if (!(options.cutfreqlo < options.cutfreqhi)) options.cutfreqlo = 0.0;
    if (half == 0) {
        start = end = 0;
        return;
    }
    // Truncated cut-offs, then integer arithmetic; out-of-range settings clamp to the frame.
    const double hi = options.cutfreqhi < 0 ? 0.0 : options.cutfreqhi > 1e9 ? 1e9 : options.cutfreqhi;
    const double lo = options.cutfreqlo < 0 ? 0.0 : options.cutfreqlo > 1e9 ? 1e9 : options.cutfreqlo;
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
