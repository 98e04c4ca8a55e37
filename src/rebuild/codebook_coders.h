// Carrying spectral codewords over from the QMDCT codeword stream into the frame: each
// codeword, its sign bits and escape sequences are decoded and written again.
#pragma once

#include <cstdint>

#include "aac/bit_sink.h"
#include "rebuild/data_blocks.h"

// How a run of tuples went; the numbers are the decoder library's for the same faults.
enum class TupleStatus : int {
    ok = 0,
    bad_codeword = 10,   // not a codeword of the book: the all-zero tuple is written instead
    no_book = 11,        // no spectral data in this codebook number: nothing read or written
    reserved_book = 12,  // codebook 12: nothing read or written
};

// `tuples` quadruples or pairs of codebook cb (1..11; 16..31 coded as 11), adding the bits
// written to `bits`. An invalid codeword consumes nothing and is written as the all-zero
// tuple, and the run goes on. Returns the first status other than ok.
TupleStatus transcode_tuples(StreamReader& reader, int cb, int tuples, BitSink& sink, int& bits);
