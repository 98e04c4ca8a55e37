// BitSink: packs bits most significant first; never writes outside its buffer.
#include "aac/bit_sink.h"

#include <cstdlib>
#include <cstring>

void bitsink_create(BitSink& sink, std::uint8_t* buffer, std::size_t capacity, bool skip_zero_fill) {
    sink.buffer = buffer;
    sink.capacity = buffer != nullptr ? capacity : 0;
    sink.bit_position = 0;
    sink.overflow = false;
    if (buffer != nullptr && !skip_zero_fill) std::memset(buffer, 0, capacity);
}

bool bitsink_reserve(BitSink& sink, std::size_t extra_bits) {
    const std::size_t needed = (sink.bit_position + extra_bits + 7) / 8;
    if (needed <= sink.capacity) return true;
    if (!sink.growable) return false;
    std::size_t grown = sink.capacity < 4096 ? 4096 : sink.capacity;
    while (grown < needed) grown *= 2;
    auto* bigger = static_cast<std::uint8_t*>(std::realloc(sink.buffer, grown));
    if (bigger == nullptr) return false;
    sink.buffer = bigger;
    sink.capacity = grown;
    return true;
}

unsigned bitsink_put_slow(BitSink& sink, std::uint32_t value, unsigned n) {
    if (n == 0) return 0;
    if (sink.overflow || sink.bit_position + n > sink.capacity * 8) {
        if (!bitsink_reserve(sink, n)) {
            sink.overflow = true;
            return 0;
        }
    }
    if (n < 32) value &= (std::uint32_t{1} << n) - 1;
    unsigned remaining = n;
    while (remaining > 0) {
        const std::size_t k = sink.bit_position >> 3;
        const unsigned offset = static_cast<unsigned>(sink.bit_position & 7);
        const unsigned room = 8 - offset;
        const unsigned len = remaining < room ? remaining : room;
        const std::uint32_t piece = (value >> (remaining - len)) & ((1u << len) - 1u);
        if (offset == 0) sink.buffer[k] = 0;
        sink.buffer[k] |= static_cast<std::uint8_t>(piece << (room - len));
        sink.bit_position += len;
        remaining -= len;
    }
    return n;
}
