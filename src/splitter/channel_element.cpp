// Channel elements on the STC stream, their channels' value lines, and the fill element
// that may follow a channel element (where SBR data stands).
#include "splitter/channel_element.h"

#include <cstring>

#include "splitter/emit.h"
#include "splitter/fill_element.h"
#include "splitter/ics.h"
#include "splitter/ics_info.h"
#include "splitter/spectral_data.h"

namespace {

// The element limits the decoder library checks before it reads an element, and the
// element kind of each position, which must not change from frame to frame.
Status check_element(SplitContext& ctx, const BlockState& block, std::uint8_t id_syn_ele, unsigned channels) {
    if (block.channels + channels > kMaxChannels) return kStatusChannelCount;
    if (block.channel_elements + 1 > kMaxSyntaxElements) return kStatusElementCount;
    const std::uint8_t known = ctx.element_id[block.channel_elements];
    if (known != 255 && known != id_syn_ele) return kStatusConfigChange;
    std::uint8_t& output = ctx.element_output_channels[block.channel_elements];
    if (id_syn_ele == ID_CPE && output != 0 && output != 2) return kStatusConfigChange;
    return 0;
}

void end_element(SplitContext& ctx, BlockState& block, std::uint8_t id_syn_ele, unsigned channels) {
    ctx.element_id[block.channel_elements] = id_syn_ele;
    ctx.element_output_channels[block.channel_elements] = static_cast<std::uint8_t>(channels);
    block.channels += channels;
    ++block.channel_elements;
}

// A fill element right after a channel element belongs to it and is read here. While the
// file's first fill element is still open its id goes to FAACStr too, so that stream
// always begins with the id of the file's first fill element.
Status read_trailing_fill(SplitContext& ctx, BitReader& br) {
    skip_bits(br, 3);
    ++ctx.late_fill_elements;
    if (!ctx.fill_values_done) emit_bits_value(*ctx.streams, ID_FIL, 3, STREAM_FAACSTR);
    return read_fill_element(ctx, br, true);
}

}  // namespace

Status read_single_channel_element(SplitContext& ctx, BitReader& br, BlockState& block, std::uint8_t id_syn_ele) {
    if (Status s = check_element(ctx, block, id_syn_ele, 1); s != 0) return s;
    StreamSet& set = *ctx.streams;
    const unsigned start = ctx.value_start;
    const unsigned end = ctx.value_end;
    const std::uint32_t element_instance_tag = get_bits(br, 4);
    if (ctx.first_block) emit_bits_value(set, element_instance_tag, 4, STREAM_STC);
    ChannelStream& cs = ctx.channel[0];
    std::int32_t* spectrum = ctx.spectrum[0];
    std::memset(spectrum, 0, sizeof ctx.spectrum[0]);
    if (Status s = read_individual_channel_stream(ctx, br, cs, false, spectrum); s != 0) return s;
    emit_spectral_value_line(set, spectrum, start, end, LIST_QMDCT_0);
    if (ctx.settings.static_compression) ctx.first_window_shape = 0;
    const std::uint32_t next = show_bits(br, 3);
    if (ctx.first_block) emit_bits_value(set, next, 3, STREAM_STC);
    if (next == ID_FIL) {
        if (Status s = read_trailing_fill(ctx, br); s != 0) return s;
    }
    end_element(ctx, block, id_syn_ele, 1);
    return 0;
}

Status read_channel_pair_element(SplitContext& ctx, BitReader& br, BlockState& block) {
    if (Status s = check_element(ctx, block, ID_CPE, 2); s != 0) return s;
    StreamSet& set = *ctx.streams;
    const unsigned start = ctx.value_start;
    const unsigned end = ctx.value_end;
    emit_bits_value(set, get_bits(br, 4), 4, STREAM_STC);  // element_instance_tag
    const unsigned common_window = get_bit(br);
    emit_bits_value(set, common_window, 1, STREAM_STC);
    ChannelStream& cs0 = ctx.channel[0];
    ChannelStream& cs1 = ctx.channel[1];
    if (common_window) {
        if (Status s = read_ics_info(ctx, br, cs0, true); s != 0) return s;
        const std::uint32_t ms_mask_present = get_bits(br, 2);
        emit_bits_value(set, ms_mask_present, 2, STREAM_STC);
        if (ms_mask_present == 1) {
            for (unsigned g = 0; g < cs0.num_window_groups; ++g) {
                for (unsigned sfb = 0; sfb < cs0.max_sfb; ++sfb) emit_bits_value(set, get_bit(br), 1, STREAM_STC);
            }
        }
        cs1 = cs0;
    }
    std::memset(ctx.spectrum, 0, sizeof ctx.spectrum);
    if (Status s = read_individual_channel_stream(ctx, br, cs0, common_window != 0, ctx.spectrum[0]); s != 0) return s;
    emit_spectral_value_line(set, ctx.spectrum[0], start, end, LIST_QMDCT_0);
    if (Status s = read_individual_channel_stream(ctx, br, cs1, common_window != 0, ctx.spectrum[1]); s != 0) return s;
    emit_spectral_value_line(set, ctx.spectrum[1], start, end, LIST_QMDCT_1);
    emit_bits(set, ID_END, 3, STREAM_STC);  // every pair closes its STC part with a 7
    if (show_bits(br, 3) == ID_FIL) {
        if (Status s = read_trailing_fill(ctx, br); s != 0) return s;
    }
    if (ctx.settings.static_compression) ctx.first_window_shape = 0;
    end_element(ctx, block, ID_CPE, 2);
    return 0;
}
