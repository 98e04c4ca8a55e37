// Coding the stored quantised values of one scale-factor band with its section codebook
// into the channel's codeword queue (FrameState codes/lengths/count).
#pragma once

#include <cstdint>

#include "rebuild/frame_state.h"
#include "aac/bit_sink.h"

// Largest magnitude encode_band codes in book 11: the largest escape of a valid stream.
constexpr std::int32_t kLargestEscapeMagnitude = 8191;

// Appends the entries of lines first..first+width-1 (codewords, sign bits, escapes) coded
// with codebook cb; returns the sum of the lengths appended. Books 0, 14, 15 append one
// empty placeholder; 12 and 13 append nothing; 16..31 are coded as 11. A value outside its
// book's range is clamped to the book's largest magnitude, keeping its sign. Lines outside
// the spectrum and entries beyond the queue's capacity are never touched.
int encode_band(FrameState& st, int cb, const std::int32_t* values, int first, int width);

// The same entries as encode_band, written at once through `batch` into `sink` (as
// flush_codeword_queue would write them from the queue).
void encode_band_bits(BitSink& sink, BitBatch& batch, int cb, const std::int32_t* values, int first, int width);

// Writes every queued entry of non-zero length; returns the bits written.
int flush_codeword_queue(const FrameState& st, BitSink& sink);
