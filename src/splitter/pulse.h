// pulse_data: parsed (not emitted) and folded into the quantised values after spectral data.
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"

[[nodiscard]] Status read_pulse_data(BitReader& br, ChannelStream& cs);

// Adds the pulses to spectrum[0..frame_length): offsets accumulate from the start band, a
// positive value grows by the amplitude, any other value (zero too) shrinks by it.
[[nodiscard]] Status apply_pulses(const ChannelStream& cs, std::int32_t* spectrum, unsigned frame_length);
