// The bytes of an input around a walk's position, read through one buffer that moves with the
// walk, so that a container of any length costs one small buffer to walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "pack/io/byte_stream.h"

struct ReadWindow {
    const RandomReader* in = nullptr;
    std::uint64_t start = 0;
    std::size_t have = 0;
    std::uint8_t buf[64u << 10];
};

// n bytes (at most the window's size) at offset, or null when the input does not hold them or
// cannot be read.
inline const std::uint8_t* window_at(ReadWindow& w, std::uint64_t offset, std::size_t n) {
    if (offset >= w.start && offset - w.start <= w.have && w.have - (offset - w.start) >= n)
        return w.buf + (offset - w.start);
    if (offset > w.in->size || n > w.in->size - offset || n > sizeof w.buf) return nullptr;
    w.start = offset;
    w.have = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof w.buf, w.in->size - offset));
    while (w.have < want) {
        const long long r = read_some_at(*w.in, offset + w.have, w.buf + w.have, want - w.have);
        if (r <= 0) break;
        w.have += static_cast<std::size_t>(r);
    }
    return w.have >= n ? w.buf : nullptr;
}
