// raw_data_block: the element loop of one frame, the element limits the decoder library
// keeps, and the data stream element.
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"
#include "splitter/splitter.h"
#include "aac/syntax.h"


constexpr unsigned kMaxChannels = 64;
constexpr unsigned kMaxSyntaxElements = 48;

// Per-frame bookkeeping, reset at the start of every block.
struct BlockState {
    unsigned channels = 0;            // output channels so far
    unsigned channel_elements = 0;    // SCE, LFE and CPE elements so far
    unsigned elements = 0;            // every element so far (a PCE must come first)
    std::uint8_t first_syn_ele = 25;  // id of the first SCE or CPE, 25 while none
    unsigned lfe_count = 0;
};

[[nodiscard]] Status read_raw_data_block(SplitContext& ctx, BitReader& br, BlockState& block);

// data_stream_element after its id; returns the payload bytes.
unsigned read_data_stream_element(BitReader& br);
