// Fuzz entry points: arbitrary bytes through the program's own drivers.
#include "targets.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <xxhash.h>

#include "frontend/compress.h"
#include "pack/pack_file.h"
#include "rebuild/decompress.h"
#include "streams/block_files.h"

namespace {

const std::string& work_dir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/aaczavrok-fuzz-XXXXXX";
        const char* p = mkdtemp(tmpl);
        return std::string(p != nullptr ? p : "/tmp");
    }();
    return dir;
}

void write_bytes(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

Options options_from(std::uint8_t flags) {
    Options o;
    o.block_files = flags & 1;
    o.static_compression = (flags >> 1) & 1;
    o.static_tns = (flags >> 2) & 1;
    if (flags & 8) o.cutfreqhi = 11025.0;
    if (flags & 16) o.cutfreqlo = 3000.0;
    o.program_name = "aaczavrok";
    return o;
}

struct Quiet {
    std::FILE* sink = std::fopen("/dev/null", "w");
    ~Quiet() {
        if (sink != nullptr) std::fclose(sink);
    }
};

// Splits data (after the flag byte) into `count` files named by `suffix`, each preceded in
// the header by its 2-byte length.
void write_parts(const std::uint8_t* data, std::size_t size, int count, const char* const* suffix,
                 const std::string& base) {
    std::size_t header = 1 + 2 * static_cast<std::size_t>(count);
    std::size_t pos = header < size ? header : size;
    for (int i = 0; i < count; ++i) {
        std::size_t len = 0;
        const std::size_t at = 1 + 2 * static_cast<std::size_t>(i);
        if (at + 1 < size) len = data[at] | (static_cast<std::size_t>(data[at + 1]) << 8);
        if (len > size - pos) len = size - pos;
        write_bytes(base + suffix[i], data + pos, len);
        pos += len;
    }
}

}  // namespace

int fuzz_compress(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Quiet quiet;
    const std::string input = work_dir() + "/in.aac";
    write_bytes(input, data + 1, size - 1);
    Options options = options_from(data[0]);
    const int r = compress_file(input, work_dir() + "/in.wav", options, quiet.sink, quiet.sink);
    if (r == 0 || r > 1) {
        Options back = options_from(data[0]);
        back.compress = 0;
        decompress_file(options.block_files ? work_dir() + "/in" : work_dir() + "/in.swp", back, quiet.sink);
    }
    return 0;
}

int fuzz_decompress_swp(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    Quiet quiet;
    const std::string name = work_dir() + "/d.swp";
    write_bytes(name, data + 1, size - 1);
    Options options = options_from(data[0]);
    options.block_files = 0;
    options.compress = 0;
    decompress_file(name, options, quiet.sink);
    return 0;
}

// Decompression of data-block files cut out of the input by the 2-byte length header.
static int decompress_parts(const std::uint8_t* data, std::size_t size, int count, const char* const* suffix,
                     const std::string& base, int read_bin_blocks) {
    if (size < 1) return 0;
    Quiet quiet;
    write_parts(data, size, count, suffix, base);
    Options options = options_from(data[0]);
    options.block_files = 1;
    options.read_bin_blocks = read_bin_blocks;
    options.compress = 0;
    decompress_file(base, options, quiet.sink);
    return 0;
}

int fuzz_decompress_bin(const std::uint8_t* data, std::size_t size) {
    return decompress_parts(data, size, kStreamCount, kBinSuffix, work_dir() + "/b", 1);
}

int fuzz_decompress_csv(const std::uint8_t* data, std::size_t size) {
    return decompress_parts(data, size, kListCount, kCsvSuffix, work_dir() + "/v", 0);
}

int fuzz_unpack(const std::uint8_t* data, std::size_t size) {
    PackSettings settings;
    settings.threads = 1;
    MemorySource src{data, size, 0};
    std::vector<std::uint8_t> out;
    PackReport report;
    if (unpack_stream(memory_source(src), vector_sink(out), settings, report) != PACK_OK) return 0;
    // Read the end record here rather than trust the unpacker's own reading of it.
    if (size < kFileHeaderSize + kEndRecordSize) return 1;
    const std::uint8_t* end = data + size - kEndRecordSize;
    if (end[0] != kEndTag || get_le(end + 8, 8) != out.size()) return 1;
    return get_le(end + 24, 8) == XXH3_64bits(out.data(), out.size()) ? 0 : 1;
}

int fuzz_pack_round_trip(const std::uint8_t* data, std::size_t size) {
    PackSettings settings;
    settings.threads = 1;
    if (size > 0 && (data[0] & 1) != 0) {
        settings.chunk_cap = 512;
        settings.max_frames = 2;
        settings.max_other_bytes = 100;
    }
    MemorySource src{data, size, 0};
    std::vector<std::uint8_t> packed, back;
    PackReport report;
    if (pack_stream(memory_source(src), vector_sink(packed), settings, report) != PACK_OK) return 1;
    MemorySource again{packed.data(), packed.size(), 0};
    if (unpack_stream(memory_source(again), vector_sink(back), settings, report) != PACK_OK) return 1;
    return back.size() == size && (size == 0 || std::memcmp(back.data(), data, size) == 0) ? 0 : 1;
}
