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

// The names of the data-block files compression writes for input_name, in creation order
// (with block_files the ".csv" and ".bin" files, otherwise the ".swp" container).
std::vector<std::string> block_file_names(int block_files, const std::string& input_name);

// Creates the files of the current form in creation order, each under a temporary name in
// its folder until it is committed (an existing file keeps its contents until then). On a
// failure prints "Error: couldn't create %s: %s\n" with the system's reason to `err` and
// returns 1; what was created before is left for discard_block_files.
int create_block_files(StreamSet& set, const std::string& input_name, std::FILE* err);
// The set's open outputs, in creation order, for the driver to close and commit with its
// other outputs.
std::vector<OutputFile*> block_outputs(StreamSet& set);
// Closes every file of the set and removes their temporaries: earlier files stay as they were.
void discard_block_files(StreamSet& set);

// Output of the ".swp" container. The values blocks are gathered in one aligned buffer and
// written in large pieces; where the file system allows it, the whole pieces bypass the
// page cache. The container is several times the size of the decoded audio and is written
// once, and copying it through the cache was the largest single cost of a compression.
// The last piece, and every piece where direct writes are refused, go the ordinary way.
struct ContainerWriter {
    OutputFile* file = nullptr;  // a failed write leaves its errno in file->error
    int fd = -1;
    unsigned char* buffer = nullptr;  // kContainerPiece bytes, aligned for direct writes
    std::size_t used = 0;
    int plain_flags = 0;  // the descriptor's flags without direct writes
    bool direct = false;
    bool failed = false;
};
constexpr std::size_t kContainerPiece = std::size_t{4} << 20;

// Starts writing at the current end of `file`. try_direct = false keeps to ordinary writes;
// a file written in place (a device or a pipe) always does. Returns 1 when the file is not
// open or there is no buffer.
int container_begin(ContainerWriter& w, OutputFile& file, bool try_direct);
// Appends one values block: the list's count, then its values, 4 bytes each, little-endian.
void write_values_block(ContainerWriter& w, const ValueList& list);
// Writes what is left and frees the buffer; the file stays open. Returns 0, or 1 when any
// write failed.
int container_end(ContainerWriter& w);
