// individual_channel_stream: global gain, ics_info, sections, scale factors, the three
// optional tools, spectral data, then the pulses folded into the values.
#include "splitter/ics.h"

#include "splitter/emit.h"
#include "splitter/gain_control.h"
#include "splitter/ics_info.h"
#include "splitter/pulse.h"
#include "splitter/scale_factors.h"
#include "splitter/section_data.h"
#include "splitter/spectral_data.h"
#include "splitter/tns.h"

Status read_individual_channel_stream(SplitContext& ctx, BitReader& br, ChannelStream& cs, bool common_window,
                                      std::int32_t* spectrum) {
    StreamSet& set = *ctx.streams;
    const bool stat = ctx.settings.static_compression;
    cs.global_gain = static_cast<std::uint8_t>(get_bits(br, 8));
    emit_bits_value(set, cs.global_gain, 8, STREAM_GG);
    emit_eol(set, STREAM_GG);
    if (!common_window) {
        if (Status s = read_ics_info(ctx, br, cs, false); s != 0) return s;
    }
    if (Status s = read_section_data(set, br, cs); s != 0) return s;
    emit_eol(set, STREAM_SBN);
    if (Status s = read_scale_factor_data(set, br, cs); s != 0) return s;
    emit_eol(set, STREAM_SCF);

    cs.pulse_data_present = static_cast<std::uint8_t>(get_bit(br));
    if (ctx.first_block) emit_bits_value(set, cs.pulse_data_present, 1, STREAM_STC);
    if (cs.pulse_data_present) {
        ++ctx.pulse_channels;
        if (Status s = read_pulse_data(br, cs); s != 0) return s;
    }
    cs.tns_data_present = static_cast<std::uint8_t>(get_bit(br));
    const bool emit_tns = !stat || ctx.settings.static_tns;
    if (emit_tns) emit_bits_value(set, cs.tns_data_present, 1, STREAM_TNS);
    if (cs.tns_data_present) read_tns_data(set, br, cs, emit_tns);
    if (emit_tns) emit_eol(set, STREAM_TNS);
    cs.gain_control_data_present = static_cast<std::uint8_t>(get_bit(br));
    if (ctx.first_block) emit_bits_value(set, cs.gain_control_data_present, 1, STREAM_STC);
    if (Status s = gain_control_status(cs); s != 0) return s;

    if (Status s = read_spectral_data(set, br, cs, spectrum); s != 0) return s;
    if (cs.pulse_data_present) {
        if (cs.window_sequence == EIGHT_SHORT_SEQUENCE) return kStatusPulseShort;
        if (Status s = apply_pulses(cs, spectrum, kFrameLength); s != 0) return s;
    }
    return 0;
}
