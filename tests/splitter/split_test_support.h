// Test support for the splitter: a bit writer to craft frames, and a stream set whose
// bits and CSV values the tests can read back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "splitter/splitter.h"
#include "support/bit_writer.h"
#include "support/test_util.h"
#include "streams/stream_set.h"

// A ".bin"/".csv" stream set whose CSV lists go to temporary files.
struct Capture {
    TempDir dir;
    StreamSet set;
    explicit Capture(std::uint64_t input_length = 1 << 16) {
        streamset_build(set, 1, input_length, 1);
        for (int l = 0; l < kListCount; ++l)
            static_cast<void>(open_output(set.csv[l].file, dir.file(std::to_string(l) + ".csv"), true));
    }
    ~Capture() {
        for (CsvOut& out : set.csv) discard_output(out.file);
        streamset_release(set);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // The bits of a stream as '0'/'1' text.
    std::string bits(int stream) const {
        std::string s;
        const BitSink& sink = set.sinks[stream];
        for (std::uint64_t i = 0; i < stream_bits(set, stream); ++i)
            s.push_back(((sink.buffer[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0');
        return s;
    }
};
