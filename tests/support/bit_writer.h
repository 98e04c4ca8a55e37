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

// An LC frame at 44.1 kHz of `channels` channels, no CRC: the ADTS header stating frame_length
// bytes, then payload.
inline std::string adts_frame(const std::string& payload, unsigned channels = 1) {
    BitWriter h;
    h.put(0xFFF, 12).put(0, 1).put(0, 2).put(1, 1).put(1, 2).put(4, 4).put(0, 1).put(channels, 3).put(0, 4);
    h.put(static_cast<std::uint32_t>(7 + payload.size()), 13).put(0x7FF, 11).put(0, 2);
    return std::string(h.bytes.begin(), h.bytes.end()) + payload;
}
inline std::string adts_frame(const BitWriter& payload, unsigned channels = 1) {
    return adts_frame(std::string(payload.bytes.begin(), payload.bytes.end()), channels);
}

// One channel of a single channel element or a pair at 44.1 kHz: global gain, ics_info (long
// window, max_sfb 1), one section of book 1, its scale factor unchanged, with `pulse` one pulse
// of amplitude 1 on line 0, no TNS or gain control, and the band's one all-zero quadruple.
inline BitWriter& put_quiet_channel(BitWriter& b, bool pulse = false) {
    b.put(100, 8).put(0, 1).put(0, 2).put(0, 1).put(1, 6).put(0, 1).put(1, 4).put(1, 5).put("0").put(pulse, 1);
    if (pulse) b.put(0, 2).put(0, 6).put(0, 5).put(1, 4);
    return b.put(0, 2).put("0");
}
