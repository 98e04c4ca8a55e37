// Coding the stored quantised values of one scale-factor band with its section codebook.
#pragma once

#include <cstdint>

#include "aac/bit_sink.h"

// Writes the codewords, sign bits and escapes of lines first..first+width-1 coded with
// codebook cb through `batch` into `sink`. Books 0, 12..15 write nothing; 16..31 are coded
// as 11. A value outside its book's range is clamped to the book's largest magnitude
// (book 11: kMaxEscapeMagnitude), keeping its sign. Lines past the spectrum's 1024 are never read.
void encode_band_bits(BitSink& sink, BitBatch& batch, int cb, const std::int32_t* values, int first, int width);
