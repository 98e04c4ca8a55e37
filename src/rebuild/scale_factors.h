// scale_factor_data of one channel: a checked copy of the scale-factor codewords.
#pragma once

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

// Copies one scale-factor codeword bit by bit (bits form: one bit per read; values form:
// one value per bit) and returns its index 0..120, or -1 when 19 bits form no codeword.
// Adds the bits copied to `bits`.
int copy_scf_codeword(FieldSource& src, BitSink& sink, int& bits);

// Copies scale_factor_data from the SCF stream. Returns the bits written (0 when SCF has
// nothing for the channel). A scale factor leaving 0..255 stops the writer with the bits
// copied so far and sets ctx.frame_status.
int write_scale_factor_data(DecompressContext& ctx, BitSink& sink);
