// The packed form on the command line: -p packs each file into FILE.aaz, -d unpacks packed
// files, --test checks them and --list describes them. Each file gets one line; a file that
// fails leaves no output behind and the run goes on with the next one.
#pragma once

#include <cstdio>

#include "frontend/command_line.h"

enum PackedMode {
    PACKED_NONE,    // the data-block modes
    PACKED_PACK,    // -p
    PACKED_UNPACK,  // -d of a packed file
    PACKED_TEST,    // --test
    PACKED_LIST,    // --list
};

// Which run of the packed form this command line asks for. -d is the packed form's when it
// names no file and no data-block option, or when its first file is standard input, ends in
// ".aaz" or starts with the packed-file magic number, whatever -c or -p stands beside it; any
// other -d stays with the data-block decompression.
PackedMode packed_mode(const CommandLine& cl);

// Checks the command line strictly (an option error, an option of the data-block modes or a
// file too many ends the run before anything is written), then handles every file. Lines
// go to err, the listing to out. Returns the exit status: 0 when every file was done; 1
// after any failure; 2 when files were skipped as already packed and nothing failed.
int run_pack_command(const CommandLine& cl, PackedMode mode, std::FILE* err, std::FILE* out);
