// WAV (RIFF/WAVE) output of the decoded audio: plain or extensible header, four sample formats.
#pragma once

#include <cstdint>
#include <cstdio>

struct WavOutput {
    std::uint32_t output_format = 1;  // 1 int16, 2 int24, 3 int32, 4 float
    std::FILE* file = nullptr;
    std::uint32_t file_type = 1;      // 1 = WAV (header); other: bare samples
    std::uint32_t sample_rate = 0;
    std::uint32_t bits_per_sample = 16;
    std::uint32_t channels = 0;
    std::uint64_t total_samples = 0;  // all channels counted
    std::uint32_t channel_mask = 0;   // non-zero: extensible header and 6-channel reordering
    bool is_stdout = false;
};

// Returns a new output or null (format not 1..4, or the file cannot be opened). Path "-"
// writes to the standard output in binary mode.
WavOutput* wav_open(const char* path, std::uint32_t sample_rate, std::uint32_t channels, std::uint32_t output_format,
                    std::uint32_t file_type, std::uint32_t channel_mask);
// Appends `samples` samples (all channels counted) starting `offset` samples into buffer
// (int16 for format 1, 4-byte samples otherwise). May reorder 6-channel groups in place.
// Returns the samples written.
std::uint64_t wav_write(WavOutput* wav, void* buffer, std::uint64_t samples, std::uint64_t offset);
// Rewrites the header with the final sizes (WAV only), closes and releases. Returns 0, or 1
// when the header could not be rewritten (an unseekable output such as a pipe).
int wav_close(WavOutput* wav);

int wav_write_header(WavOutput* wav);
int wav_write_extensible_header(WavOutput* wav);
