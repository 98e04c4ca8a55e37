// tns_data: every field on the TNS stream, widths by window type.
#pragma once

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "streams/stream_set.h"

// Reads a channel's tns_data; with `emit` clear the fields are read and dropped.
void read_tns_data(StreamSet& set, BitReader& br, const ChannelStream& cs, bool emit);
