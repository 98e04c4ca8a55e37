// scale_factor_data: scale-factor, intensity and noise codewords on the SCF stream, bit by bit.
#pragma once

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "streams/stream_set.h"

[[nodiscard]] Status read_scale_factor_data(StreamSet& set, BitReader& br, const ChannelStream& cs);
