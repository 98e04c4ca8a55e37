// Command line: banner, usage, and option parsing with GNU getopt_long semantics and the
// program's own error texts.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "frontend/options.h"
#include "rebuild/decompress.h"

struct CommandLine {
    Options options;
    bool has_outfile = false;
    std::string outfile;                // -o X
    std::vector<std::string> operands;  // non-option arguments, in order
    bool pack = false;                  // -p: the packed form; -c and -d clear it
    bool force = false;                 // -f: an existing output may be replaced
    bool pack_stats = false;            // --pack-stats: coded bits per field family after each line
    std::string given;                  // the short name of every option applied, in order
};

// Parses argv ("o:l:h:cdmvstpf" and the long names) into `cl`; option errors are written to
// err with argv[0] and otherwise ignored. posixly_correct: POSIXLY_CORRECT is set, so
// parsing stops at the first non-option argument.
void parse_command_line(int argc, char** argv, bool posixly_correct, CommandLine& cl, std::FILE* err);

// The compiler's build date ("Mmm dd yyyy", blank-padded day) in the banner's form, with a
// two-digit day: "Mar  8 2005" gives "Mar 08 2005". Other texts are returned unchanged.
std::string normalise_build_date(const char* compiler_date);

void print_banner(std::FILE* err);
void print_usage(std::FILE* out, const std::string& program_name);

// WAV name of an input: everything from its last "." removed (whole path searched), ".wav" added.
std::string wav_name_for(const std::string& input_name);

// What a decompression with these options asks of the rebuild.
RebuildSettings rebuild_settings(const Options& options);
