// Program entry: banner, options, the MP4 refusal, and the choice of driver.
#include "frontend/app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/command_line.h"
#include "frontend/compress.h"
#include "rebuild/decompress.h"

namespace {

RebuildSettings rebuild_settings(const Options& options) {
    RebuildSettings s;
    s.block_files = options.block_files != 0;
    s.read_bin_blocks = options.read_bin_blocks != 0;
    s.static_compression = options.static_compression != 0;
    s.static_tns = options.static_tns != 0;
    s.cut_lo_hz = options.cutfreqlo;
    s.cut_hi_hz = options.cutfreqhi;
    return s;
}

}  // namespace

int run_main(int argc, char** argv) {
    print_banner(stderr);
    CommandLine cl;
    parse_command_line(argc, argv, std::getenv("POSIXLY_CORRECT") != nullptr, cl, stderr);
    if (cl.operands.empty()) {
        print_usage(stdout, cl.options.program_name);
        return 1;
    }
    const std::string& input_name = cl.operands[0];
    if (!cl.options.compress) {
        std::fflush(stderr);
        return decompress_file(input_name, rebuild_settings(cl.options), stdout);
    }

    const std::string wav_name = cl.has_outfile ? cl.outfile : wav_name_for(input_name);
    std::FILE* probe = std::fopen(input_name.c_str(), "rb");
    if (probe == nullptr) {
        std::fprintf(stderr, "Error opening file: %s\n", input_name.c_str());
        return 1;
    }
    unsigned char head[8] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, probe);
    std::fclose(probe);
    if (got == sizeof head && std::memcmp(head + 4, "ftyp", 4) == 0) {
        std::fprintf(stderr, "STOP!\n");
        std::fprintf(stderr, "This version of AAC Zavrok doesn't work with MP4 audio files.\n");
        return 1;
    }

    const int result = compress_file(input_name, wav_name, cl.options, stderr, stdout);
    if (result == kCompressStaticStop) return -1;
    if (result == 0) std::fprintf(stderr, "\n\n Complete!\n");  // the console title is a no-op here
    return 0;
}
