// spectral_data: quantised values decoded into the channel's spectrum, every codeword,
// sign bit and escape sequence on the QMDCT stream; and the value line between the cut-offs.
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "streams/stream_set.h"

// Decodes the sections of cs into spectrum[0..1024) (zeroed by the caller).
[[nodiscard]] Status read_spectral_data(StreamSet& set, BitReader& br, const ChannelStream& cs,
                                        std::int32_t* spectrum);

// The first and one-past-last spectral line of the value line: a high cut-off of 0.0
// stands for half the sampling rate, a low cut-off not below the high one for 0.0. sf_index must be 0..11 (frames of other rates never get here).
void value_line_range(double cut_lo_hz, double cut_hi_hz, std::uint8_t sf_index, unsigned& start, unsigned& end);

// Writes spectrum[start..end) on value list `list` and ends the line.
void emit_spectral_value_line(StreamSet& set, const std::int32_t* spectrum, unsigned start, unsigned end, int list);
