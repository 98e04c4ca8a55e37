// The nine data-block streams of compression and the one operation that fills them.
// In ".bin"/".csv" mode bits go to per-stream growable bit buffers and values to buffered
// CSV files; in ".swp" mode values go to in-memory value lists and bits are dropped.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "aac/bit_sink.h"
#include "streams/output_file.h"
#include "streams/value_list.h"

enum StreamId : int {
    STREAM_ADTS = 0,
    STREAM_FAACSTR = 1,
    STREAM_STC = 2,
    STREAM_GG = 3,
    STREAM_ICSI = 4,
    STREAM_SBN = 5,
    STREAM_SCF = 6,
    STREAM_TNS = 7,
    STREAM_QMDCT = 8,
};
constexpr int kStreamCount = 9;

enum ListId : int {
    LIST_QMDCT_0 = 8,  // single channel element, or first channel of a pair
    LIST_QMDCT_1 = 9,  // second channel of a pair
};
constexpr int kListCount = 10;

enum EmitKind : int { EMIT_BITS = 0, EMIT_VALUE = 1, EMIT_EOL = 2 };

// Buffered text output of one ".csv" file; values are formatted without printf. A failed
// write stays in file.error.
struct CsvOut {
    OutputFile file;
    char* buffer = nullptr;
    std::size_t used = 0;
};
constexpr std::size_t kCsvBufferSize = 1 << 16;

void csv_flush(CsvOut& out);

inline void csv_append_value(CsvOut& out, std::int32_t value) {
    if (out.used + 16 > kCsvBufferSize) csv_flush(out);
    char* p = out.buffer + out.used;
    const std::to_chars_result r = std::to_chars(p, p + 12, value);
    *r.ptr = ',';
    out.used = static_cast<std::size_t>(r.ptr + 1 - out.buffer);
}

// Values of a whole line; "0," (the most common value by far) without a conversion.
inline void csv_append_values(CsvOut& out, const std::int32_t* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (out.used + 16 > kCsvBufferSize) csv_flush(out);
        char* p = out.buffer + out.used;
        const std::int32_t value = values[i];
        if (value == 0) {
            p[0] = '0';
            p[1] = ',';
            out.used += 2;
            continue;
        }
        const std::to_chars_result r = std::to_chars(p, p + 12, value);
        *r.ptr = ',';
        out.used = static_cast<std::size_t>(r.ptr + 1 - out.buffer);
    }
}

inline void csv_append_eol(CsvOut& out) {
    if (out.used + 1 > kCsvBufferSize) csv_flush(out);
    out.buffer[out.used++] = '\n';
}

struct StreamSet {
    int block_files = 0;
    BitSink sinks[kStreamCount];
    ValueList lists[kListCount];
    CsvOut csv[kListCount];
    OutputFile bin[kStreamCount];
    OutputFile container;
    bool out_of_memory = false;  // a stream could not grow; reported once by the driver
    bool direct_container_writes = true;  // the ".swp" container may bypass the page cache
};

// Bits held by stream s ("-m" mode; none in ".swp" mode, where bits are dropped).
inline std::uint64_t stream_bits(const StreamSet& set, int s) { return set.sinks[s].bit_position; }

// Slow paths of emit_field: growing a full value list (or its side array) or bit buffer.
void streamset_push_grow(StreamSet& set, int list, std::int32_t value);
void streamset_put_grow(StreamSet& set, int stream, std::uint32_t value, unsigned width);

// Hands one field to the stream set: kind EMIT_BITS appends the low `width` bits of value to
// stream `index`; EMIT_VALUE records value on list `index`; EMIT_EOL ends a CSV line.
inline void emit_field(StreamSet& set, std::int32_t value, int width, int index, int kind) {
    if (kind == EMIT_BITS) {
        if (width == 0 || !set.block_files) return;
        BitSink& sink = set.sinks[index];
        const auto n = static_cast<unsigned>(width);
        if (sink.bit_position + n <= sink.capacity * 8) {
            bitsink_put(sink, static_cast<std::uint32_t>(value), n);
        } else {
            streamset_put_grow(set, index, static_cast<std::uint32_t>(value), n);
        }
    } else if (kind == EMIT_VALUE) {
        if (set.block_files) {
            csv_append_value(set.csv[index], value);
        } else if (valuelist_push(set.lists[index], value) != 0) {
            streamset_push_grow(set, index, value);
        }
    } else if (kind == EMIT_EOL) {
        if (set.block_files) csv_append_eol(set.csv[index]);
    }
}

// Hands n values to list `list`, as n emit_field calls of kind EMIT_VALUE would: one copy
// into the value list when it has room, or one run of CSV text.
inline void emit_values(StreamSet& set, const std::int32_t* values, std::size_t n, int list) {
    if (set.block_files) {
        csv_append_values(set.csv[list], values, n);
        return;
    }
    ValueList& l = set.lists[list];
    const int stored = valuelist_append(l, values, n);
    if (stored == 0) return;
    if (stored == 2) {
        set.out_of_memory = true;
        return;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (valuelist_push(l, values[i]) != 0) streamset_push_grow(set, list, values[i]);
}

// Builds the stream set over storage it allocates itself: bit buffers of `half_length`
// bytes (QMDCT: `file_length`) in ".bin"/".csv" mode, value lists of frame_count x 4096
// bytes in ".swp" mode. The memory comes zeroed from the allocator and is not touched
// before it is used; every stream grows when the first estimate is too small.
void streamset_build(StreamSet& set, int block_files, std::uint64_t file_length, std::uint64_t frame_count);

// Writes every stream to its data-block file in stream order (".bin" bits, or the ten
// values blocks of the ".swp" container) and flushes the CSV buffers. Returns 0, or 1 when
// a write failed (the reason stays in the failed file's error).
int streamset_flush(StreamSet& set);

// Frees all storage of the set (files are closed by close_block_files).
void streamset_release(StreamSet& set);
