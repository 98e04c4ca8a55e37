// Most-significant-bit-first bit writer over a byte buffer: the ".bin" streams of
// compression and the frame writer of decompression.
#pragma once

#include <cstddef>
#include <cstdint>

struct BitSink {
    std::uint8_t* buffer = nullptr;  // borrowed, unless `growable` (then owned by the stream set)
    std::size_t capacity = 0;        // bytes
    std::size_t bit_position = 0;    // next bit to write, counted from bit 7 of byte 0
    std::size_t bits_written = 0;    // equals bit_position after every write
    bool growable = false;           // compression streams grow instead of refusing bits
    bool overflow = false;           // sticky: a write did not fit and was refused
};

// Creates a sink over `buffer` (may be null for a sink that is never written). Zero-fills
// the first `capacity` bytes unless `already_zero` says the memory is fresh from calloc.
void bitsink_create(BitSink& sink, std::uint8_t* buffer, std::size_t capacity, bool already_zero = false);

// Appends the low n bits of value (n 0..32), most significant first. Returns the number of
// bits appended: n, or 0 when they do not fit (the sink then sets `overflow` and keeps
// everything it held; a growable sink enlarges its buffer instead).
unsigned bitsink_put(BitSink& sink, std::uint32_t value, unsigned n);

// Grows a growable sink so that `extra_bits` more fit. Returns false when memory runs out.
bool bitsink_reserve(BitSink& sink, std::size_t extra_bits);

inline std::size_t bitsink_bytes(const BitSink& sink) { return (sink.bits_written + 7) / 8; }
