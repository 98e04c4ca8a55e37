// The channel elements: single channel and LFE elements, channel pair elements.
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"
#include "splitter/raw_data_block.h"
#include "splitter/splitter.h"

// SCE or LFE after its id (id_syn_ele tells which).
[[nodiscard]] Status read_single_channel_element(SplitContext& ctx, BitReader& br, BlockState& block,
                                                 std::uint8_t id_syn_ele);
// CPE after its id.
[[nodiscard]] Status read_channel_pair_element(SplitContext& ctx, BitReader& br, BlockState& block);
