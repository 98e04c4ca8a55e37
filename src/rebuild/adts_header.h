// The two writers that open a rebuilt frame: the ADTS header of every frame and, in the
// first frame only, the file's first fill element (the FAACStr stream).
#pragma once

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

// Writes the ADTS header from the ADTS stream and records its fields in ctx.state. Returns
// 56, 72 with the CRC word, or 0 when the ADTS stream has nothing for this frame.
int write_adts_header(DecompressContext& ctx, BitSink& sink);

// Writes the first fill element from the FAACStr stream; returns the bits written, 0 when
// the stream is empty. Whatever the stream holds, the result is a valid fill element.
int write_faacstr_block(DecompressContext& ctx, BitSink& sink);

// Writes the 56 header bits (no CRC word) from the state; returns 56.
int rewrite_adts_header(BitSink& sink, const FrameState& state);
