// Names, creation and layouts of the data-block files: the ".swp" container of ten values
// blocks, or one ".bin" file per stream and one ".csv" file per value list.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "streams/stream_set.h"

extern const char* const kCsvSuffix[kListCount];   // "_ADTS.csv" .. "_QMDCT_1.csv"
extern const char* const kBinSuffix[kStreamCount]; // "_ADTS.bin" .. "_QMDCT.bin"

// The input name without everything from its last "." (searched over the whole path).
std::string strip_extension(const std::string& name);

// Creates the files of the current form (set.block_files) in the documented order. On a
// failure prints "Couldn't create output file %s\n" to `out` and returns 1.
int create_block_files(StreamSet& set, const std::string& input_name, std::FILE* out);
void close_block_files(StreamSet& set);

// Output of the ".swp" container. The values blocks are gathered in one aligned buffer and
// written in large pieces; where the file system allows it, the whole pieces bypass the
// page cache. The container is several times the size of the decoded audio and is written
// once, and copying it through the cache was the largest single cost of a compression.
// The last piece, and every piece where direct writes are refused, go the ordinary way.
struct ContainerWriter {
    int fd = -1;
    unsigned char* buffer = nullptr;  // kContainerPiece bytes, aligned for direct writes
    std::size_t used = 0;
    int plain_flags = 0;  // the descriptor's flags without direct writes
    bool direct = false;
    bool failed = false;
};
constexpr std::size_t kContainerPiece = std::size_t{4} << 20;

// Starts writing at the current end of `file` (its stdio buffer is flushed first and not
// used again). try_direct = false keeps to ordinary writes. Returns 1 when there is no
// file or no buffer.
int container_begin(ContainerWriter& w, std::FILE* file, bool try_direct);
// Appends one values block: the list's count, then its values, 4 bytes each, little-endian.
void write_values_block(ContainerWriter& w, const ValueList& list);
// Writes what is left and frees the buffer; the file stays open. Returns 0, or 1 when any
// write failed.
int container_end(ContainerWriter& w);

// Reads one values block. Returns 0 on success; 1 when the file ends before the count or the
// values it promises, or when the count is larger than the bytes left in the file (which
// also bounds the allocation by the file's size).
int read_values_block(std::FILE* file, std::vector<std::int32_t>& values);
