// ics_info: window sequence, shape, max_sfb and grouping on the ICSI stream, the window
// grouping derived from them, and the prediction data of Main and LTP streams.
#pragma once

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "splitter/splitter.h"

// Derives num_windows, groups, num_swb and the band offsets from window_sequence,
// scale_factor_grouping and the sampling frequency index.
[[nodiscard]] Status derive_window_grouping(ChannelStream& cs, std::uint8_t sf_index);

[[nodiscard]] Status read_ics_info(SplitContext& ctx, BitReader& br, ChannelStream& cs, bool common_window);

// ltp_data of one LTP record (its data_present flag has been read).
[[nodiscard]] Status read_ltp_data(SplitContext& ctx, BitReader& br, const ChannelStream& cs);
