// Program entry: banner, options, the MP4 refusal, and the choice of driver.
#include "frontend/app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/command_line.h"
#include "frontend/compress.h"
#include "frontend/pack_command.h"
#include "rebuild/decompress.h"

int run_main(int argc, char** argv) {
    // The packed form prints one line per file and no banner, so the choice is made on a
    // silent parse; the parse that reports option errors follows the banner as before.
    CommandLine route;
    parse_command_line(argc, argv, std::getenv("POSIXLY_CORRECT") != nullptr, route, nullptr);
    if (is_pack_command(route)) {
        CommandLine pack_cl;
        parse_command_line(argc, argv, std::getenv("POSIXLY_CORRECT") != nullptr, pack_cl, stderr);
        return run_pack_command(pack_cl, stderr);
    }

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
        return decompress_file(input_name, cl.options, stdout);
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
