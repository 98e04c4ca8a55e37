// LZMA2 for the container's bytes that no model describes and that come in a small amount
// with much structure: indexes (Matroska cues, an MP4's chunk offsets), segment headers. On such
// bytes it makes a half to a third of what zstd makes, at a cost in time that only small
// streams can afford, so the packer weighs it against zstd only there.
//
// The stream is raw LZMA2 with no container around it: the packed form already knows the size
// it decodes to, and the dictionary follows from that size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The most bytes the packer hands to LZMA2 in one stream. The encoder takes about 7 MiB at this
// size (some fourteen times its dictionary), the decoder the dictionary alone.
constexpr std::size_t kLzmaMaxInput = 512u << 10;

// Compresses data[0..size) (at most kLzmaMaxInput bytes) into out, replacing what it held.
// Returns the compressed size, or 0 when it would not be below `below` bytes or LZMA2 failed.
// `repetitive` (bytes a quick zstd already takes to a sixteenth or less, such as cues) asks
// for one match candidate a position instead of 32: the same bytes there in two thirds of the
// time, where an index of sizes and offsets would lose a few per cent.
std::size_t compress_lzma(const std::uint8_t* data, std::size_t size, std::size_t below,
                          std::vector<std::uint8_t>& out, bool repetitive = false);

// Decompresses in[0..in_size) into exactly out_size bytes at out (at most kLzmaMaxInput);
// false when the stream is damaged, does not end where its bytes do, or makes another size.
bool decompress_lzma(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size);
