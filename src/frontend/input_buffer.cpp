// Input window and ADTS pre-scan.
#include "frontend/input_buffer.h"

#include <cstring>

#include "aac/syntax.h"

void advance_buffer(InputBuffer& buffer, long n) {
    if (n > buffer.fill_count) n = buffer.fill_count;
    if (n < 0) n = 0;
    buffer.file_offset += n;
    buffer.consumed = n;
    buffer.fill_count -= n;
}

int fill_buffer(InputBuffer& buffer) {
    if (buffer.consumed <= 0) return 1;
    if (buffer.fill_count > 0)
        std::memmove(buffer.window, buffer.window + buffer.consumed, static_cast<std::size_t>(buffer.fill_count));
    if (!buffer.at_end) {
        const std::size_t want = static_cast<std::size_t>(buffer.consumed);
        const std::size_t got = std::fread(buffer.window + buffer.fill_count, 1, want, buffer.file);
        if (got < want) buffer.at_end = 1;
        buffer.fill_count += static_cast<long>(got);
    }
    buffer.consumed = 0;
    // A tag at the front ends the input: it is never handed to the decoder.
    const std::uint8_t* w = buffer.window;
    if ((buffer.fill_count > 3 && std::memcmp(w, "TAG", 3) == 0) ||
        (buffer.fill_count > 11 && std::memcmp(w, "LYRICSBEGIN", 11) == 0) ||
        (buffer.fill_count > 8 && std::memcmp(w, "APETAGEX", 8) == 0))
        buffer.fill_count = 0;
    return 1;
}

void reload_buffer(InputBuffer& buffer, long offset) {
    std::memset(buffer.window, 0, sizeof buffer.window);
    buffer.consumed = 0;
    buffer.file_offset = offset;
    buffer.fill_count = 0;
    buffer.at_end = 0;
    if (std::fseek(buffer.file, offset, SEEK_SET) != 0) {
        buffer.at_end = 1;
        return;
    }
    const std::size_t got = std::fread(buffer.window, 1, sizeof buffer.window, buffer.file);
    buffer.fill_count = static_cast<long>(got);
    if (got < sizeof buffer.window) buffer.at_end = 1;
}

AdtsScan scan_adts(InputBuffer& buffer) {
    AdtsScan scan;
    unsigned sample_rate = 0;
    double total = 0;
    for (;;) {
        fill_buffer(buffer);
        const std::uint8_t* b = buffer.window;
        if (buffer.fill_count < 8) break;
        if (!is_adts_sync(b, 2)) break;
        if (scan.frames == 0) sample_rate = static_cast<unsigned>(kSamplingFrequencies[(b[2] & 0x3C) >> 2]);
        const long frame_length = static_cast<long>(adts_frame_length(b));
        total += frame_length;
        // A length that does not fit, or that cannot even hold the header, ends the scan
        // (a length of 0 would never move the window).
        if (frame_length > buffer.fill_count || frame_length < 7) break;
        advance_buffer(buffer, frame_length);
        ++scan.frames;
    }
    const float frames_per_second = static_cast<float>(sample_rate) / 1024.0f;
    const float bytes_per_frame =
        scan.frames != 0 ? static_cast<float>(total) / static_cast<float>(scan.frames * 1000) : 0.0f;
    scan.bitrate = static_cast<int>(8.0f * bytes_per_frame * frames_per_second + 0.5f);
    scan.duration = frames_per_second != 0.0f ? static_cast<float>(scan.frames) / frames_per_second : 1.0f;
    return scan;
}
