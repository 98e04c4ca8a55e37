// Layout of a packed file: a file header, independent chunk records, an end record. Every field
// is little-endian and of fixed width, read and written byte by byte so the host's byte order
// never matters. The README's "Packed form" table describes the same layout.
//
//   file header (16)   magic (8), format version u16, flags u16 (0), header check u32
//   chunk record (24)  tag 'C', method u8, reserved u16 (0), original length u32,
//                      packed length u32, XXH3-64 of the original bytes u64, record check u32;
//                      then the packed bytes
//   end record (36)    tag 'E', reserved 3 bytes (0), reserved u32 (0), whole length u64,
//                      chunk count u64, XXH3-64 of the whole original u64, record check u32
//
// A record check is the low 32 bits of XXH3-64 over the record's bytes before it, so damage to
// a length is caught before the length is trusted.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint8_t kPackMagic[8] = {0x89, 'A', 'A', 'Z', '\r', '\n', 0x1A, '\n'};
constexpr std::uint16_t kPackFormatVersion = 2;

constexpr std::size_t kFileHeaderSize = 16;
constexpr std::size_t kChunkRecordSize = 24;
constexpr std::size_t kEndRecordSize = 36;
constexpr std::uint8_t kChunkTag = 'C';
constexpr std::uint8_t kEndTag = 'E';

// Largest original length a chunk may have in this format. The packer cuts smaller chunks
// (kPackChunkCap); the difference leaves room for a later packer without a new version, while
// an unpacker's memory stays bounded for any file, damaged or not.
constexpr std::uint32_t kMaxChunkOriginal = 4u << 20;

enum ChunkMethod : std::uint8_t {
    METHOD_STORED = 0,  // the original bytes; packed length equals original length
    METHOD_ZSTD = 1,    // one zstd frame; packed length below original length
    METHOD_MODEL = 2,   // the chunk codec's payload; packed length below original length
    METHOD_COUNT
};

inline void put_le(std::uint8_t* p, std::uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint64_t get_le(const std::uint8_t* p, unsigned bytes) {
    std::uint64_t v = 0;
    for (unsigned i = bytes; i-- > 0;) v = (v << 8) | p[i];
    return v;
}
