// The sliding 4608-byte window through which compression reads its AAC input, and the
// ADTS pre-scan that counts the frames for the file information.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr long kInputWindowSize = 4608;

struct InputBuffer {
    long fill_count = 0;   // bytes at the front not yet consumed
    long consumed = 0;     // bytes consumed at the front since the last refill
    long file_offset = 0;  // bytes of the file consumed so far, a skipped tag included
    std::uint8_t window[kInputWindowSize] = {};
    int at_end = 0;        // a read returned fewer bytes than asked
    std::FILE* file = nullptr;
};

// Marks n bytes at the front as consumed (n is clamped to the bytes held).
void advance_buffer(InputBuffer& buffer, long n);
// Moves the unconsumed bytes to the front, tops the window up from the file, and cuts the
// input at an ID3v1, Lyrics3 or APE tag at the front. Returns 1.
int fill_buffer(InputBuffer& buffer);
// Reads the window afresh from `offset` of the file.
void reload_buffer(InputBuffer& buffer, long offset);

struct AdtsScan {
    long frames = 0;
    int bitrate = 0;       // kbit/s
    float duration = 0.f;  // seconds
};
// Walks the ADTS frames from the front of the window (consuming it).
AdtsScan scan_adts(InputBuffer& buffer);

extern const unsigned kAdtsSampleRates[16];
