// Most-significant-bit-first bit writer over a byte buffer: the ".bin" streams of
// compression and the frame writer of decompression.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "aac/bit_reader.h"

struct BitSink {
    std::uint8_t* buffer = nullptr;  // borrowed, unless `growable` (then owned by the stream set)
    std::size_t capacity = 0;        // bytes
    // The one count of the sink: where the next bit goes (counted from bit 7 of byte 0), which
    // is also how many bits were written.
    std::size_t bit_position = 0;
    bool growable = false;  // compression streams grow instead of refusing bits
    bool overflow = false;  // sticky: a write did not fit and was refused
};

// True when value has no bits above the low n (n 0..32): what every put demands of its
// caller.
constexpr bool fits_width(std::uint32_t value, unsigned n) {
    return n >= 32 || (value >> n) == 0;
}

// Creates a sink over `buffer` (may be null for a sink that is never written). Zero-fills
// the first `capacity` bytes unless `skip_zero_fill`. What the sink writes never depends on
// what the buffer held: every write sets the bytes it reaches whole, keeping only the earlier
// bits of the byte it starts in, so the first bitsink_bytes() bytes are exactly the bits
// written, followed by zeros to the byte's end. A frame writer that reuses one buffer frame
// after frame and reads only those bytes skips the fill.
void bitsink_create(BitSink& sink, std::uint8_t* buffer, std::size_t capacity, bool skip_zero_fill = false);

// Grows a growable sink so that `extra_bits` more fit. Returns false when memory runs out.
bool bitsink_reserve(BitSink& sink, std::size_t extra_bits);

// Eight bytes at p as one number, first byte most significant (the readers' load), and back.
inline std::uint64_t bitsink_load_be64(const std::uint8_t* p) { return load_be64(p); }
inline void bitsink_store_be64(std::uint8_t* p, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
#else
    for (int j = 7; j >= 0; --j, v >>= 8) p[j] = static_cast<std::uint8_t>(v);
#endif
}

// Slow path of bitsink_put: a write that needs the buffer to grow, or that is refused.
unsigned bitsink_put_slow(BitSink& sink, std::uint32_t value, unsigned n);

// Appends value in n bits (n 0..32; value must fit them), most significant first. Returns the number of
// bits appended: n, or 0 when they do not fit (the sink then sets `overflow` and keeps
// everything it held; a growable sink enlarges its buffer instead).
// The bits are placed in one 64-bit register. The byte holding the write position keeps its
// earlier bits, every later byte the write reaches is set whole, and the bytes past the last
// bit written keep their contents: with eight bytes of room that is one 64-bit
// read-modify-write, near the end of the buffer a byte loop.
inline unsigned bitsink_put(BitSink& sink, std::uint32_t value, unsigned n) {
    assert(n <= 32 && fits_width(value, n));
    if (n == 0) return 0;
    if (sink.overflow || sink.bit_position + n > sink.capacity * 8) return bitsink_put_slow(sink, value, n);
    const std::uint64_t masked = n < 32 ? (value & ((std::uint32_t{1} << n) - 1)) : value;
    const std::size_t k = sink.bit_position >> 3;
    const unsigned offset = static_cast<unsigned>(sink.bit_position & 7);
    const std::uint64_t bits = masked << (64 - offset - n);  // 64 - 7 - 32 >= 25, always defined
    const unsigned bytes = (offset + n + 7) >> 3;              // 1..5
    std::uint8_t* p = sink.buffer + k;
    if (k + 8 <= sink.capacity) {
        std::uint64_t word = bitsink_load_be64(p);
        const std::uint64_t keep = (offset != 0 ? 0xFF00000000000000ull : 0) | (~0ull >> (8 * bytes));
        bitsink_store_be64(p, (word & keep) | bits);
    } else {
        p[0] = static_cast<std::uint8_t>((offset != 0 ? p[0] : 0) | (bits >> 56));
        for (unsigned i = 1; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    sink.bit_position += n;
    return n;
}

inline std::size_t bitsink_bytes(const BitSink& sink) { return (sink.bit_position + 7) / 8; }

// Collects short fields in a 64-bit register and hands them to the sink 32 bits at a time:
// the same bits in the same order as one bitsink_put per field, for loops that write many
// fields of a few bits. `bits` counts what the sink accepted.
struct BitBatch {
    std::uint64_t acc = 0;  // the low `count` bits are pending
    unsigned count = 0;     // below 32 between calls
    int bits = 0;
};

// value in n bits (n 0..32), like bitsink_put.
inline void batch_put(BitSink& sink, BitBatch& batch, std::uint32_t value, unsigned n) {
    assert(n <= 32 && fits_width(value, n));
    if (n == 0) return;
    value &= ~std::uint32_t{0} >> (32 - n);
    batch.acc = (batch.acc << n) | value;  // n <= 32 and count < 32: nothing pending is lost
    batch.count += n;
    if (batch.count >= 32) {
        batch.count -= 32;
        batch.bits += static_cast<int>(bitsink_put(sink, static_cast<std::uint32_t>(batch.acc >> batch.count), 32));
    }
}

// Writes the pending bits; returns the bits the sink accepted over the batch's life.
inline int batch_finish(BitSink& sink, BitBatch& batch) {
    if (batch.count > 0) {
        const std::uint32_t rest = static_cast<std::uint32_t>(batch.acc & ((std::uint64_t{1} << batch.count) - 1));
        batch.bits += static_cast<int>(bitsink_put(sink, rest, batch.count));
        batch.count = 0;
    }
    return batch.bits;
}
