// Pulse data: the stored values carry the pulses, the QMDCT bits the codewords without them.
#include "splitter/pulse.h"

Status read_pulse_data(BitReader& br, ChannelStream& cs) {
    PulseInfo& p = cs.pulse;
    p.number_pulse = static_cast<std::uint8_t>(get_bits(br, 2));
    p.pulse_start_sfb = static_cast<std::uint8_t>(get_bits(br, 6));
    if (p.pulse_start_sfb > cs.num_swb) return kStatusBandCount;
    for (unsigned i = 0; i <= p.number_pulse; ++i) {
        p.pulse_offset[i] = static_cast<std::uint8_t>(get_bits(br, 5));
        p.pulse_amp[i] = static_cast<std::uint8_t>(get_bits(br, 4));
    }
    return 0;
}

Status apply_pulses(const ChannelStream& cs, std::int32_t* spectrum, unsigned frame_length) {
    const PulseInfo& p = cs.pulse;
    unsigned k = cs.swb_offset[p.pulse_start_sfb];
    for (unsigned i = 0; i <= p.number_pulse; ++i) {
        k += p.pulse_offset[i];
        if (k >= frame_length) return kStatusIndexRange;
        if (spectrum[k] > 0) {
            spectrum[k] += p.pulse_amp[i];
        } else {
            spectrum[k] -= p.pulse_amp[i];
        }
    }
    return 0;
}
