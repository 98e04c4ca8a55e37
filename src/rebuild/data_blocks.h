// Readers of the data blocks on the decompression side: the ".swp" container, or the
// per-stream ".bin" files (read as bits) and ".csv" files (read as value lines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "aac/bit_reader.h"
#include "streams/stream_set.h"

// Bit cursor over one ".bin" stream, most significant bit first, under the frame reader's
// rule past the end (zeros, and the position still moves by every width). A small stream is
// held whole in `buffer`; a large one is read from its file through a bounded window that
// the slow paths move along (`file` set), so memory stays the same whatever the file's length.
struct StreamReader {
    const std::uint8_t* buffer = nullptr;  // none when the stream has no bits
    std::size_t size = 0;                  // bytes in buffer
    std::int64_t byte_position = 0;        // in the stream, not in the window
    int bit_position = 0;                  // 0..7, 0 = most significant bit
    std::FILE* file = nullptr;             // windowed: the stream's file (owned by DataBlocks)
    std::uint64_t file_size = 0;           // windowed: bytes in the stream
    std::int64_t origin = 0;               // windowed: stream offset of buffer[0]
    std::uint8_t* storage = nullptr;       // windowed: room for kBinWindowBytes
};

// Window of a windowed ".bin" stream; streams up to this size are held whole.
constexpr std::size_t kBinWindowBytes = 1 << 16;

// Slow paths of peek_bits and read_bits, for reads near or past the end of the buffer;
// they move the window of a windowed stream first.
std::uint32_t peek_bits_slow(StreamReader& reader, unsigned n);
std::uint32_t read_bits_slow(StreamReader& reader, unsigned n);

// True when the eight bytes from the reader's byte position lie inside the buffer.
inline bool reader_has_word(const StreamReader& reader) {
    const std::int64_t at = reader.byte_position - reader.origin;
    return reader.buffer != nullptr && at >= 0 && static_cast<std::uint64_t>(at) + 8 <= reader.size;
}

// The next n bits without moving the reader (zeros beyond the stream).
inline std::uint32_t peek_bits(StreamReader& reader, unsigned n) {
    if (n == 0 || n > 32 || !reader_has_word(reader)) return peek_bits_slow(reader, n);
    return bits_at(reader.buffer + (reader.byte_position - reader.origin), static_cast<unsigned>(reader.bit_position), n);
}

// Moves the reader on by n bits (0..32) already seen through peek_bits.
inline void advance_bits(StreamReader& reader, unsigned n) {
    const unsigned position = static_cast<unsigned>(reader.bit_position) + n;
    reader.byte_position += position >> 3;
    reader.bit_position = static_cast<int>(position & 7);
}

// Next n bits (0..32), first bit most significant. Bits beyond the buffer read as 0; the
// position still advances so that the end test sees the stream used up.
inline std::uint32_t read_bits(StreamReader& reader, unsigned n) {
    if (n == 0 || n > 32 || !reader_has_word(reader)) return read_bits_slow(reader, n);
    const std::uint32_t v = peek_bits(reader, n);
    advance_bits(reader, n);
    return v;
}
// 1 when the byte position has reached the end of the stream's data.
int stream_exhausted(const StreamReader& reader);

// What one writer call sees of a stream held as values: with -m one CSV line (owned here),
// in the container one view of the list from its current position to its end.
struct ValueLine {
    std::vector<std::int32_t> owned;
    const std::int32_t* values = nullptr;
    std::size_t count = 0;   // values available
    std::size_t taken = 0;   // values consumed by the writer
    bool ran_out = false;    // a writer asked for more than `count`
};

// Next value of the line, or 0 (and ran_out set) when the line is used up.
inline std::int32_t take_value(ValueLine& line) {
    if (line.taken < line.count) return line.values[line.taken++];
    line.ran_out = true;
    return 0;
}

// Values of a container list a writer call can always see at once (when the list holds
// that many more): far above what one call takes (a channel's 1024 spectral lines, or a
// scale-factor codeword of up to 19 bits for each of at most 8 x 51 bands).
constexpr std::size_t kValueLineGuarantee = 1 << 14;
// Values read into a container list's window at a time.
constexpr std::size_t kValueWindow = 1 << 18;

struct DataBlocks {
    int block_files = 0;
    std::FILE* file[kListCount] = {};       // -m: the ".csv" file, or the windowed ".bin" file, of each list
    std::uint64_t size[kListCount] = {};    // -m: the file's length in bytes
    int bits_present[kListCount] = {};      // 1: read with read_bits, 0: read as values
    StreamReader reader[kListCount];
    std::vector<std::uint8_t> bin[kListCount];        // a ".bin" file whole, or its window
    // ".swp": the values of each list, whole (windowed false), or a window of them read from
    // the container that starts at value window_start.
    std::vector<std::int32_t> values[kListCount];
    std::size_t value_position[kListCount] = {};      // ".swp": next unread value of the list
    bool windowed[kListCount] = {};
    std::uint64_t list_offset[kListCount] = {};       // windowed: file offset of the list's first value
    std::uint64_t list_count[kListCount] = {};        // windowed: values in the list
    std::uint64_t window_start[kListCount] = {};
    std::FILE* container = nullptr;
};

// Opens the data blocks of `name` (-m: a base name; else the ".swp" file). A required file
// that cannot be opened prints "Couldn't open input file %s\n" to `out` and returns 1 (the
// caller ends the process with status 1); a malformed container returns 2 with a message.
int open_data_blocks(DataBlocks& blocks, const std::string& name, int block_files, int read_bin_blocks,
                     std::FILE* out);
void close_data_blocks(DataBlocks& blocks);

// With -m: reads the next line of list `list`'s CSV file into line.owned (count 0 for an
// empty line or the end of the file). In the container: a view of the list from its value
// position. Returns line.count.
std::size_t read_value_line(DataBlocks& blocks, int list, ValueLine& line);
// Ends a writer call: in the container advances the list's value position by line.taken.
void finish_value_line(DataBlocks& blocks, int list, ValueLine& line);

// End test of a stream: a bits stream read to its end, a CSV file at its end, or a value
// list whose position has reached its count.
int stream_used_up(DataBlocks& blocks, int list);
// A number that grows whenever anything of the stream is consumed (bit position, CSV file
// position or value position); the driver uses it to see that a frame made progress.
std::uint64_t stream_progress(const DataBlocks& blocks, int list);

// Where one writer call takes its fields from: the stream's bit reader (bits form) or the
// value line it read (values form). Both forms hand out the same fields in the same order.
struct FieldSource {
    StreamReader* reader = nullptr;
    ValueLine* line = nullptr;
};

// The next field of `width` bits. A value is cut to its width, as the bits form would be.
inline std::uint32_t take_field(FieldSource& src, unsigned width) {
    if (src.reader != nullptr) return read_bits(*src.reader, width);
    if (src.line == nullptr) return 0;
    const auto v = static_cast<std::uint32_t>(take_value(*src.line));
    return width >= 32 ? v : v & ((std::uint32_t{1} << width) - 1u);
}

// Takes the next field and writes it in the same width; the bits written are added to `bits`.
inline std::uint32_t copy_field(FieldSource& src, BitSink& sink, unsigned width, int& bits) {
    const std::uint32_t v = take_field(src, width);
    bits += static_cast<int>(bitsink_put(sink, v, width));
    return v;
}

// True when a values-form source was asked for more values than its line holds.
inline bool source_ran_out(const FieldSource& src) { return src.line != nullptr && src.line->ran_out; }

// Starts one writer call on `list`: bits form uses the stream's reader, values form reads
// one line (or takes the container view). Returns false when the stream has nothing for
// this call (no bits at all, an empty line, a used-up list); `src` is usable either way
// and then yields zeros.
inline bool open_fields(DataBlocks& blocks, int list, ValueLine& line, FieldSource& src) {
    if (blocks.bits_present[list]) {
        src.reader = &blocks.reader[list];
        src.line = nullptr;
        return blocks.reader[list].buffer != nullptr;
    }
    src.reader = nullptr;
    src.line = &line;
    if (read_value_line(blocks, list, line) > 0) return true;
    finish_value_line(blocks, list, line);  // nothing was taken: the call ends here
    return false;
}

// Ends a writer call begun with open_fields.
inline void close_fields(DataBlocks& blocks, int list, ValueLine& line) {
    if (!blocks.bits_present[list]) finish_value_line(blocks, list, line);
}
