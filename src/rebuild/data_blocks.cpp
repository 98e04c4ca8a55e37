// Opening the data blocks of one file and reading them back: bits from the ".bin" files,
// value lines from the ".csv" files, value views of the ".swp" container's lists.
#include "rebuild/data_blocks.h"

#include <climits>
#include <cstring>

#include "streams/block_files.h"

namespace {

std::uint32_t byte_at(const StreamReader& reader, std::int64_t i) {
    const std::int64_t at = i - reader.origin;
    if (reader.buffer == nullptr || at < 0 || static_cast<std::uint64_t>(at) >= reader.size) return 0;
    return reader.buffer[at];
}

std::uint64_t file_length(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(f);
    std::rewind(f);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

// Bytes a window keeps before the read position, so that a look-behind rarely moves it back.
constexpr std::int64_t kWindowBackMargin = 64;

// Moves a windowed reader's window so that it starts shortly before the byte position.
// Positions outside the stream leave it where it is: they read as zeros anyway.
void move_window(StreamReader& reader) {
    if (reader.file == nullptr || reader.byte_position < 0 ||
        static_cast<std::uint64_t>(reader.byte_position) >= reader.file_size)
        return;
    std::int64_t origin = reader.byte_position - kWindowBackMargin;
    if (origin < 0) origin = 0;
    const std::uint64_t left = reader.file_size - static_cast<std::uint64_t>(origin);
    const std::size_t want = left < kBinWindowBytes ? static_cast<std::size_t>(left) : kBinWindowBytes;
    std::size_t got = 0;
    if (std::fseek(reader.file, static_cast<long>(origin), SEEK_SET) == 0)
        got = std::fread(reader.storage, 1, want, reader.file);
    reader.origin = origin;
    reader.size = got;  // a file that shrank under us reads zeros where it ended
    reader.buffer = reader.storage;
}

// A ".bin" stream up to the window's size is held whole in memory; a larger one is read
// through a window of kBinWindowBytes, its file kept open.
bool load_bin(DataBlocks& blocks, int i, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    const std::uint64_t size = file_length(f);
    blocks.bits_present[i] = 1;
    blocks.size[i] = size;
    blocks.reader[i] = StreamReader{};
    if (size > kBinWindowBytes) {
        blocks.bin[i].assign(kBinWindowBytes, 0);
        blocks.file[i] = f;
        StreamReader& r = blocks.reader[i];
        r.file = f;
        r.file_size = size;
        r.storage = blocks.bin[i].data();
        move_window(r);
        if (r.size == 0) r.buffer = nullptr;
        return true;
    }
    blocks.bin[i].assign(static_cast<std::size_t>(size), 0);
    const std::size_t got = size > 0 ? std::fread(blocks.bin[i].data(), 1, blocks.bin[i].size(), f) : 0;
    blocks.bin[i].resize(got);  // a file that shrank under us keeps what was read
    std::fclose(f);
    blocks.reader[i].buffer = blocks.bin[i].empty() ? nullptr : blocks.bin[i].data();
    blocks.reader[i].size = blocks.bin[i].size();
    return true;
}

std::uint32_t read_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Records where each values block of the container lies, walking the count words without
// reading the values. Every count must fit in the bytes left after it, as the reader of a
// whole block demands. Returns false for a damaged container.
bool index_container(DataBlocks& blocks) {
    std::FILE* f = blocks.container;
    if (std::fseek(f, 0, SEEK_END) != 0) return false;
    const long end = std::ftell(f);
    if (end < 0) return false;
    const auto file_size = static_cast<std::uint64_t>(end);
    std::uint64_t here = 0;
    for (int i = 0; i < kListCount; ++i) {
        unsigned char head[4];
        if (std::fseek(f, static_cast<long>(here), SEEK_SET) != 0 || std::fread(head, 1, 4, f) != 4) return false;
        const std::uint64_t count = read_le32(head);
        here += 4;
        if (count * 4 > file_size - here) return false;
        blocks.windowed[i] = true;
        blocks.list_offset[i] = here;
        blocks.list_count[i] = count;
        blocks.window_start[i] = 0;
        blocks.values[i].clear();
        here += count * 4;
    }
    return true;
}

// Reads the window of container list i that begins at value `first`.
void fill_value_window(DataBlocks& blocks, int i, std::uint64_t first) {
    std::vector<std::int32_t>& window = blocks.values[i];
    const std::uint64_t left = blocks.list_count[i] - first;
    const std::size_t want = left < kValueWindow ? static_cast<std::size_t>(left) : kValueWindow;
    window.resize(want);
    blocks.window_start[i] = first;
    bool failed = std::fseek(blocks.container, static_cast<long>(blocks.list_offset[i] + first * 4), SEEK_SET) != 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The file's layout is the host's: the values are read in place.
    const std::size_t got = failed || want == 0 ? 0 : std::fread(window.data(), 4, want, blocks.container);
    // A container that shrank after it was opened: what is missing reads as 0.
    if (got < want) std::memset(window.data() + got, 0, (want - got) * 4);
    return;
#endif
    unsigned char chunk[4096];
    std::size_t done = 0;
    while (done < want) {
        const std::size_t n = want - done < sizeof chunk / 4 ? want - done : sizeof chunk / 4;
        if (failed || std::fread(chunk, 1, n * 4, blocks.container) != n * 4) {
            // A container that shrank after it was opened: what is missing reads as 0.
            failed = true;
            std::memset(chunk, 0, sizeof chunk);
        }
        for (std::size_t j = 0; j < n; ++j) window[done + j] = static_cast<std::int32_t>(read_le32(chunk + 4 * j));
        done += n;
    }
}

// Values in container list i (all of them, not only those in the window).
std::uint64_t list_total(const DataBlocks& blocks, int i) {
    return blocks.windowed[i] ? blocks.list_count[i] : blocks.values[i].size();
}

bool open_csv(DataBlocks& blocks, int i, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    blocks.size[i] = file_length(f);
    blocks.file[i] = f;
    return true;
}

// The token buffer of one CSV value. Digits beyond its room are dropped, so an overlong
// token is truncated rather than written past the buffer.
constexpr std::size_t kTokenSize = 256;

std::int32_t convert_token(const char* token, std::size_t length) {
    std::size_t i = 0;
    bool negative = false;
    if (i < length && (token[i] == '-' || token[i] == '+')) negative = token[i++] == '-';
    std::int64_t v = 0;
    for (; i < length && token[i] >= '0' && token[i] <= '9'; ++i) {
        v = v * 10 + (token[i] - '0');
        if (v > std::int64_t{INT32_MAX} + 1) v = std::int64_t{INT32_MAX} + 1;  // saturate, never overflow
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return static_cast<std::int32_t>(v);
}

void read_csv_line(std::FILE* f, std::vector<std::int32_t>& values) {
    values.clear();
    if (f == nullptr) return;
    char token[kTokenSize];
    std::size_t length = 0;
    for (;;) {
        const int c = std::fgetc(f);
        if (c == EOF || c == '\n') return;  // text after the line's last comma is dropped
        if (c == ' ') continue;
        if (c == ',') {
            values.push_back(convert_token(token, length));
            length = 0;
        } else if (length < kTokenSize - 1) {
            token[length++] = static_cast<char>(c);
        }
    }
}

}  // namespace

std::uint32_t peek_bits_slow(StreamReader& reader, unsigned n) {
    if (n == 0) return 0;
    if (n > 32) n = 32;
    if (reader.file != nullptr && !reader_has_word(reader)) move_window(reader);
    if (reader_has_word(reader)) return peek_bits(reader, n);
    // Five bytes hold any 32 bits starting at bit positions 0..7.
    std::uint64_t window = 0;
    for (int j = 0; j < 5; ++j) window = (window << 8) | byte_at(reader, reader.byte_position + j);
    const unsigned shift = 40u - static_cast<unsigned>(reader.bit_position) - n;
    const std::uint64_t mask = (std::uint64_t{1} << n) - 1;
    return static_cast<std::uint32_t>((window >> shift) & mask);
}

std::uint32_t read_bits_slow(StreamReader& reader, unsigned n) {
    if (n > 32) n = 32;
    const std::uint32_t v = peek_bits_slow(reader, n);
    const std::int64_t position = reader.byte_position * 8 + reader.bit_position + n;
    reader.byte_position = position / 8;
    reader.bit_position = static_cast<int>(position % 8);
    return v;
}

int stream_exhausted(const StreamReader& reader) {
    const std::uint64_t bytes = reader.file != nullptr ? reader.file_size : reader.size;
    return reader.byte_position >= static_cast<std::int64_t>(bytes) ? 1 : 0;
}

int open_data_blocks(DataBlocks& blocks, const std::string& name, int block_files, int read_bin_blocks,
                     std::FILE* out) {
    blocks.block_files = block_files;
    for (int i = 0; i < kListCount; ++i) blocks.bits_present[i] = 0;
    if (block_files) {
        for (int i = 0; i < kStreamCount; ++i) {
            if (read_bin_blocks && load_bin(blocks, i, name + kBinSuffix[i])) continue;
            const std::string csv = name + kCsvSuffix[i];
            if (!open_csv(blocks, i, csv)) {
                std::fprintf(out, "Couldn't open input file %s\n", csv.c_str());
                return 1;
            }
        }
        // The second channel's values have a file of their own; without it the list is empty.
        if (!blocks.bits_present[STREAM_QMDCT]) open_csv(blocks, LIST_QMDCT_1, name + kCsvSuffix[LIST_QMDCT_1]);
        return 0;
    }
    blocks.container = std::fopen(name.c_str(), "rb");
    if (blocks.container == nullptr) {
        std::fprintf(out, "Couldn't open input file %s\n", name.c_str());
        return 1;
    }
    for (int i = 0; i < kListCount; ++i) blocks.value_position[i] = 0;
    if (!index_container(blocks)) {
        std::fprintf(out, "Data block file %s is damaged: its value blocks do not match its length.\n",
                     name.c_str());
        return 2;
    }
    return 0;
}

void close_data_blocks(DataBlocks& blocks) {
    for (int i = 0; i < kListCount; ++i) {
        if (blocks.file[i] != nullptr) std::fclose(blocks.file[i]);
        blocks.file[i] = nullptr;
        blocks.bin[i].clear();
        blocks.bin[i].shrink_to_fit();
        blocks.values[i].clear();
        blocks.values[i].shrink_to_fit();
        blocks.windowed[i] = false;
        blocks.reader[i] = StreamReader{};
    }
    if (blocks.container != nullptr) std::fclose(blocks.container);
    blocks.container = nullptr;
}

std::size_t read_value_line(DataBlocks& blocks, int list, ValueLine& line) {
    line.taken = 0;
    line.ran_out = false;
    if (blocks.block_files) {
        read_csv_line(blocks.file[list], line.owned);
        line.values = line.owned.data();
        line.count = line.owned.size();
    } else {
        const std::uint64_t total = list_total(blocks, list);
        const std::uint64_t position = blocks.value_position[list] < total ? blocks.value_position[list] : total;
        if (blocks.windowed[list]) {
            const std::uint64_t wanted = total - position < kValueLineGuarantee ? total : position + kValueLineGuarantee;
            const std::uint64_t start = blocks.window_start[list];
            if (position < start || start + blocks.values[list].size() < wanted) fill_value_window(blocks, list, position);
        }
        const std::vector<std::int32_t>& window = blocks.values[list];
        const std::uint64_t at = position - blocks.window_start[list];
        line.values = window.data() + at;
        line.count = static_cast<std::size_t>(window.size() - at);
    }
    return line.count;
}

void finish_value_line(DataBlocks& blocks, int list, ValueLine& line) {
    if (blocks.block_files) {
        line.owned.clear();
    } else {
        blocks.value_position[list] += line.taken;
    }
    line.values = nullptr;
    line.count = 0;
}

int stream_used_up(DataBlocks& blocks, int list) {
    if (blocks.bits_present[list]) return stream_exhausted(blocks.reader[list]);
    if (blocks.block_files) {
        std::FILE* f = blocks.file[list];
        if (f == nullptr) return 1;
        const int c = std::fgetc(f);
        if (c == EOF) return 1;
        std::ungetc(c, f);
        return 0;
    }
    return blocks.value_position[list] >= list_total(blocks, list) ? 1 : 0;
}

std::uint64_t stream_progress(const DataBlocks& blocks, int list) {
    if (blocks.bits_present[list])
        return static_cast<std::uint64_t>(blocks.reader[list].byte_position * 8 + blocks.reader[list].bit_position);
    if (blocks.block_files) {
        if (blocks.file[list] == nullptr) return 0;
        const long here = std::ftell(blocks.file[list]);
        return here < 0 ? 0 : static_cast<std::uint64_t>(here);
    }
    return blocks.value_position[list];
}
