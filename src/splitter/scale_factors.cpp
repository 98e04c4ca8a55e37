// Scale-factor data. The codewords go to SCF exactly as they stand (each bit also as a
// CSV value), so the rebuild copies them back; the decoded values only serve the range
// check the decoder library makes.
#include "splitter/scale_factors.h"

#include "aac/codebooks.h"
#include "splitter/emit.h"

namespace {

// One scale-factor codeword: its bits on SCF, its index (0..120, 60 = no change) returned.
bool read_scale_factor_codeword(StreamSet& set, BitReader& br, int& index) {
    unsigned length = 0;
    const std::uint32_t next32 = show_bits(br, 32);
    if (!decode_scalefactor_index(next32, index, length)) return false;
    skip_bits(br, length);
    emit_bits(set, next32 >> (32 - length), static_cast<int>(length), STREAM_SCF);
    for (unsigned b = 0; b < length; ++b) emit_value(set, static_cast<std::int32_t>((next32 >> (31 - b)) & 1u), STREAM_SCF);
    return true;
}

}  // namespace

Status read_scale_factor_data(StreamSet& set, BitReader& br, const ChannelStream& cs) {
    int scale_factor = cs.global_gain;
    bool first_noise = true;
    for (unsigned g = 0; g < cs.num_window_groups; ++g) {
        for (unsigned sfb = 0; sfb < cs.max_sfb; ++sfb) {
            const std::uint8_t cb = cs.sfb_cb[g][sfb];
            if (cb == ZERO_HCB) continue;
            if (cb == NOISE_HCB && first_noise) {
                // The first noise band starts the energies with a raw 9-bit value.
                first_noise = false;
                emit_bits_value(set, get_bits(br, 9), 9, STREAM_SCF);
                continue;
            }
            int t = 0;
            if (!read_scale_factor_codeword(set, br, t)) return kStatusScalefactorHuffman;
            // Intensity positions and noise energies have no range of their own.
            if (cb == INTENSITY_HCB || cb == INTENSITY_HCB2 || cb == NOISE_HCB) continue;
            scale_factor += t - 60;
            if (scale_factor < 0 || scale_factor > 255) return kStatusNegativeScalefactor;
        }
    }
    return 0;
}
