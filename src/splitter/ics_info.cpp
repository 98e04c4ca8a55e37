// ics_info with the window grouping it implies, Main-profile prediction and LTP data.
#include "splitter/ics_info.h"

#include <algorithm>

#include "aac/codebooks.h"
#include "splitter/emit.h"
#include "aac/syntax.h"
#include "aac/window_grouping.h"


Status derive_window_grouping(ChannelStream& cs, std::uint8_t sf_index) {
    if (!group_windows(cs, sf_index, false, kFrameLength)) return kStatusBadSyntax;
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
