// The packed form on the command line: -p packs each file into FILE.aaz, -d unpacks packed
// files. Each file gets one line on standard error; a file that fails leaves no output behind
// and the run goes on with the next one.
#pragma once

#include <cstdio>

#include "frontend/command_line.h"

// True when this command line is for the packed form: -p, or -d whose first operand is
// standard input, ends in ".aaz" or starts with the packed-file magic number. Any other -d
// stays with the data-block decompression.
bool is_pack_command(const CommandLine& cl);

// Packs or unpacks every operand. Returns the exit status: 0 only when every file was packed
// and verified, or unpacked and checked; 1 otherwise.
int run_pack_command(const CommandLine& cl, std::FILE* err);
