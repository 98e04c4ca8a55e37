// WAV (RIFF/WAVE) output of the decoded audio: plain or extensible header, four sample formats.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "streams/output_file.h"

struct WavOutput {
    std::uint32_t output_format = 1;  // 1 int16, 2 int24, 3 int32, 4 float
    OutputFile out;                   // a temporary until committed; a failed write stays in out.error
    std::uint32_t file_type = 1;      // 1 = WAV (header); other: bare samples
    std::uint32_t sample_rate = 0;
    std::uint32_t bits_per_sample = 16;
    std::uint32_t channels = 0;
    std::uint64_t total_samples = 0;  // all channels counted
    std::uint32_t channel_mask = 0;   // non-zero: extensible header and 6-channel reordering
    bool is_stdout = false;
    // Where the header starts in the stream, for the rewrite at close; -1 when the stream
    // cannot be repositioned there (a pipe, or a standard output opened for appending).
    std::int64_t header_offset = -1;
    std::vector<std::uint8_t> bytes;  // conversion buffer, reused by every write
    std::vector<std::uint8_t> file_buffer;  // output gathered for one large write
    std::size_t buffered = 0;
};

// Returns a new output or null (format not 1..4, or the file cannot be opened: then *error,
// when given, is the system's reason, or 0 for a refused format). A path whose first
// character is '-' writes to the standard output in binary mode. A named file is written
// under a temporary name and takes its own name only when committed.
WavOutput* wav_open(const char* path, std::uint32_t sample_rate, std::uint32_t channels, std::uint32_t output_format,
                    std::uint32_t file_type, std::uint32_t channel_mask, int* error = nullptr);
// Appends `samples` samples (all channels counted) starting `offset` samples into buffer
// (int16 for format 1, 4-byte samples otherwise). May reorder 6-channel groups in place.
// Returns the samples written.
std::uint64_t wav_write(WavOutput* wav, void* buffer, std::uint64_t samples, std::uint64_t offset);
// Writes out what is buffered, rewrites the header with the final sizes (WAV only) and closes
// the file; a temporary keeps its temporary name until commit_output(wav->out). Returns 0,
// or 1 when the header could not be rewritten (an unseekable output such as a pipe: the
// provisional header and all samples stay as written). A failed write, flush or close is
// in wav->out.error.
int wav_finish(WavOutput* wav);
// Removes a temporary that was not committed and releases the record.
void wav_release(WavOutput* wav);
// wav_finish, commit and release. Returns 0, or 1 when the header could not be rewritten
// or anything failed to be written.
int wav_close(WavOutput* wav);

// Write the 44-byte plain or 68-byte extensible header at the output's current position from
// the record's fields. Return 0, or 1 when the header was not written in full.
int wav_write_header(WavOutput* wav);
int wav_write_extensible_header(WavOutput* wav);
