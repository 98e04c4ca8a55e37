// Program entry: the command line, parsed once, chooses the packed form or the data-block
// modes; for the latter the banner, the MP4 and packed-file refusals, the checks that keep
// inputs safe from outputs, and the exit status.
#include "frontend/app.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aaczavrok.h"
#include "frontend/command_line.h"
#include "frontend/compress.h"
#include "frontend/pack_command.h"
#include "rebuild/decompress.h"
#include "streams/block_files.h"
#include "streams/output_file.h"

namespace {

// Refuses a run whose output would replace one of its inputs, or two outputs that are one
// file, before anything is created. Returns 0, or 1 after the message.
int check_outputs(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (const std::string& input : inputs) {
            if (!same_file(outputs[i], input)) continue;
            std::fprintf(stderr, "Error: the output %s would replace the input %s; nothing was written\n",
                         outputs[i].c_str(), input.c_str());
            if (ends_with(input, ".swp")) std::fprintf(stderr, "(A .swp file is decompressed with -d.)\n");
            return 1;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!same_file(outputs[i], outputs[j])) continue;
            std::fprintf(stderr, "Error: the outputs %s and %s are the same file; nothing was written\n",
                         outputs[j].c_str(), outputs[i].c_str());
            return 1;
        }
    }
    return 0;
}

// The data-block files a decompression reads: the container, or every ".bin" and ".csv" file
// of the base name.
std::vector<std::string> decompression_inputs(const std::string& name, const Options& options) {
    if (!options.block_files) return {name};
    std::vector<std::string> inputs;
    for (const char* suffix : kCsvSuffix) inputs.push_back(name + suffix);
    for (const char* suffix : kBinSuffix) inputs.push_back(name + suffix);
    return inputs;
}

// Compression of one file. Its first bytes are looked at first: an MP4 file and a packed
// file are refused before anything is created.
int run_compression(CommandLine& cl) {
    const std::string& input_name = cl.operands[0];
    const std::string wav_name = cl.has_outfile ? cl.outfile : wav_name_for(input_name);
    std::FILE* probe = std::fopen(input_name.c_str(), "rb");
    if (probe == nullptr) {
        std::fprintf(stderr, "Error opening file: %s\n", input_name.c_str());
        return 1;
    }
    unsigned char head[8] = {};  // "....ftyp", or the packed-file magic number
    static_assert(sizeof head >= AAZ_MAGIC_SIZE, "the head holds the magic number");
    const std::size_t got = std::fread(head, 1, sizeof head, probe);
    std::fclose(probe);
    if (got == sizeof head && std::memcmp(head + 4, "ftyp", 4) == 0) {
        std::fprintf(stderr, "STOP!\n");
        std::fprintf(stderr, "This version of AAC Zavrok doesn't work with MP4 audio files.\n");
        return 1;
    }
    if (aaz_is_packed(head, got)) {
        std::fprintf(stderr, "Error: %s is a packed file; unpack it with -d\n", input_name.c_str());
        return 1;
    }

    // A name starting with '-' is the standard output, which is never one of the named files.
    const bool wav_to_stdout = !wav_name.empty() && wav_name[0] == '-';
    if (wav_to_stdout && isatty(STDOUT_FILENO)) {
        std::fprintf(stderr,
                     "Error: refusing to write WAV data to a terminal; redirect the standard output or give -o a "
                     "file name\n");
        return 1;
    }
    std::vector<std::string> outputs = block_file_names(cl.options.block_files, input_name);
    if (!wav_to_stdout) outputs.insert(outputs.begin(), wav_name);
    if (check_outputs({input_name}, outputs) != 0) return 1;

    switch (compress_file(input_name, wav_name, cl.options, stderr, stdout)) {
        case COMPRESS_OK:
            std::fprintf(stderr, "\n\n Complete!\n");  // the console title is a no-op here
            return 0;
        case COMPRESS_STOPPED_EARLY: return 2;
        case COMPRESS_STATIC_STOP: return 255;
        default: return 1;
    }
}

// The data-block modes: the banner, the option errors (reported, otherwise ignored), and one
// input file.
int run_data_blocks(CommandLine& cl) {
    print_banner(stderr);
    std::fputs(cl.errors.c_str(), stderr);
    if (cl.recursive || cl.remove_input || cl.has_output_dir) {
        std::fprintf(stderr, "Error: %s is for the packed form (-p, -d of a packed file, --test, --list); nothing was done\n",
                     cl.remove_input ? "--rm" : cl.recursive ? "-r" : "--output-dir");
        return 1;
    }
    if (cl.operands.empty()) {
        print_usage(stdout, cl.options.program_name);
        return 1;
    }
    if (cl.operands.size() > 1) {
        std::fprintf(stderr, "Error: one input file at a time, but %s was given after %s; nothing was written\n",
                     cl.operands[1].c_str(), cl.operands[0].c_str());
        return 1;
    }
    if (cl.options.compress) return run_compression(cl);

    const std::string& input_name = cl.operands[0];
    const RebuildSettings settings = rebuild_settings(cl.options);
    if (check_outputs(decompression_inputs(input_name, cl.options), {rebuilt_name(input_name, settings)}) != 0)
        return 1;
    std::fflush(stderr);
    return decompress_file(input_name, settings, stdout, stderr);
}

}  // namespace

int run_main(int argc, char** argv) {
    install_output_cleanup();
    CommandLine cl;
    parse_command_line(argc, argv, std::getenv("POSIXLY_CORRECT") != nullptr, cl);
    if (cl.help) {
        print_usage(stdout, cl.options.program_name);
        return 0;
    }
    if (cl.version) {
        print_version(stdout);
        return 0;
    }
    const PackedMode mode = packed_mode(cl);
    if (mode != PACKED_NONE) return run_pack_command(cl, mode, stderr, stdout);
    return run_data_blocks(cl);
}
