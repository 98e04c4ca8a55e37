// section_data of one channel: the codebook of every run of scale-factor bands.
#pragma once

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

// Copies section_data from the SBN stream and records the sections and band codebooks in
// ctx.state. Returns the bits written (0 when SBN has nothing for the channel). A 121st
// section in a group, or a section reaching band 120, stops the writer: the bits copied so
// far stay, the group keeps the sections before the bad one, and ctx.frame_status is set.
int write_section_data(DecompressContext& ctx, BitSink& sink);
