// Single channel element header, global gain and channel pair element rebuild.
#include "rebuild/channel_elements.h"

#include "rebuild/channel_tools.h"
#include "rebuild/ics_info.h"
#include "rebuild/scale_factors.h"
#include "rebuild/section_data.h"
#include "aac/syntax.h"
#include "rebuild/spectral_writer.h"

namespace {

std::int32_t copy(FieldSource& src, BitSink& sink, unsigned width, int& bits) {
    return static_cast<std::int32_t>(copy_field(src, sink, width, bits));
}

}  // namespace

int write_sce_header(DecompressContext& ctx, BitSink& sink) {
    ValueLine line;
    FieldSource src;
    const bool has_data = open_fields(ctx.blocks, STREAM_STC, line, src);
    // In 'static compression' mode later frames have no STC data at all and reuse the first's.
    if (!has_data && (ctx.blocks.bits_present[STREAM_STC] || !ctx.settings.static_compression)) {
        return 0;
    }
    FrameState& st = ctx.state;
    if (ctx.first_block) {
        st.id_syn_ele = static_cast<std::int32_t>(take_field(src, 3));
        st.element_instance_tag = static_cast<std::int32_t>(take_field(src, 4));
        st.pulse_data_present = static_cast<std::int32_t>(take_field(src, 1));
        st.gain_control_data_present = static_cast<std::int32_t>(take_field(src, 1));
        st.next_element_id = static_cast<std::int32_t>(take_field(src, 3));
    }
    int bits = 0;
    bits += static_cast<int>(bitsink_put(sink, static_cast<std::uint32_t>(st.id_syn_ele), 3));
    bits += static_cast<int>(bitsink_put(sink, static_cast<std::uint32_t>(st.element_instance_tag), 4));
    if (ctx.settings.static_compression) ctx.first_block = 0;
    close_fields(ctx.blocks, STREAM_STC, line);
    return bits;
}

int write_global_gain(DecompressContext& ctx, BitSink& sink) {
    ValueLine line;
    FieldSource src;
    if (!open_fields(ctx.blocks, STREAM_GG, line, src)) return 0;
    int bits = 0;
    ctx.state.global_gain = copy(src, sink, 8, bits);
    close_fields(ctx.blocks, STREAM_GG, line);
    return bits;
}

namespace {

// Everything of one channel after its ics_info, up to (not including) spectral_data. The
// pair's pulse and gain-control flags are taken from STC but written as 0: the streams
// carry no pulse_data (the stored values hold the pulses) and no gain_control_data.
int write_channel_middle(DecompressContext& ctx, FieldSource& stc, BitSink& sink) {
    int bits = write_section_data(ctx, sink);
    bits += write_scale_factor_data(ctx, sink);
    ctx.state.pulse_data_present = static_cast<std::int32_t>(take_field(stc, 1));
    bits += write_pulse_absent(sink);
    bits += write_tns_data(ctx, sink);
    ctx.state.gain_control_data_present = static_cast<std::int32_t>(take_field(stc, 1));
    bits += write_gain_control_absent(sink);
    return bits;
}

// ltp_data_present of an error-resilient common-window pair, and ltp_data when set.
int write_er_ltp(DecompressContext& ctx, FieldSource& stc, FieldSource& icsi, BitSink& sink) {
    int bits = 0;
    if (copy(stc, sink, 1, bits) != 0) bits += write_ltp_data(ctx, icsi, sink);
    return bits;
}

}  // namespace

int write_cpe(DecompressContext& ctx, BitSink& sink, int bits_before) {
    FrameState& st = ctx.state;
    DataBlocks& blocks = ctx.blocks;
    st.channel_index = 1;
    ValueLine stc_line;
    FieldSource stc;
    if (!open_fields(blocks, STREAM_STC, stc_line, stc)) return 0;
    int c = 0;
    st.id_syn_ele = copy(stc, sink, 3, c);
    st.element_instance_tag = copy(stc, sink, 4, c);
    st.common_window = copy(stc, sink, 1, c);
    ValueLine icsi_line;
    FieldSource icsi;
    const bool has_icsi = open_fields(blocks, STREAM_ICSI, icsi_line, icsi);
    auto finish = [&]() {
        close_fields(blocks, STREAM_ICSI, icsi_line);
        close_fields(blocks, STREAM_STC, stc_line);
        return c;
    };
    if (!has_icsi) return finish();  // the element header is already written and counted
    auto ics_info = [&]() {
        const int n = write_ics_info(ctx, icsi, sink);
        if (n < 0) {
            stop_wrong_ics_info(ctx);
            return false;
        }
        c += n;
        return true;
    };
    const bool er_ltp = st.object_type >= ER_OBJECT_START;
    st.ms_mask_present = 0;
    if (st.common_window) {
        if (!ics_info()) return finish();
        st.ms_mask_present = copy(stc, sink, 2, c);
        if (st.ms_mask_present == 1) {
            for (int g = 0; g < st.num_window_groups; ++g)
                for (int sfb = 0; sfb < st.max_sfb; ++sfb) st.ms_used[g][sfb] = copy(stc, sink, 1, c);
        }
        if (er_ltp && st.predictor_data_present) c += write_er_ltp(ctx, stc, icsi, sink);
    }
    // First channel.
    c += write_global_gain(ctx, sink);
    if (!st.common_window && !ics_info()) return finish();
    c += write_channel_middle(ctx, stc, sink);
    const int qmdct_bits = blocks.bits_present[STREAM_QMDCT];
    c += write_spectral_data(ctx, sink, qmdct_bits, bits_before, LIST_QMDCT_0);
    // Second channel.
    st.channel_index = 2;
    if (st.common_window && er_ltp && st.predictor_data_present) c += write_er_ltp(ctx, stc, icsi, sink);
    c += write_global_gain(ctx, sink);
    if (!st.common_window && !ics_info()) return finish();
    c += write_channel_middle(ctx, stc, sink);
    // The id recorded after the pair ends the frame on the codeword path only.
    if (blocks.bits_present[STREAM_STC] && !qmdct_bits) take_field(stc, 3);
    c += write_spectral_data(ctx, sink, qmdct_bits, bits_before + c,
                             qmdct_bits ? LIST_QMDCT_0 : LIST_QMDCT_1);
    if (ctx.settings.static_compression) ctx.first_window_shape = 0;
    return finish();
}
