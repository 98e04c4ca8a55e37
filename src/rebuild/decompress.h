// Decompression: rebuilds an ADTS file ("_rec.aac") from the data blocks of one file.
#pragma once

#include <cstdio>
#include <string>

#include "aac/status.h"
#include "rebuild/data_blocks.h"
#include "rebuild/frame_state.h"

// What a decompression run asks of the rebuild; the front end builds it from the command line.
struct RebuildSettings {
    bool block_files = false;         // -m: ".bin"/".csv" files instead of the ".swp" container
    bool read_bin_blocks = true;      // -v clears: read the ".csv" files only
    bool static_compression = false;  // -s
    bool static_tns = false;          // -t
    double cut_lo_hz = 0.0;           // -l: values below it were left out by compression
    double cut_hi_hz = 0.0;           // -h: likewise above it; 0 = half the sampling rate
};

// Everything one decompression run keeps: its settings, the data blocks, the frame record
// and the one-shot flags of the rebuild.
struct DecompressContext {
    RebuildSettings settings;
    // The cut-offs in force, resolved once per run at the first frame with a sampling rate
    // (a high cut-off of 0.0 becomes that half rate, a low one not below it 0.0); each
    // frame converts them to lines at its own rate.
    double cut_lo_hz = 0.0;
    double cut_hi_hz = 0.0;
    bool cut_resolved = false;
    DataBlocks blocks;
    FrameState state;
    int first_block = 1;         // STC fields of the mono header come with the first frame only (-s)
    int first_window_shape = 1;  // window_shape comes with the first ics_info only (-s)
    int adts_first_frame = 1;    // id, profile, sf_index, channel_configuration once (-s)
    std::FILE* out = nullptr;    // where the program's messages go (standard output)
    std::FILE* err = nullptr;    // where output failures are reported (standard error)
    // Set by a writer that met data it cannot carry: kStatusWrongIcsInfo stops the whole run
    // (after its message, with exit status 1); any other code leaves the frame out of the
    // output with the code's text, and the run goes on with the next frame.
    Status frame_status = kStatusOk;
};

// The name of the rebuilt file: with -m the name given is a base, otherwise a ".swp" name
// whose extension is replaced.
std::string rebuilt_name(const std::string& name, const RebuildSettings& settings);

// Runs one decompression of `name` with `settings`. Returns the process exit status: 0 when
// the run reached its end, 1 when a data block is missing or malformed, the output cannot
// be created or written ("Error: couldn't ..." with the reason, on err), or the ICSI data
// are malformed ("Wrong ICSInfo structure"). The output is written under a temporary name
// and takes its own name only when the status is 0; otherwise an earlier file of that name
// stays as it was.
int decompress_file(const std::string& name, const RebuildSettings& settings, std::FILE* out, std::FILE* err = stderr);
