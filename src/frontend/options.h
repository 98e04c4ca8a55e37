// Settings of one run, filled from the command line and read by both drivers.
#pragma once

#include <string>

struct Options {
    int compress = 1;          // -c sets 1, -d sets 0
    int block_files = 0;       // -m: ".bin"/".csv" files instead of one ".swp" container
    int read_bin_blocks = 1;   // -v clears: decompression reads the ".csv" files only
    double cutfreqlo = 0.0;    // -l, Hz
    double cutfreqhi = 0.0;    // -h, Hz; 0.0 stands for half the sampling rate
    int static_compression = 0;  // -s
    int static_tns = 0;          // -t
    std::string program_name;
};
