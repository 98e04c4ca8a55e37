// Packs a file with one ADTS frame (or at most 64 other bytes) per chunk: a legal packed file
// whose chunks are as small as the format lets them be, for measuring what a chunk costs to
// set up when unpacking. Built and run by bench/pack_bench.sh.
//
// Usage: make_tiny_chunks IN OUT [FRAMES per chunk, default 1]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "pack/driver/pack_file.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: make_tiny_chunks IN OUT [FRAMES]\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    PackSettings settings;
    settings.max_frames = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1;
    settings.max_other_bytes = 64;
    std::vector<std::uint8_t> packed;
    MemorySource source{data.data(), data.size(), 0};
    PackReport report;
    if (pack_stream(memory_source(source), vector_sink(packed), settings, report) != 0) {
        std::fprintf(stderr, "make_tiny_chunks: %s\n", report.message.c_str());
        return 1;
    }
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(packed.data()),
                                                   static_cast<std::streamsize>(packed.size()));
    std::printf("%llu chunks, %llu of them modelled, %zu -> %llu bytes\n",
                static_cast<unsigned long long>(report.chunks),
                static_cast<unsigned long long>(report.chunks_by_method[METHOD_MODEL]), data.size(),
                static_cast<unsigned long long>(report.packed_bytes));
    return 0;
}
