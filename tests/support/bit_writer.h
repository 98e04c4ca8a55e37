// Most-significant-bit-first writer for crafted streams and frames, as the program's bit
// buffers hold them.
#pragma once

#include <cstddef>
#include <cstdint>
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
