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

int write_values_block(const std::int32_t* values, std::uint32_t count, std::FILE* file);

// Reads one values block. Returns 0 on success; 1 when the file ends before the count or the
// values it promises, or when the count is larger than the bytes left in the file (which
// also bounds the allocation by the file's size).
int read_values_block(std::FILE* file, std::vector<std::int32_t>& values);
