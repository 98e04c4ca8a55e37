// Compression: decodes an AAC file to WAV with the decoder library and splits every frame
// into the data-block streams in the same pass.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "frontend/options.h"

// compress_file's own results beside the status of the last frame: nothing could start
// (input, decoder library or an output could not be opened), and the 'static compression'
// stop on input with more than one channel, after which the process ends with status -1.
constexpr int kCompressCannotStart = 1;
constexpr int kCompressStaticStop = -1;
// Result of compress_file when an output could not be created or written (the reason is
// printed): the earlier outputs are as they were, and the process ends with status 1.
constexpr int kCompressOutputFailed = -2;

// The error code of one frame: the library's when it failed, else the splitter's status,
// else kStatusLengthMismatch when the splitter's bits, rounded up to bytes, differ from the
// bytes the library consumed; 0 for a good frame.
int frame_error_code(int library_error, int split_status, unsigned long split_bits, unsigned long library_bytes);

// Returns 0 on success; 1 when the input cannot be opened or the decoder cannot be
// initialised; kCompressStaticStop; kCompressOutputFailed; otherwise the error code of the
// last decode call. Messages go to err (standard error) and out (standard output) as the
// program prints them. The outputs are written under temporary names and take their own
// names together at the end, unless the run stopped or an output failed: then they are
// removed and the files of an earlier run stay as they were.
int compress_file(const std::string& input_name, const std::string& wav_name, Options& options, std::FILE* err,
                  std::FILE* out);
