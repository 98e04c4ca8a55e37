// ics_info rebuild: window layout, MAIN_OBJECT prediction and LTP data, copied field by field in
// bitstream order; the window grouping is derived as the decoder derives it.
#include "rebuild/ics_info.h"

#include "aac/syntax.h"
#include "aac/aac_tables.h"
#include "aac/window_grouping.h"

namespace {

std::int32_t copy(FieldSource& src, BitSink& sink, unsigned width, int& bits) {
    return static_cast<std::int32_t>(copy_field(src, sink, width, bits));
}

int min_int(int a, int b) { return a < b ? a : b; }

}  // namespace


int write_ltp_data(DecompressContext& ctx, FieldSource& src, BitSink& sink) {
    const FrameState& st = ctx.state;
    int bits = 0;
    if (st.object_type == LD_OBJECT) {
        if (copy(src, sink, 1, bits) != 0) copy(src, sink, 10, bits);  // lag_update, lag
    } else {
        copy(src, sink, 11, bits);  // lag
    }
    copy(src, sink, 3, bits);  // coef
    if (st.window_sequence == EIGHT_SHORT_SEQUENCE) {
        for (int w = 0; w < st.num_windows; ++w) {
            if (copy(src, sink, 1, bits) != 0) {          // short_used
                if (copy(src, sink, 1, bits) != 0) {      // short_lag_present
                    copy(src, sink, 4, bits);             // short_lag
                }
            }
        }
    } else {
        const int last_band = min_int(st.max_sfb, kMaxLtpSfb);
        for (int sfb = 0; sfb < last_band; ++sfb) copy(src, sink, 1, bits);  // long_used
    }
    return bits;
}

int write_ics_info(DecompressContext& ctx, FieldSource& src, BitSink& sink) {
    FrameState& st = ctx.state;
    int bits = 0;
    if (ctx.settings.static_compression) {
        bits += static_cast<int>(bitsink_put(sink, 0, 1));  // ics_reserved_bit
    } else {
        copy(src, sink, 1, bits);
    }
    st.window_sequence = copy(src, sink, 2, bits);
    if (ctx.first_window_shape) {
        st.window_shape = copy(src, sink, 1, bits);
    } else {
        bits += static_cast<int>(bitsink_put(sink, static_cast<std::uint32_t>(st.window_shape), 1));
    }
    if (st.window_sequence == EIGHT_SHORT_SEQUENCE) {
        st.max_sfb = copy(src, sink, 4, bits);
        st.scale_factor_grouping = copy(src, sink, 7, bits);
    } else {
        st.max_sfb = copy(src, sink, 6, bits);
    }
    group_windows(st, st.sf_index, st.object_type == LD_OBJECT, st.frame_length);
    // Every later writer indexes its per-band arrays by max_sfb, so a max_sfb that the band
    // table does not have is refused here, where the limit is known.
    if (st.max_sfb > st.num_swb) return -1;
    st.predictor_data_present = 0;  // short windows carry no prediction data
    if (st.window_sequence != EIGHT_SHORT_SEQUENCE) {
        st.predictor_data_present = copy(src, sink, 1, bits);
        if (st.predictor_data_present) {
            if (st.object_type == MAIN_OBJECT) {
                if (copy(src, sink, 1, bits) != 0) copy(src, sink, 5, bits);  // predictor_reset, group
                const int limit = min_int(st.max_sfb, pred_sfb_max_of(st.sf_index));
                for (int sfb = 0; sfb < limit; ++sfb) copy(src, sink, 1, bits);  // prediction_used
            } else if (st.object_type < ER_OBJECT_START) {
                if (copy(src, sink, 1, bits) != 0) bits += write_ltp_data(ctx, src, sink);
                if (st.common_window) {
                    if (copy(src, sink, 1, bits) != 0) bits += write_ltp_data(ctx, src, sink);
                }
            } else if (!st.common_window) {
                if (copy(src, sink, 1, bits) != 0) bits += write_ltp_data(ctx, src, sink);
            }
        }
    }
    return source_ran_out(src) ? -1 : bits;
}

int write_sce_ics_info(DecompressContext& ctx, BitSink& sink) {
    ValueLine line;
    FieldSource src;
    if (!open_fields(ctx.blocks, STREAM_ICSI, line, src)) return 0;
    const int bits = write_ics_info(ctx, src, sink);
    close_fields(ctx.blocks, STREAM_ICSI, line);
    return bits;
}

void stop_wrong_ics_info(DecompressContext& ctx) {
    std::fprintf(ctx.out, "\n\tWrong ICSInfo structure! STOP!\n");
    ctx.frame_status = kStatusWrongIcsInfo;
}
