// Packs a file as a given format version writes it: how the fixtures of every version a build
// reads are made (tools/make_pack_fixtures.sh), including those of versions before the one the
// program writes, whose models every build keeps. The file is packed as the program packs a
// regular file: its length known, its access units mapped.
//
// Usage: aaczavrok_write_fixture VERSION INPUT OUTPUT [CHUNK_CAP]
// (CHUNK_CAP: the most bytes a chunk takes, so that a small sample is cut into several)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pack/driver/pack_file.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s VERSION INPUT OUTPUT [CHUNK_CAP]\n", argv[0]);
        return 2;
    }
    const unsigned version = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    std::FILE* in = std::fopen(argv[2], "rb");
    std::vector<std::uint8_t> data;
    for (int c; in != nullptr && (c = std::fgetc(in)) != EOF;) data.push_back(static_cast<std::uint8_t>(c));
    if (in == nullptr || std::ferror(in) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    std::fclose(in);
    MemorySource source{data.data(), data.size(), 0};
    MemorySource whole = source;
    const RandomReader reader{&whole, read_memory_at, data.size()};
    std::vector<std::uint8_t> packed;
    PackSettings settings;
    settings.threads = 1;
    settings.input_size = data.size();
    settings.format_version = version;
    if (argc == 5) settings.chunk_cap = static_cast<std::size_t>(std::strtoul(argv[4], nullptr, 10));
    PackReport report;
    const PackResult r = pack_input(memory_source(source), &reader, vector_sink(packed), settings, report);
    if (r != PACK_OK) {
        std::fprintf(stderr, "%s: %s\n", argv[2], report.message.c_str());
        return 1;
    }
    const std::string part = std::string(argv[3]) + ".part";
    std::FILE* out = std::fopen(part.c_str(), "wb");
    bool ok = out != nullptr && std::fwrite(packed.data(), 1, packed.size(), out) == packed.size();
    if (out != nullptr) ok = std::fclose(out) == 0 && ok;
    if (!ok || std::rename(part.c_str(), argv[3]) != 0) {
        std::perror(argv[3]);
        std::remove(part.c_str());
        return 1;
    }
    std::printf("%s: version %u, %zu -> %zu bytes, %llu units modelled\n", argv[3], version, data.size(), packed.size(),
                static_cast<unsigned long long>(report.stats.frames_modelled));
    return 0;
}
