// Most-significant-bit-first writer for crafted streams and frames, as the program's bit
// buffers hold them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BitWriter {
    std::vector<std::uint8_t> bytes;
    std::size_t bits = 0;
    BitWriter& put(std::uint32_t value, unsigned n) {
        for (unsigned i = n; i-- > 0;) {
            if (bits % 8 == 0) bytes.push_back(0);
            if ((value >> i) & 1u) bytes.back() |= static_cast<std::uint8_t>(0x80u >> (bits % 8));
            ++bits;
        }
        return *this;
    }
    // Bits given as text, e.g. "1011".
    BitWriter& put(const char* text) {
        for (const char* p = text; *p; ++p) put(*p == '1', 1);
        return *this;
    }
    BitWriter& align() {
        bits = bytes.size() * 8;
        return *this;
    }
};

// A mono LC frame at 44.1 kHz, no CRC: the ADTS header stating frame_length bytes, then payload.
inline std::string adts_mono_frame(const std::string& payload) {
    BitWriter h;
    h.put(0xFFF, 12).put(0, 1).put(0, 2).put(1, 1).put(1, 2).put(4, 4).put(0, 1).put(1, 3).put(0, 4);
    h.put(static_cast<std::uint32_t>(7 + payload.size()), 13).put(0x7FF, 11).put(0, 2);
    return std::string(h.bytes.begin(), h.bytes.end()) + payload;
}
