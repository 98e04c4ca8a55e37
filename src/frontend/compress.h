// Compression: decodes an AAC file to WAV with the decoder library and splits every frame
// into the data-block streams in the same pass.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "frontend/options.h"

// How a compression ended; the program's exit status follows from it.
enum CompressResult : int {
    COMPRESS_OK = 0,
    // Nothing is kept: the input, the decoder library or an output could not be opened or
    // written, or not even the first frame decoded (the input is not AAC).
    COMPRESS_FAILED,
    // A frame the decoder refused ended the run: the outputs hold the frames before it.
    COMPRESS_STOPPED_EARLY,
    // 'static compression' met input with more than one channel; nothing is kept.
    COMPRESS_STATIC_STOP,
};

// The error code of one frame: the library's when it failed, else the splitter's status,
// else kStatusLengthMismatch when the splitter's bits, rounded up to bytes, differ from the
// bytes the library consumed; 0 for a good frame.
int frame_error_code(int library_error, int split_status, unsigned long split_bits, unsigned long library_bytes);

// Compresses one file. Messages go to err (standard error) and out (standard output) as the
// program prints them. The outputs are written under temporary names and take their own
// names together at the end, also after a refused frame; on any other stop they are removed
// and the files of an earlier run stay as they were.
CompressResult compress_file(const std::string& input_name, const std::string& wav_name, Options& options,
                             std::FILE* err, std::FILE* out);
