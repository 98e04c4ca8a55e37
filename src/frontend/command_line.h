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
    std::string outfile;                // -o X, or --stdout ("-")
    std::vector<std::string> operands;  // non-option arguments, in order
    bool pack = false;                  // -p was given
    bool unpack = false;                // -d was given (whether a -c followed or not)
    bool force = false;                 // -f: an existing output may be replaced
    bool quiet = false;                 // -q: no line per file
    bool recursive = false;             // -r: the files under folder operands
    bool remove_input = false;          // --rm: remove each input once its output is safe
    bool has_output_dir = false;        // --output-dir DIR
    std::string output_dir;
    bool verbose = false;               // --verbose: --list shows every chunk
    bool test = false;                  // --test
    bool list = false;                  // --list
    bool help = false;                  // --help
    bool version = false;               // -V
    bool pack_stats = false;            // --pack-stats: coded bits per field family after each line
    unsigned threads = 2;               // -T N; 0 stands for one per core, up to two
    std::string given;                  // the short name of every option applied, in order
    std::string errors;                 // the option errors, one line each, as they are printed
};

// Parses argv ("o:l:h:cdmvstpfkqrT:V" and the long names) into `cl`; option errors go to
// cl.errors with argv[0] in front. posixly_correct: POSIXLY_CORRECT is set, so parsing stops
// at the first non-option argument.
void parse_command_line(int argc, char** argv, bool posixly_correct, CommandLine& cl);

// True when name ends with suffix after at least one other character.
bool ends_with(const std::string& name, const char* suffix);

// The compiler's build date ("Mmm dd yyyy", blank-padded day) in the banner's form, with a
// two-digit day: "Mar  8 2005" gives "Mar 08 2005". Other texts are returned unchanged.
std::string normalise_build_date(const char* compiler_date);

void print_banner(std::FILE* err);
void print_usage(std::FILE* out, const std::string& program_name);
// "aaczavrok 0.1 alpha (packed format version 2)" and a newline.
void print_version(std::FILE* out);

// WAV name of an input: everything from its last "." removed (whole path searched), ".wav" added.
std::string wav_name_for(const std::string& input_name);

// What a decompression with these options asks of the rebuild.
RebuildSettings rebuild_settings(const Options& options);
