// The syntax walk of one ADTS frame, written once over an "Io" that decides what a field
// means: the parse reads bits into a FrameRecord, the writer turns a record back into bits,
// and the two coders of the frame model code the same values through adaptive models. Every
// Io has a sticky `failed` flag with the first reason in `why` (fail() sets both) and offers the
// same hooks, free functions the walk calls:
//
//   io_field(io, n, kind, slot)            an n-bit field of the frame (FieldKind kind)
//   io_hidden(io, n, kind)                 a value the record keeps beside the fields (the
//                                          count of trailing bytes)
//   io_align_width(io)                     how many bits reach the next byte boundary
//   io_frame_length(io)                    the 13-bit aac_frame_length, derived when writing
//   io_begin_channel(io, slot, window_sequence)   a channel's ics starts
//   io_sect_cb(io, pos)                    sect_cb of the section starting at pos
//   io_sect_len(io, n, kind, pos, sect_cb) one n-bit sect_len increment
//   io_ms_used(io, pos)                    ms_used of one band
//   io_scale_factor(io, sf_kind, pos)      one scale factor, noise energy or intensity position
//   io_spectral(io, cb, count, run)        count spectral values of one band coded with cb
//   io_bytes(io, count, byte_class)        count payload bytes
//
// The walk takes its control flow only from values those functions return, so all directions
// meet the same fields in the same order.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "pack/format/pack_result.h"
#include "pack/frame/frame_record.h"
#include "aac/aac_tables.h"
#include "aac/codebooks.h"
#include "aac/syntax.h"
#include "aac/window_grouping.h"

constexpr unsigned kMaxElementsPerBlock = 64;
// Band slots per window group in the frame model's per-band history: room for every band.
constexpr unsigned kPackMaxBands = 64;
static_assert(kPackMaxBands >= kMaxBands, "a band without a history slot");

// Where a run of spectral values sits: the channel slot (its index in the frame, which also
// picks its previous-frame history), its partner of a common-window pair, and the position
// of the first value among the channel's 1024.
struct LineRun {
    unsigned slot = 0;
    int pair_slot = -1;  // the first channel of a common-window pair, for the second channel
    unsigned first = 0;
    std::uint8_t g = 0;
    std::uint8_t sfb = 0;
    bool short_windows = false;
    bool ms = false;  // the band is coded mid/side
};

// A scale-factor position: channel slot, window group and band.
struct BandPos {
    unsigned slot = 0;
    unsigned g = 0;
    unsigned sfb = 0;
    int pair_slot = -1;  // the first channel of a common-window pair, for the second channel
};

struct FrameContext {
    std::uint8_t object_type = LC_OBJECT;
    std::uint8_t sf_index = 0;
    std::uint8_t track = 0;  // of a container's access unit: which of its tracks (chunk_units.h)
    unsigned next_slot = 0;
};

// Window groups and band offsets of a channel; false when the rate has no band table or
// max_sfb lies beyond it.
inline bool derive_shape(IcsLayout& s, std::uint8_t sf_index) {
    return group_windows(s, sf_index, false, kFrameLength) && s.num_swb != 0 && s.max_sfb <= s.num_swb;
}

template <class Io>
void walk_ltp_data(Io& io, const IcsLayout& s, unsigned slot) {
    (void)io_field(io, 11, K_LTP_LAG, slot);
    (void)io_field(io, 3, K_LTP_COEF, slot);
    if (s.window_sequence == EIGHT_SHORT_SEQUENCE) {
        for (unsigned w = 0; w < s.num_windows; ++w) {
            if (!io_field(io, 1, K_LTP_SHORT_USED, slot)) continue;
            if (io_field(io, 1, K_LTP_SHORT_LAG_PRESENT, slot)) (void)io_field(io, 4, K_LTP_SHORT_LAG, slot);
        }
    } else {
        const unsigned last_band = std::min<unsigned>(s.max_sfb, kMaxLtpSfb);
        for (unsigned sfb = 0; sfb < last_band; ++sfb) (void)io_field(io, 1, K_LTP_LONG_USED, slot);
    }
}

template <class Io>
void walk_ics_info(Io& io, const FrameContext& fc, IcsLayout& s, unsigned slot, bool common_window) {
    (void)io_field(io, 1, K_ICS_RESERVED, slot);
    s.window_sequence = static_cast<std::uint8_t>(io_field(io, 2, K_WINDOW_SEQUENCE, slot));
    (void)io_field(io, 1, K_WINDOW_SHAPE, slot);
    s.scale_factor_grouping = 0;
    if (s.window_sequence == EIGHT_SHORT_SEQUENCE) {
        s.max_sfb = static_cast<std::uint8_t>(io_field(io, 4, K_MAX_SFB_SHORT, slot));
        s.scale_factor_grouping = static_cast<std::uint8_t>(io_field(io, 7, K_SF_GROUPING, slot));
    } else {
        s.max_sfb = static_cast<std::uint8_t>(io_field(io, 6, K_MAX_SFB_LONG, slot));
    }
    if (!derive_shape(s, fc.sf_index)) {
        fail(io, PACK_FRAME_SYNTAX);
        return;
    }
    if (s.window_sequence == EIGHT_SHORT_SEQUENCE) return;
    if (!io_field(io, 1, K_PREDICTOR_PRESENT, slot)) return;
    if (fc.object_type == MAIN_OBJECT) {
        const unsigned limit = std::min<unsigned>(s.max_sfb, static_cast<unsigned>(pred_sfb_max_of(fc.sf_index)));
        if (io_field(io, 1, K_PREDICTOR_RESET, slot)) (void)io_field(io, 5, K_PREDICTOR_RESET_GROUP, slot);
        for (unsigned sfb = 0; sfb < limit; ++sfb) (void)io_field(io, 1, K_PREDICTION_USED, slot);
        return;
    }
    if (io_field(io, 1, K_LTP_PRESENT, slot)) walk_ltp_data(io, s, slot);
    if (common_window && io_field(io, 1, K_LTP_PRESENT, slot)) walk_ltp_data(io, s, slot);
}

template <class Io>
void walk_section_data(Io& io, IcsLayout& s, unsigned slot, int pair_slot) {
    const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
    const unsigned sect_bits = short_windows ? 3 : 5;
    const unsigned sect_esc_val = (1u << sect_bits) - 1;
    const FieldKind len_kind = short_windows ? K_SECT_LEN_SHORT : K_SECT_LEN_LONG;
    for (unsigned g = 0; g < s.num_window_groups; ++g) {
        unsigned k = 0;
        unsigned i = 0;
        s.sfb_cb[g].fill(ZERO_HCB);
        // Zero-length sections are legal, so k alone cannot end this loop; the section
        // count is bounded by its array as well.
        while (k < s.max_sfb) {
            if (io.failed || i >= kMaxSections) {
                fail(io, PACK_FRAME_SYNTAX);
                return;
            }
            const BandPos pos{slot, g, k, pair_slot};
            const auto sect_cb = static_cast<std::uint8_t>(io_sect_cb(io, pos));
            if (sect_cb == RESERVED_HCB) {
                fail(io, PACK_FRAME_SYNTAX);
                return;
            }
            unsigned sect_len = 0;
            unsigned incr = io_sect_len(io, sect_bits, len_kind, pos, sect_cb);
            while (incr == sect_esc_val && !io.failed && sect_len <= kMaxSections) {
                sect_len += incr;
                incr = io_sect_len(io, sect_bits, len_kind, pos, sect_cb);
            }
            sect_len += incr;
            if (k + sect_len > s.max_sfb) {
                fail(io, PACK_FRAME_SYNTAX);
                return;
            }
            s.sect_cb[g][i] = sect_cb;
            s.sect_start[g][i] = static_cast<std::uint8_t>(k);
            s.sect_end[g][i] = static_cast<std::uint8_t>(k + sect_len);
            for (unsigned sfb = k; sfb < k + sect_len; ++sfb) s.sfb_cb[g][sfb] = sect_cb;
            k += sect_len;
            ++i;
        }
        s.num_sec[g] = static_cast<std::uint8_t>(i);
    }
}

template <class Io>
void walk_scale_factor_data(Io& io, const IcsLayout& s, unsigned slot, int pair_slot) {
    bool first_noise = true;
    for (unsigned g = 0; g < s.num_window_groups; ++g) {
        for (unsigned sfb = 0; sfb < s.max_sfb; ++sfb) {
            const std::uint8_t cb = s.sfb_cb[g][sfb];
            const BandPos pos{slot, g, sfb, pair_slot};
            if (cb == ZERO_HCB) continue;
            if (cb == INTENSITY_HCB || cb == INTENSITY_HCB2) {
                io_scale_factor(io, SF_INTENSITY, pos);
            } else if (cb == NOISE_HCB) {
                if (first_noise) {
                    first_noise = false;
                    (void)io_field(io, 9, K_NOISE_PCM, slot);
                } else {
                    io_scale_factor(io, SF_NOISE, pos);
                }
            } else {
                io_scale_factor(io, SF_SCALE, pos);
            }
        }
    }
}

template <class Io>
void walk_tns_data(Io& io, const IcsLayout& s, unsigned slot) {
    const bool short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
    const unsigned n_filt_bits = short_windows ? 1 : 2;
    const unsigned length_bits = short_windows ? 4 : 6;
    const unsigned order_bits = short_windows ? 3 : 5;
    for (unsigned w = 0; w < s.num_windows; ++w) {
        const unsigned n_filt = io_field(io, n_filt_bits, K_TNS_N_FILT, slot);
        unsigned start_coef_bits = 3;
        if (n_filt > 0 && io_field(io, 1, K_TNS_COEF_RES, slot) == 1) start_coef_bits = 4;
        for (unsigned f = 0; f < n_filt; ++f) {
            (void)io_field(io, length_bits, K_TNS_LENGTH, slot);
            const unsigned order = io_field(io, order_bits, K_TNS_ORDER, slot);
            if (order == 0) continue;
            (void)io_field(io, 1, K_TNS_DIRECTION, slot);
            const unsigned coef_compress = io_field(io, 1, K_TNS_COMPRESS, slot);
            const unsigned coef_bits = start_coef_bits - coef_compress;
            for (unsigned i = 0; i < order; ++i) (void)io_field(io, coef_bits, K_TNS_COEF, slot);
        }
    }
}

// Which bands of a channel pair are coded mid/side, per window group.
struct MsBands {
    std::array<std::uint64_t, 8> used{};
};

template <class Io>
void walk_spectral_data(Io& io, const IcsLayout& s, unsigned slot, int pair_slot, const MsBands& ms) {
    unsigned group_base = 0;
    for (unsigned g = 0; g < s.num_window_groups; ++g) {
        for (unsigned i = 0; i < s.num_sec[g]; ++i) {
            const std::uint8_t cb = s.sect_cb[g][i];
            if (cb == ZERO_HCB || cb >= NOISE_HCB) continue;
            for (unsigned sfb = s.sect_start[g][i]; sfb < s.sect_end[g][i]; ++sfb) {
                const unsigned first = s.sect_sfb_offset[g][sfb];
                const unsigned count = s.sect_sfb_offset[g][sfb + 1] - first;
                LineRun run;
                run.slot = slot;
                run.pair_slot = pair_slot;
                run.first = group_base + first;
                run.g = static_cast<std::uint8_t>(g);
                run.sfb = static_cast<std::uint8_t>(sfb);
                run.short_windows = s.window_sequence == EIGHT_SHORT_SEQUENCE;
                run.ms = (ms.used[g] >> sfb) & 1u;
                io_spectral(io, cb, count, run);
            }
        }
        group_base += s.sect_sfb_offset[g][s.num_swb];
    }
}

// individual_channel_stream; with a common window the shape comes from the pair's ics_info.
template <class Io>
void walk_ics(Io& io, const FrameContext& fc, IcsLayout& s, unsigned slot, int pair_slot, bool common_window,
              const MsBands& ms) {
    (void)io_field(io, 8, K_GLOBAL_GAIN, slot);
    if (!common_window) walk_ics_info(io, fc, s, slot, false);
    if (io.failed) return;
    io_begin_channel(io, slot, s.window_sequence);
    walk_section_data(io, s, slot, pair_slot);
    if (io.failed) return;
    walk_scale_factor_data(io, s, slot, pair_slot);
    if (io_field(io, 1, K_PULSE_PRESENT, slot)) {
        const unsigned number_pulse = io_field(io, 2, K_PULSE_NUMBER, slot);
        (void)io_field(io, 6, K_PULSE_START, slot);
        for (unsigned i = 0; i <= number_pulse; ++i) {
            (void)io_field(io, 5, K_PULSE_OFFSET, slot);
            (void)io_field(io, 4, K_PULSE_AMP, slot);
        }
    }
    if (io_field(io, 1, K_TNS_PRESENT, slot)) walk_tns_data(io, s, slot);
    // Gain control data is not modelled: such a frame is kept whole.
    if (io_field(io, 1, K_GAIN_CONTROL_PRESENT, slot)) fail(io, PACK_FRAME_SYNTAX);
    if (io.failed) return;
    walk_spectral_data(io, s, slot, pair_slot, ms);
}

template <class Io>
unsigned next_slot(Io& io, FrameContext& fc) {
    if (fc.next_slot >= kMaxChannelsPerFrame) fail(io, PACK_FRAME_SYNTAX);
    return fc.next_slot++;
}

template <class Io>
void walk_program_config(Io& io) {
    auto f = [&](unsigned n) { return io_field(io, n, K_PCE, 0); };
    (void)f(4);  // element_instance_tag
    (void)f(2);  // object_type
    (void)f(4);  // sampling_frequency_index
    const unsigned num_front = f(4), num_side = f(4), num_back = f(4);
    const unsigned num_lfe = f(2), num_assoc = f(3), num_cc = f(4);
    if (f(1)) (void)f(4);  // mono_mixdown
    if (f(1)) (void)f(4);  // stereo_mixdown
    if (f(1)) (void)f(3);  // matrix_mixdown_idx and pseudo_surround_enable
    for (unsigned i = 0; i < num_front + num_side + num_back; ++i) (void)f(5);
    for (unsigned i = 0; i < num_lfe + num_assoc; ++i) (void)f(4);
    for (unsigned i = 0; i < num_cc; ++i) (void)f(5);
    (void)io_field(io, io_align_width(io), K_ALIGN_BITS, 0);
    const unsigned comment_field_bytes = f(8);
    io_bytes(io, comment_field_bytes, BYTES_PAYLOAD);
}

template <class Io>
void walk_raw_data_block(Io& io, FrameContext& fc) {
    for (unsigned element = 0;; ++element) {
        if (io.failed) return;
        if (element >= kMaxElementsPerBlock) {
            fail(io, PACK_FRAME_SYNTAX);
            return;
        }
        const unsigned id = io_field(io, 3, K_ELEMENT_ID, element);
        if (id == ID_END) return;
        switch (id) {
        case ID_SCE:
        case ID_LFE: {
            (void)io_field(io, 4, K_ELEMENT_TAG, element);
            IcsLayout s;
            const unsigned slot = next_slot(io, fc);
            if (!io.failed) walk_ics(io, fc, s, slot, -1, false, MsBands{});
            break;
        }
        case ID_CPE: {
            (void)io_field(io, 4, K_ELEMENT_TAG, element);
            const unsigned slot0 = next_slot(io, fc);
            const unsigned slot1 = next_slot(io, fc);
            if (io.failed) return;
            IcsLayout s0;
            MsBands ms;
            const bool common_window = io_field(io, 1, K_COMMON_WINDOW, slot0) != 0;
            if (common_window) {
                walk_ics_info(io, fc, s0, slot0, true);
                if (io.failed) return;
                const unsigned ms_mask_present = io_field(io, 2, K_MS_MASK_PRESENT, slot0);
                if (ms_mask_present == 1) {
                    for (unsigned g = 0; g < s0.num_window_groups; ++g)
                        for (unsigned sfb = 0; sfb < s0.max_sfb; ++sfb)
                            if (io_ms_used(io, BandPos{slot0, g, sfb})) ms.used[g] |= std::uint64_t{1} << sfb;
                } else if (ms_mask_present == 2) {
                    ms.used.fill(~std::uint64_t{0});
                }
            }
            IcsLayout s1 = s0;
            walk_ics(io, fc, s0, slot0, -1, common_window, ms);
            walk_ics(io, fc, s1, slot1, common_window ? static_cast<int>(slot0) : -1, common_window, ms);
            break;
        }
        case ID_DSE: {
            (void)io_field(io, 4, K_ELEMENT_TAG, element);
            const unsigned data_byte_align_flag = io_field(io, 1, K_DSE_ALIGN_FLAG, 0);
            unsigned count = io_field(io, 8, K_DSE_COUNT, 0);
            if (count == 255) count += io_field(io, 8, K_DSE_ESC, 0);
            if (data_byte_align_flag) (void)io_field(io, io_align_width(io), K_ALIGN_BITS, 0);
            io_bytes(io, count, BYTES_PAYLOAD);
            break;
        }
        case ID_PCE:
            walk_program_config(io);
            break;
        case ID_FIL: {
            unsigned count = io_field(io, 4, K_FILL_COUNT, 0);
            if (count == 15) count += io_field(io, 8, K_FILL_ESC, 0) - 1;
            io_bytes(io, count, BYTES_PAYLOAD);
            break;
        }
        default:  // coupling channel elements are not modelled: the frame is kept whole
            fail(io, PACK_FRAME_SYNTAX);
            return;
        }
    }
}

// adts_frame: header, CRC, raw data blocks, then whatever bytes the frame length still covers.
template <class Io>
void walk_adts_frame(Io& io) {
    if (io_field(io, 12, K_SYNCWORD, 0) != 0xFFF) fail(io, PACK_FRAME_SYNTAX);
    (void)io_field(io, 1, K_ID, 0);
    (void)io_field(io, 2, K_LAYER, 0);
    const unsigned protection_absent = io_field(io, 1, K_PROTECTION_ABSENT, 0);
    const unsigned profile = io_field(io, 2, K_PROFILE, 0);
    const unsigned sf_index = io_field(io, 4, K_SF_INDEX, 0);
    (void)io_field(io, 1, K_PRIVATE_BIT, 0);
    (void)io_field(io, 3, K_CHANNEL_CONFIG, 0);
    (void)io_field(io, 1, K_ORIGINAL_COPY, 0);
    (void)io_field(io, 1, K_HOME, 0);
    (void)io_field(io, 1, K_COPYRIGHT_BIT, 0);
    (void)io_field(io, 1, K_COPYRIGHT_START, 0);
    io_frame_length(io);
    (void)io_field(io, 11, K_BUFFER_FULLNESS, 0);
    const unsigned raw_blocks = io_field(io, 2, K_RAW_BLOCKS, 0);
    // Several blocks with CRCs carry block positions as well; such frames are kept whole.
    if (!protection_absent && raw_blocks > 0) fail(io, PACK_FRAME_SYNTAX);
    if (!protection_absent) (void)io_field(io, 16, K_CRC, 0);
    if (io.failed) return;
    FrameContext fc;
    fc.object_type = static_cast<std::uint8_t>(profile + 1);
    fc.sf_index = static_cast<std::uint8_t>(sf_index);
    for (unsigned b = 0; b <= raw_blocks && !io.failed; ++b) {
        walk_raw_data_block(io, fc);
        (void)io_field(io, io_align_width(io), K_ALIGN_BITS, 0);
    }
    if (io.failed) return;
    const unsigned trailing = io_hidden(io, 13, K_TRAILING_COUNT);
    io_bytes(io, trailing, BYTES_RAW);
}

// One access unit of a container track, or of an ADIF or headerless stream: a raw data block
// and its byte alignment, then whatever bytes the unit's size still covers. The frame context
// comes from the track's configuration instead of a header, and the unit's length from what
// it holds.
template <class Io>
void walk_access_unit(Io& io, const FrameContext& track) {
    FrameContext fc;
    fc.object_type = track.object_type;
    fc.sf_index = track.sf_index;
    walk_raw_data_block(io, fc);
    (void)io_field(io, io_align_width(io), K_ALIGN_BITS, 0);
    if (io.failed) return;
    const unsigned trailing = io_hidden(io, 13, K_TRAILING_COUNT);
    io_bytes(io, trailing, BYTES_RAW);
}
