// Entry points of the fuzz targets, shared by the libFuzzer binaries and the corpus replay
// test. Each writes the input bytes to files in a private folder and runs the same driver
// the program runs, with its messages sent to /dev/null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a replayed input led to, for the replay test's invariants.
struct FuzzOutcome {
    int compress_status = -1;    // compress_file's result; -1 when compression did not run
    int decompress_status = -1;  // decompress_file's result; -1 when decompression did not run
    long rebuilt_frames = -1;    // whole ADTS frames of "_rec.aac"; -1: missing or not whole frames
    long wav_frames = -1;        // 1024-sample frames of the WAV; -1: no WAV
};

// Byte 0 chooses the options (bit 0 -m, bit 1 -s, bit 2 -t, bit 3 -h 11025, bit 4 -l 3000);
// the rest is the AAC input. Compression is followed by decompression of what it wrote.
int fuzz_compress(const std::uint8_t* data, std::size_t size);
// Byte 0 chooses -s/-t/-l/-h as above; the rest is a ".swp" container.
int fuzz_decompress_swp(const std::uint8_t* data, std::size_t size);
// Byte 0 as above; then nine 2-byte little-endian lengths, then the nine ".bin" files.
int fuzz_decompress_bin(const std::uint8_t* data, std::size_t size);
// Byte 0 as above; then ten 2-byte little-endian lengths, then the ten ".csv" files.
int fuzz_decompress_csv(const std::uint8_t* data, std::size_t size);

// The ADTS frames of a rebuilt file when their lengths tile it exactly; -1 when the file
// is missing or its frames do not fit together.
long whole_adts_frames(const std::string& name);

// The same runs, reporting what happened.
FuzzOutcome run_compress(const std::uint8_t* data, std::size_t size);
FuzzOutcome run_decompress_swp(const std::uint8_t* data, std::size_t size);
FuzzOutcome run_decompress_bin(const std::uint8_t* data, std::size_t size);
FuzzOutcome run_decompress_csv(const std::uint8_t* data, std::size_t size);
// The packed form, in memory. Each returns 0 when its invariant holds and 1 when it does not
// (the libFuzzer binaries stop on 1; the corpus replay expects 0 for every saved input).
// Unpacking arbitrary bytes: success only when the bytes end in an end record whose length and
// checksum are those of what came out.
int fuzz_unpack(const std::uint8_t* data, std::size_t size);
// Packing arbitrary bytes and unpacking the result gives them back; bit 0 of byte 0 chooses
// small chunks (more chunk records and cuts inside frames).
int fuzz_pack_round_trip(const std::uint8_t* data, std::size_t size);
// The library's streaming unpacker fed the bytes in pieces, and handing its output over in
// pieces, whose sizes the bytes themselves give (byte i % size chooses step i's): it must
// agree with the one-shot unpack on the result, the message and every byte.
int fuzz_unpack_stream(const std::uint8_t* data, std::size_t size);
