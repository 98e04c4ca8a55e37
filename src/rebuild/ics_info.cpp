// ics_info rebuild: window layout, MAIN_OBJECT prediction and LTP data, copied field by field in
// bitstream order; the window grouping is derived as the decoder derives it.
#include "rebuild/ics_info.h"

#include "aac/syntax.h"
#include "aac/aac_tables.h"

namespace {

std::int32_t copy(FieldSource& src, BitSink& sink, unsigned width, int& bits) {
    return static_cast<std::int32_t>(copy_field(src, sink, width, bits));
}

int min_int(int a, int b) { return a < b ? a : b; }

}  // namespace

int compute_window_grouping(FrameState& st) {
    const bool known_rate = st.sf_index >= 0 && st.sf_index < 12;
    if (st.window_sequence != EIGHT_SHORT_SEQUENCE) {
        st.num_windows = 1;
        st.num_window_groups = 1;
        st.window_group_length[0] = 1;
        const SwbTable* table = nullptr;
        if (known_rate) table = st.object_type == LD_OBJECT ? &kSwb_long512[st.sf_index] : &kSwb_long1024[st.sf_index];
        st.num_swb = table != nullptr ? table->num_swb : 0;
        for (int i = 0; i < st.num_swb; ++i) {
            st.swb_offset[i] = table->offsets[i];
            st.sect_sfb_offset[0][i] = table->offsets[i];
        }
        st.swb_offset[st.num_swb] = st.frame_length;
        st.sect_sfb_offset[0][st.num_swb] = st.frame_length;
        return 0;
    }
    st.num_windows = 8;
    st.num_window_groups = 1;
    st.window_group_length[0] = 1;
    const SwbTable* table = known_rate ? &kSwb_short128[st.sf_index] : nullptr;
    st.num_swb = table != nullptr ? table->num_swb : 0;
    for (int i = 0; i < st.num_swb; ++i) st.swb_offset[i] = table->offsets[i];
    const int window_length = st.frame_length / 8;
    st.swb_offset[st.num_swb] = window_length;
    for (int i = 0; i < 7; ++i) {
        if ((st.scale_factor_grouping >> (6 - i)) & 1) {
            st.window_group_length[st.num_window_groups - 1] += 1;
        } else {
            st.num_window_groups += 1;
            st.window_group_length[st.num_window_groups - 1] = 1;
        }
    }
    for (int g = 0; g < st.num_window_groups; ++g) {
        int offset = 0;
        for (int i = 0; i < st.num_swb; ++i) {
            const int width = st.swb_offset[i + 1] - st.swb_offset[i];
            st.sect_sfb_offset[g][i] = offset;
            offset += width * st.window_group_length[g];
        }
        st.sect_sfb_offset[g][st.num_swb] = offset;
    }
    return 0;
}

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
    compute_window_grouping(st);
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
    ctx.stop_status = 1;
}
