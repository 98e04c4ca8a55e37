// What closes a rebuilt frame: fill elements, the END id and byte alignment.
#pragma once

#include "aac/bit_sink.h"

// Spends `budget` bits on fill elements of zero bytes (each 7 + 8c bits, c at most 270,
// escape count included in c). Returns the part of the budget left over (0..6).
int write_fill_elements(BitSink& sink, int budget);

// Zero bits up to the next byte boundary of the sink; returns how many.
int write_byte_alignment(BitSink& sink);

// Ends a frame that has `room` bits left before its recorded length: fill elements that use
// the room, the END id and byte alignment. With less room than the smallest fill element
// (7 bits) plus END, only END and alignment are written. Returns the bits written.
int write_fill_to_length(BitSink& sink, int room);
