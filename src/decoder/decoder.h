// The contract with the AAC decoder library (libfaad): configuration, initialisation,
// frame decoding. The texts of its error codes are the program's own (aac/status.h).
#pragma once

#include <cstddef>
#include <cstdint>

struct DecoderHandle {
    void* library = nullptr;  // the library's instance (NeAACDecHandle)
};

struct FrameInfo {
    unsigned long bytesconsumed = 0;
    unsigned long samples = 0;
    std::uint8_t channels = 0;
    std::uint8_t error = 0;
    unsigned long samplerate = 0;
    std::uint8_t num_lfe_channels = 0;
    std::uint8_t sbr = 0;  // 1: the frame carried SBR data, which the library applied
    std::uint8_t ps = 0;   // non-zero: the frame carried parametric stereo data
};

// Opens the library and configures it: object type 2, 16-bit output, no down-mix, current
// ADTS format, implicit SBR not up-sampled. Returns false when the library cannot be opened.
bool decoder_open(DecoderHandle& handle);
// Initialises on the window; returns the header bytes to skip (>= 0) or a negative value.
long decoder_init(DecoderHandle& handle, std::uint8_t* data, unsigned long size, unsigned long& sample_rate,
                  std::uint8_t& channels);
// Decodes one frame; returns its 16-bit samples or null when the frame failed.
const std::int16_t* decoder_decode(DecoderHandle& handle, FrameInfo& info, std::uint8_t* data, unsigned long size);
void decoder_close(DecoderHandle& handle);
// The sample rate the library assumes for input without a header.
unsigned long decoder_default_sample_rate(DecoderHandle& handle);

