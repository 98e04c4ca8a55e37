// Fill elements and their extension payloads, on the FAACStr stream.
#pragma once

#include "aac/bit_reader.h"
#include "splitter/splitter.h"

// Parses a fill element whose id has been read. `in_element` is set for the fill element
// that follows a channel element (the only place SBR data may stand); at block level SBR
// data is status 24. The caller has emitted the id.
[[nodiscard]] Status read_fill_element(SplitContext& ctx, BitReader& br, bool in_element);

// dynamic_range_info, read and dropped; returns the bytes it occupies with its extension type.
unsigned read_dynamic_range_info(BitReader& br);
