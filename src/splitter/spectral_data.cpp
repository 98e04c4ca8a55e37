// Spectral data, decoded band by band through the spectral codec; every bit it takes goes to
// the QMDCT stream as it is, so the QMDCT bits of a channel equal its spectral_data bits.
#include "splitter/spectral_data.h"

#include "aac/spectral_codec.h"
#include "aac/syntax.h"
#include "splitter/emit.h"

namespace {

// Hands every run of bits the band decoder takes to the QMDCT stream.
struct QmdctBits {
    StreamSet& set;
    void operator()(std::uint64_t window, unsigned width) const {
        if (width == 0) return;
        emit_bits(set, static_cast<std::uint32_t>(window >> (64 - width)), static_cast<int>(width), STREAM_QMDCT);
    }
};

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
            // Values [p, p + end - begin) of the spectrum, in whole tuples.
            const unsigned count = (end - begin + step - 1) / step * step;
            std::uint32_t pos = processed_bits(br);
            BandStatus status;
            if constexpr (kBits) {
                QmdctBits bits{set};
                status = decode_band(br, pos, cb, spectrum + p, count, bits);
            } else {
                NoBits bits;
                status = decode_band(br, pos, cb, spectrum + p, count, bits);
            }
            reader_seek(br, pos);
            if (status != BandStatus::ok) return kStatusHuffmanCodeword;
            p += count;
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
