// individual_channel_stream: the fixed order of one channel's fields.
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "splitter/splitter.h"

// Parses one channel into cs and spectrum (zeroed by the caller). With common_window the
// ics_info of cs has already been read for the pair.
[[nodiscard]] Status read_individual_channel_stream(SplitContext& ctx, BitReader& br, ChannelStream& cs,
                                                    bool common_window, std::int32_t* spectrum);
