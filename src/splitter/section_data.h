// section_data: the codebook of every run of scale-factor bands, on the SBN stream.
#pragma once

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "streams/stream_set.h"

[[nodiscard]] Status read_section_data(StreamSet& set, BitReader& br, ChannelStream& cs);
