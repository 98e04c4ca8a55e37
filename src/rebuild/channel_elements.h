// The channel elements of a rebuilt frame: the single channel element header, global gain,
// and the whole channel pair element.
#pragma once

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

// id_syn_ele and element_instance_tag of a mono frame; takes (while first_block) the five
// STC fields of the frame. Returns 7, or 0 when STC has nothing for the frame.
int write_sce_header(DecompressContext& ctx, BitSink& sink);

// global_gain of one channel from GG; returns 8, or 0 when GG is empty.
int write_global_gain(DecompressContext& ctx, BitSink& sink);

// The channel pair element with both channels' spectral data (and, on the codeword path,
// the frame's end). `bits_before` = bits in the frame before the pair. Returns the bits
// written. A malformed ics_info prints "Wrong ICSInfo structure! STOP!" and sets
// ctx.frame_status.
int write_cpe(DecompressContext& ctx, BitSink& sink, int bits_before);
