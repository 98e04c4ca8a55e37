// Carrying one spectral codeword over from the QMDCT codeword stream into the frame: the
// codeword, its sign bits and escape sequences are decoded and written again.
#pragma once

#include <cstdint>

#include "rebuild/data_blocks.h"
#include "aac/bit_sink.h"

// Statuses of transcode_tuple.
constexpr int kTupleOk = 0;
constexpr int kTupleBadCodeword = 10;  // not a codeword of the book: the all-zero tuple is written
constexpr int kTupleNoBook = 11;       // no spectral data in this codebook number
constexpr int kTupleReservedBook = 12;

// One quadruple or pair of codebook cb (1..11; 16..31 coded as 11). Adds the bits written
// to `bits`; returns a status. Nothing is read or written for codebook 12 or numbers without
// a book. An invalid codeword consumes nothing and is written as the all-zero tuple.
int transcode_tuple(StreamReader& reader, int cb, BitSink& sink, int& bits);

// `tuples` tuples of codebook cb in a row, as that many transcode_tuple calls would write
// them (statuses are not reported; an invalid codeword is written as the all-zero tuple).
void transcode_tuples(StreamReader& reader, int cb, int tuples, BitSink& sink, int& bits);

// The escape sequence of a codebook 11 value v (16 or -16; other values pass unchanged).
// Returns the full value. The prefix is bounded so the escape word stays within 31 bits.
std::int32_t copy_escape(StreamReader& reader, std::int32_t v, BitSink& sink, int& bits);
