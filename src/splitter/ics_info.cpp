// ics_info with the window grouping it implies, Main-profile prediction and LTP data.
#include "splitter/ics_info.h"

#include <algorithm>
#include <iterator>

#include "aac/codebooks.h"
#include "splitter/emit.h"
#include "aac/syntax.h"


Status derive_window_grouping(ChannelStream& cs, std::uint8_t sf_index) {
    if (sf_index >= std::size(kSwb_long1024)) return kStatusBadSyntax;
    if (cs.window_sequence == EIGHT_SHORT_SEQUENCE) {
        const SwbTable& t = kSwb_short128[sf_index];
        cs.num_windows = 8;
        cs.num_swb = t.num_swb;
        cs.num_window_groups = 1;
        cs.window_group_length.fill(0);
        cs.window_group_length[0] = 1;
        for (unsigned w = 1; w < 8; ++w) {
            if ((cs.scale_factor_grouping >> (6 - (w - 1))) & 1u) {
                ++cs.window_group_length[cs.num_window_groups - 1];
            } else {
                ++cs.num_window_groups;
                cs.window_group_length[cs.num_window_groups - 1] = 1;
            }
        }
        for (unsigned sfb = 0; sfb <= cs.num_swb; ++sfb) cs.swb_offset[sfb] = t.offsets[sfb];
        cs.swb_offset[cs.num_swb] = kFrameLength / 8;
        for (unsigned g = 0; g < cs.num_window_groups; ++g) {
            std::uint16_t offset = 0;
            for (unsigned sfb = 0; sfb < cs.num_swb; ++sfb) {
                cs.sect_sfb_offset[g][sfb] = offset;
                offset = static_cast<std::uint16_t>(
                    offset + (cs.swb_offset[sfb + 1] - cs.swb_offset[sfb]) * cs.window_group_length[g]);
            }
            cs.sect_sfb_offset[g][cs.num_swb] = offset;
        }
    } else {
        const SwbTable& t = kSwb_long1024[sf_index];
        cs.num_windows = 1;
        cs.num_window_groups = 1;
        cs.window_group_length.fill(0);
        cs.window_group_length[0] = 1;
        cs.num_swb = t.num_swb;
        for (unsigned sfb = 0; sfb <= cs.num_swb; ++sfb) {
            cs.swb_offset[sfb] = t.offsets[sfb];
            cs.sect_sfb_offset[0][sfb] = t.offsets[sfb];
        }
        cs.swb_offset[cs.num_swb] = kFrameLength;
        cs.sect_sfb_offset[0][cs.num_swb] = kFrameLength;
    }
    // The decoder library refuses max_sfb beyond the band table here, before any
    // prediction data is read.
    if (cs.max_sfb > cs.num_swb) return kStatusBadSyntax;
    return 0;
}

Status read_ltp_data(SplitContext& ctx, BitReader& br, const ChannelStream& cs) {
    StreamSet& set = *ctx.streams;
    const auto lag = get_bits(br, 11);
    emit_bits_value(set, lag, 11, STREAM_ICSI);
    if (lag > 2 * kFrameLength) return kStatusLtpLag;
    emit_bits_value(set, get_bits(br, 3), 3, STREAM_ICSI);  // coef
    if (cs.window_sequence == EIGHT_SHORT_SEQUENCE) {
        for (unsigned w = 0; w < cs.num_windows; ++w) {
            const unsigned short_used = get_bit(br);
            emit_bits_value(set, short_used, 1, STREAM_ICSI);
            if (!short_used) continue;
            const unsigned short_lag_present = get_bit(br);
            emit_bits_value(set, short_lag_present, 1, STREAM_ICSI);
            if (short_lag_present) emit_bits_value(set, get_bits(br, 4), 4, STREAM_ICSI);
        }
    } else {
        const unsigned last_band = std::min(cs.max_sfb, static_cast<std::uint8_t>(kMaxLtpSfb));
        for (unsigned sfb = 0; sfb < last_band; ++sfb) emit_bits_value(set, get_bit(br), 1, STREAM_ICSI);
    }
    return 0;
}

Status read_ics_info(SplitContext& ctx, BitReader& br, ChannelStream& cs, bool common_window) {
    StreamSet& set = *ctx.streams;
    const bool stat = ctx.settings.static_compression;
    const unsigned ics_reserved_bit = get_bit(br);
    if (ics_reserved_bit != 0) return kStatusBadSyntax;
    if (!stat) emit_bits_value(set, 0, 1, STREAM_ICSI);
    cs.window_sequence = static_cast<std::uint8_t>(get_bits(br, 2));
    emit_bits_value(set, cs.window_sequence, 2, STREAM_ICSI);
    cs.window_shape = static_cast<std::uint8_t>(get_bit(br));
    if (ctx.first_window_shape) emit_bits_value(set, cs.window_shape, 1, STREAM_ICSI);
    cs.scale_factor_grouping = 0;
    if (cs.window_sequence == EIGHT_SHORT_SEQUENCE) {
        cs.max_sfb = static_cast<std::uint8_t>(get_bits(br, 4));
        emit_bits_value(set, cs.max_sfb, 4, STREAM_ICSI);
        cs.scale_factor_grouping = static_cast<std::uint8_t>(get_bits(br, 7));
        emit_bits_value(set, cs.scale_factor_grouping, 7, STREAM_ICSI);
    } else {
        cs.max_sfb = static_cast<std::uint8_t>(get_bits(br, 6));
        emit_bits_value(set, cs.max_sfb, 6, STREAM_ICSI);
    }
    if (Status s = derive_window_grouping(cs, ctx.sf_index); s != 0) return s;
    cs.predictor_data_present = 0;
    if (cs.window_sequence == EIGHT_SHORT_SEQUENCE) return 0;
    cs.predictor_data_present = static_cast<std::uint8_t>(get_bit(br));
    emit_bits_value(set, cs.predictor_data_present, 1, STREAM_ICSI);
    if (!cs.predictor_data_present) return 0;
    if (ctx.object_type >= ER_OBJECT_START) return kStatusErrorResilience;
    if (ctx.object_type == MAIN_OBJECT) {
        const unsigned limit = std::min<unsigned>(cs.max_sfb, static_cast<unsigned>(pred_sfb_max_of(ctx.sf_index)));
        const unsigned predictor_reset = get_bit(br);
        emit_bits_value(set, predictor_reset, 1, STREAM_ICSI);
        if (predictor_reset) emit_bits_value(set, get_bits(br, 5), 5, STREAM_ICSI);
        for (unsigned sfb = 0; sfb < limit; ++sfb) emit_bits_value(set, get_bit(br), 1, STREAM_ICSI);
        return 0;
    }
    // Every other object type reads long-term prediction, one record per channel of a
    // common-window pair.
    const unsigned ltp_data_present = get_bit(br);
    emit_bits_value(set, ltp_data_present, 1, STREAM_ICSI);
    if (ltp_data_present) {
        if (Status s = read_ltp_data(ctx, br, cs); s != 0) return s;
    }
    if (common_window) {
        const unsigned ltp2_data_present = get_bit(br);
        emit_bits_value(set, ltp2_data_present, 1, STREAM_ICSI);
        if (ltp2_data_present) {
            if (Status s = read_ltp_data(ctx, br, cs); s != 0) return s;
        }
    }
    return 0;
}
