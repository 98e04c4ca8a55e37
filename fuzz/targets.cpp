// Fuzz entry points: arbitrary bytes through the program's own drivers.
#include "targets.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <xxhash.h>

#include "aaczavrok.h"
#include "frontend/command_line.h"
#include "frontend/compress.h"
#include "pack/model/chunk_codec.h"
#include "pack/driver/pack_file.h"
#include "pack/container/unit_map.h"
#include "rebuild/decompress.h"
#include "streams/block_files.h"

namespace {

// The process's scratch folder, removed with what it holds when the process ends (the test
// binary replays the fuzz seeds: each run of it left one behind).
struct WorkDir {
    std::string path = "/tmp";
    WorkDir() {
        char tmpl[] = "/tmp/aaczavrok-fuzz-XXXXXX";
        if (const char* p = mkdtemp(tmpl); p != nullptr) path = p;
    }
    ~WorkDir() {
        std::error_code ignored;
        if (path != "/tmp") std::filesystem::remove_all(path, ignored);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
};

const std::string& work_dir() {
    static const WorkDir dir;
    return dir.path;
}

void write_bytes(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return;
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

// The 1024-sample frames of a WAV file of 16-bit samples; -1 without one.
long wav_frames(const std::string& name) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return -1;
    std::uint8_t header[44] = {};
    const bool whole = std::fread(header, 1, sizeof header, f) == sizeof header;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    const unsigned channels = header[22] | (header[23] << 8);
    if (!whole || channels == 0 || size < 44) return -1;
    return (size - 44) / (2 * 1024 * static_cast<long>(channels));
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

// The ADTS frames of a rebuilt file when their lengths tile it exactly; -1 when the file
// is missing or its frames do not fit together.
long whole_adts_frames(const std::string& name) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return -1;
    std::string bytes;
    char buf[1 << 14];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    std::fclose(f);
    long frames = 0;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data()) + pos;
        if (bytes.size() - pos < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return -1;
        const std::size_t length = ((p[3] & 3u) << 11) | (p[4] << 3) | (p[5] >> 5);
        if (length < 7 || length > bytes.size() - pos) return -1;
        pos += length;
        ++frames;
    }
    return frames;
}

FuzzOutcome run_compress(const std::uint8_t* data, std::size_t size) {
    FuzzOutcome outcome;
    if (size < 1) return outcome;
    Quiet quiet;
    const std::string dir = work_dir();
    for (const char* old : {"/in.wav", "/in.swp", "/in_rec.aac"}) std::remove((dir + old).c_str());
    const std::string input = dir + "/in.aac";
    write_bytes(input, data + 1, size - 1);
    Options options = options_from(data[0]);
    outcome.compress_status = compress_file(input, dir + "/in.wav", options, quiet.sink, quiet.sink);
    outcome.wav_frames = wav_frames(dir + "/in.wav");
    // compress_file's 1 (nothing could start) shares its number with a library code.
    if (outcome.compress_status == 0 || outcome.compress_status > 1) {
        const Options back = options_from(data[0]);
        outcome.decompress_status =
            decompress_file(options.block_files ? dir + "/in" : dir + "/in.swp", rebuild_settings(back), quiet.sink);
        outcome.rebuilt_frames = whole_adts_frames(dir + "/in_rec.aac");
    }
    return outcome;
}

int fuzz_compress(const std::uint8_t* data, std::size_t size) {
    run_compress(data, size);
    return 0;
}

namespace {

FuzzOutcome run_decompress(const std::string& name, const Options& options) {
    Quiet quiet;
    FuzzOutcome outcome;
    const std::string output = (options.block_files ? name : name.substr(0, name.size() - 4)) + "_rec.aac";
    std::remove(output.c_str());
    outcome.decompress_status = decompress_file(name, rebuild_settings(options), quiet.sink);
    outcome.rebuilt_frames = whole_adts_frames(output);
    return outcome;
}

// Decompression of data-block files cut out of the input by the 2-byte length header.
FuzzOutcome decompress_parts(const std::uint8_t* data, std::size_t size, int count, const char* const* suffix,
                             const std::string& base, int read_bin_blocks) {
    if (size < 1) return FuzzOutcome{};
    write_parts(data, size, count, suffix, base);
    Options options = options_from(data[0]);
    options.block_files = 1;
    options.read_bin_blocks = read_bin_blocks;
    return run_decompress(base, options);
}

}  // namespace

FuzzOutcome run_decompress_swp(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return FuzzOutcome{};
    const std::string name = work_dir() + "/d.swp";
    write_bytes(name, data + 1, size - 1);
    Options options = options_from(data[0]);
    options.block_files = 0;
    return run_decompress(name, options);
}

FuzzOutcome run_decompress_bin(const std::uint8_t* data, std::size_t size) {
    return decompress_parts(data, size, kStreamCount, kBinSuffix, work_dir() + "/b", 1);
}

FuzzOutcome run_decompress_csv(const std::uint8_t* data, std::size_t size) {
    return decompress_parts(data, size, kListCount, kCsvSuffix, work_dir() + "/v", 0);
}

int fuzz_decompress_swp(const std::uint8_t* data, std::size_t size) {
    run_decompress_swp(data, size);
    return 0;
}

int fuzz_decompress_bin(const std::uint8_t* data, std::size_t size) {
    run_decompress_bin(data, size);
    return 0;
}

int fuzz_decompress_csv(const std::uint8_t* data, std::size_t size) {
    run_decompress_csv(data, size);
    return 0;
}

int fuzz_unpack(const std::uint8_t* data, std::size_t size) {
    // The chunk codec also meets the bytes as a payload of its own, past the record checks and
    // checksums that keep damage away from it in a file: the first two bytes give the length
    // to decode. Whatever it decodes, it must stay inside that length and end.
    if (size >= 2) {
        std::vector<std::uint8_t> chunk(static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8);
        static_cast<void>(decode_chunk(data + 2, size - 2, chunk.data(), chunk.size()));
        static_cast<void>(decode_chunk(data + 2, size - 2, chunk.data(), chunk.size(), true));
    }
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
    // The bytes after the first are packed as the program packs a file: a container or a
    // stream without frame headers gives the units the driver is to cut between.
    const std::uint8_t* body = size > 0 ? data + 1 : data;
    const std::size_t body_size = size > 0 ? size - 1 : 0;
    PackSettings settings;
    settings.threads = 1;
    if (size > 0 && (data[0] & 1) != 0) {
        settings.chunk_cap = 512;
        settings.max_frames = 2;
        settings.max_other_bytes = 100;
    }
    // The length the front end passes for a regular file, right or (as when the file changes
    // while it is read) wrong: the second byte says which.
    if (size > 1 && (data[0] & 2) != 0) settings.input_size = (data[1] & 1) != 0 ? body_size : 1u + data[1] * 16u;
    MemorySource src{body, body_size, 0};
    MemorySource whole{body, body_size, 0};
    const RandomReader reader{&whole, read_memory_at, body_size};
    std::vector<std::uint8_t> packed, back;
    PackReport report;
    if (pack_input(memory_source(src), &reader, vector_sink(packed), settings, report) != PACK_OK) return 1;
    MemorySource again{packed.data(), packed.size(), 0};
    if (unpack_stream(memory_source(again), vector_sink(back), settings, report) != PACK_OK) return 1;
    return back.size() == body_size && (body_size == 0 || std::memcmp(back.data(), body, body_size) == 0) ? 0 : 1;
}

namespace {

// A piece size for step i, from the input's own bytes: mostly short pieces, now and then one
// of several kilobytes, and (when zero_ok) sometimes none at all.
std::size_t piece_size(const std::uint8_t* data, std::size_t size, std::size_t i, bool zero_ok) {
    const std::uint8_t b = size == 0 ? 0 : data[i % size];
    if (b >= 0xF0) return 4099u * (b & 0x0F) + 1;
    if (zero_ok && (b & 0x0F) == 0) return 0;
    return (b & 0x1F) + 1u;
}

}  // namespace

int fuzz_unpack_stream(const std::uint8_t* data, std::size_t size) {
    aaz_options options;
    aaz_options_init(&options);
    options.threads = 1;
    // The one-shot call, with room for what the end record promises (bounded), or for 1 MiB
    // when it promises nothing; left uninitialised, as a caller's buffer may be.
    std::uint64_t promised = 0;
    if (aaz_unpacked_size(data, size, &promised) != AAZ_OK) promised = 1u << 20;
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(promised, 64u << 20));
    std::unique_ptr<std::uint8_t[]> whole(new std::uint8_t[room + 1]);
    std::size_t whole_size = 0;
    aaz_info one;
    aaz_info_init(&one);
    const int r1 = aaz_unpack(&options, data, size, whole.get(), room, &whole_size, &one);

    aaz_stream* s = nullptr;
    if (aaz_unpack_begin(&s, &options) != AAZ_OK) return 1;
    std::vector<std::uint8_t> out, piece;
    std::size_t at = 0, step = 0;
    int r2 = AAZ_OK;
    while (r2 == AAZ_OK && at < size) {
        const std::size_t n = std::min(size - at, piece_size(data, size, step++, false));
        piece.resize(piece_size(data, size, step++, true));
        std::size_t used = 0, written = 0;
        r2 = aaz_unpack_update(s, data + at, n, &used, piece.data(), piece.size(), &written);
        at += used;
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(written));
    }
    while (r2 == AAZ_OK || r2 == AAZ_MORE_OUTPUT) {
        piece.resize(std::max<std::size_t>(1, piece_size(data, size, step++, true)));
        std::size_t written = 0;
        const int r = aaz_unpack_finish(s, piece.data(), piece.size(), &written);
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(written));
        r2 = r;
        if (r == AAZ_OK) break;
    }
    aaz_info streamed;
    aaz_info_init(&streamed);
    const bool info_ok = aaz_stream_info(s, &streamed) == AAZ_OK;
    // Once failed or finished, the context says so and takes nothing more.
    std::size_t used = 0, written = 0;
    const bool closed = aaz_unpack_update(s, data, size, &used, nullptr, 0, &written) == AAZ_STREAM_FAILED;
    aaz_stream_end(s);
    if (!info_ok || !closed) return 1;
    if (r1 == AAZ_OUTPUT_TOO_SMALL) return r2 == AAZ_OK && out.size() <= room ? 1 : 0;
    if (r1 != r2 || std::strcmp(one.message, streamed.message) != 0) return 1;
    if (r1 != AAZ_OK) return 0;
    return out.size() == whole_size && (whole_size == 0 || std::memcmp(out.data(), whole.get(), whole_size) == 0) &&
                   streamed.chunks == one.chunks && streamed.original_bytes == one.original_bytes
               ? 0
               : 1;
}
