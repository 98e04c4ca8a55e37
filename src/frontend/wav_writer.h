// WAV (RIFF/WAVE) output of the decoded audio: 16-bit PCM, with a plain header or, for a
// channel mask, the extensible one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "streams/output_file.h"

struct WavOutput {
    OutputFile out;  // a temporary until committed; a failed write stays in out.error
    std::uint32_t sample_rate = 0;
    std::uint32_t channels = 0;
    std::uint64_t total_samples = 0;  // all channels counted
    std::uint32_t channel_mask = 0;   // non-zero: extensible header and 6-channel reordering
    // Where the header starts in the stream, for the rewrite at close; -1 when the stream
    // cannot be repositioned there (a pipe, or a standard output opened for appending).
    std::int64_t header_offset = -1;
    std::vector<std::int16_t> reordered;    // 6-channel groups in the mask's order
    std::vector<std::uint8_t> file_buffer;  // output gathered for one large write
    std::size_t buffered = 0;
};

// Returns a new output with its provisional header written, or null (the file cannot be
// opened: then *error, when given, is the system's reason). A path whose first character is
// '-' writes to the standard output in binary mode. A named file is written under a
// temporary name and takes its own name only when committed.
WavOutput* wav_open(const char* path, std::uint32_t sample_rate, std::uint32_t channels, std::uint32_t channel_mask,
                    int* error = nullptr);
// Appends `count` interleaved samples (all channels counted). Returns the samples written.
std::uint64_t wav_write(WavOutput* wav, const std::int16_t* samples, std::uint64_t count);
// Writes out what is buffered, rewrites the header with the final sizes and closes the file;
// a temporary keeps its temporary name until commit_output(wav->out). Returns 0, or 1 when
// the header could not be rewritten (an unseekable output such as a pipe: the provisional
// header and all samples stay as written). A failed write, flush or close is in
// wav->out.error.
int wav_finish(WavOutput* wav);
// Removes a temporary that was not committed and releases the record.
void wav_release(WavOutput* wav);
