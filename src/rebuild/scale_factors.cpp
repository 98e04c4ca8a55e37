// Scale-factor rebuild. The codewords are copied, not re-encoded; decoding them on the way
// keeps the running scale factor, so a value out of range is caught before it is written on.
#include "rebuild/scale_factors.h"

#include "aac/codebooks.h"

namespace {
constexpr unsigned kLongestScfCodeword = 19;
}

int copy_scf_codeword(FieldSource& src, BitSink& sink, int& bits) {
    // From a bit stream the codeword is decoded from one look-ahead and copied whole; the
    // code is a prefix code, so that is the codeword the bit-by-bit walk below would find.
    if (src.reader != nullptr) {
        const std::uint32_t next32 = peek_bits(*src.reader, 32);
        int index = -1;
        unsigned length = 0;
        if (decode_scalefactor_index(next32, index, length) && length >= 1 && length <= kLongestScfCodeword) {
            advance_bits(*src.reader, length);
            bits += static_cast<int>(bitsink_put(sink, next32 >> (32 - length), length));
            return index;
        }
    }
    // From values (one per bit) the next bits are gathered the same way, as far as the line
    // holds them, and the codeword is taken whole when it lies within them.
    if (src.line != nullptr) {
        ValueLine& line = *src.line;
        const std::size_t left = line.count - line.taken;
        const unsigned most = left < kLongestScfCodeword ? static_cast<unsigned>(left) : kLongestScfCodeword;
        std::uint32_t next32 = 0;
        unsigned n = 0;
        // Most codewords are short: look at 8 bits first, then at all 19 if need be.
        for (unsigned want : {most < 8u ? most : 8u, most}) {
            for (; n < want; ++n) next32 |= (static_cast<std::uint32_t>(line.values[line.taken + n]) & 1u) << (31 - n);
            int index = -1;
            unsigned length = 0;
            if (decode_scalefactor_index(next32, index, length) && length >= 1 && length <= n) {
                line.taken += length;
                bits += static_cast<int>(bitsink_put(sink, next32 >> (32 - length), length));
                return index;
            }
        }
    }
    std::uint32_t prefix = 0;
    for (unsigned n = 1; n <= kLongestScfCodeword; ++n) {
        const std::uint32_t bit = copy_field(src, sink, 1, bits);
        prefix = (prefix << 1) | bit;
        // The code is a prefix code: the prefix followed by zeros decodes to a codeword of
        // exactly n bits only when the prefix is that codeword.
        int index = -1;
        unsigned length = 0;
        if (decode_scalefactor_index(prefix << (32 - n), index, length) && length == n) return index;
    }
    return -1;
}

int write_scale_factor_data(DecompressContext& ctx, BitSink& sink) {
    ValueLine line;
    FieldSource src;
    if (!open_fields(ctx.blocks, STREAM_SCF, line, src)) return 0;
    const FrameState& st = ctx.state;
    // Only the scale factors are range-checked; intensity positions and noise energies are
    // not limited, so their codewords are copied without keeping a running value.
    int scale_factor = st.global_gain;
    bool noise_pcm_flag = true;
    int bits = 0;
    for (int g = 0; g < st.num_window_groups; ++g) {
        for (int sfb = 0; sfb < st.max_sfb; ++sfb) {
            switch (st.sfb_cb[g][sfb]) {
            case ZERO_HCB:
                break;
            case NOISE_HCB:
                if (noise_pcm_flag) {
                    noise_pcm_flag = false;
                    copy_field(src, sink, 9, bits);
                } else {
                    (void)copy_scf_codeword(src, sink, bits);
                }
                break;
            case INTENSITY_HCB2:
            case INTENSITY_HCB:
                (void)copy_scf_codeword(src, sink, bits);
                break;
            default:
                scale_factor += copy_scf_codeword(src, sink, bits) - 60;
                if (scale_factor < 0 || scale_factor > 255) {
                    ctx.frame_status = kStatusScaleFactorRange;
                    close_fields(ctx.blocks, STREAM_SCF, line);
                    return bits;
                }
                break;
            }
        }
    }
    close_fields(ctx.blocks, STREAM_SCF, line);
    return bits;
}
