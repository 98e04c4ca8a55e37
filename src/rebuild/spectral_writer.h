// spectral_data() of one channel in a rebuilt frame: codewords carried over from the
// QMDCT codeword stream, or the stored quantised values coded afresh with the section
// codebooks.
#pragma once

#include <cstdint>

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

// Writes the spectral data of the current channel (ctx.state.channel_index) and returns the
// bits accounted for. bits_present: 1 = codeword path (QMDCT as bits), 0 = value path.
// bits_before: bits already in the frame (codeword path: the frame end pads up to
// aac_frame_length). slot: LIST_QMDCT_0 or LIST_QMDCT_1 (value path).
int write_spectral_data(DecompressContext& ctx, BitSink& sink, int bits_present, int bits_before, int slot);
