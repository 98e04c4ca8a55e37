// The packed form's driver: a byte stream in, a packed stream out, and back. Input is read in
// a bounded window and never needs to be seekable or of known size; chunks are coded on the
// threads asked for (two by default), a bounded number at a time, and written in order. Packing decodes every chunk
// again and compares it with its input before writing it; unpacking checks every length
// against its bound before allocating and every checksum before reporting success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/container/unit_map.h"
#include "pack/io/byte_stream.h"
#include "pack/driver/chunk_method.h"
#include "pack/format/pack_format.h"
#include "pack/format/pack_result.h"

// What the packer asks of next_chunk_length: whole frames up to kPackChunkFrames, other bytes
// up to kPackOtherBytes, and never more than kPackChunkCap in one chunk.
constexpr std::size_t kPackChunkFrames = 2048;
// An input of known length is cut instead into an even number of chunks of about the same
// size, each near kPackChunkTarget bytes at most, so that the default two threads finish
// together; an input under twice kPackChunkAlone stays one chunk. Each cut costs what the
// models of the chunk after it have to learn again: from their trained start about 1.5 KB on
// music (0.01 points of a 10 MB file), so chunks are as long as the cap leaves room for, and a
// file under 2 MiB, coded in a third of a second, is not cut at all.
constexpr std::size_t kPackChunkTarget = 15u << 17;  // 1.875 MiB
constexpr std::size_t kPackChunkAlone = 1u << 20;
// The frame bytes per chunk for an input of input_size bytes (not 0), as cut above.
std::size_t chunk_target_bytes(std::uint64_t input_size);
constexpr std::size_t kPackOtherBytes = 1u << 20;
constexpr std::size_t kPackChunkCap = 2u << 20;

// The most a packed file of n input bytes takes with the default chunk cap, whatever the
// input: n + n/1000 + 1 KiB. Stored and zstd chunks are never longer than their input, so what
// the bound must pay for is the records: the packer cuts no chunk, but the input's last, whose
// record the input read so far cannot pay for (a chunk then takes at least 24,000 more bytes).
// Real files never come near it; a million tiny units or frames would.
constexpr std::uint64_t kPackBoundSlack = 1024;
constexpr std::uint64_t pack_bound(std::uint64_t n) {
    const std::uint64_t extra = n / 1000 + kPackBoundSlack;
    return n > ~std::uint64_t{0} - extra ? ~std::uint64_t{0} : n + extra;
}
struct PackSettings {
    unsigned threads = 2;  // 1 codes on the calling thread; at most kMaxWorkers are started
    ChunkCoder coder;
    std::size_t max_frames = kPackChunkFrames;
    std::size_t max_other_bytes = kPackOtherBytes;
    std::size_t chunk_cap = kPackChunkCap;  // at most kMaxChunkOriginal
    std::uint64_t input_size = 0;           // the input's length when known in advance, else 0
    // Packing: the format version to write, from kOldestReadableVersion on (a version before 3
    // has no chunks of units: a plan is not used). Only the fixtures of earlier versions are
    // written with another than the current one.
    unsigned format_version = kPackFormatVersion;
    bool stats_by_family = false;           // count the coded bits of each field family (report.stats)
    // When set (and its source not NONE), the input is a container (or a stream without frame
    // headers) whose access units lie where the plan says: chunks are cut between them and
    // coded as the container's bytes and those units, and no ADTS frames are looked for.
    const UnitPlan* plan = nullptr;
    // Called after each chunk written with the input bytes consumed so far and input_size
    // (optional; unpacking passes input_size on, as the packed input's length when known).
    void (*progress)(void* self, std::uint64_t bytes_in, std::uint64_t bytes_total) = nullptr;
    void* progress_self = nullptr;
    // Unpacking: called after each chunk written, in file order, with its method and its
    // original and packed (payload) lengths (optional; --list --verbose reports them).
    void (*chunk_done)(void* self, unsigned method, std::uint64_t original, std::uint64_t packed) = nullptr;
    void* chunk_done_self = nullptr;
    // Unpacking: the bytes the chunks in flight may take (each pipeline slot holds a chunk's
    // payload and its original), 0 for no limit; a chunk that would pass it ends the run.
    std::uint64_t memory_limit = 0;
};


struct PackReport {
    std::uint64_t original_bytes = 0;
    std::uint64_t packed_bytes = 0;  // the whole packed stream, headers included
    std::uint64_t chunks = 0;
    unsigned format_version = 0;  // unpacking: the version the file header names, once read
    std::uint64_t chunks_by_method[METHOD_COUNT] = {};
    std::uint64_t original_by_method[METHOD_COUNT] = {};
    std::uint64_t packed_by_method[METHOD_COUNT] = {};  // payload bytes, record headers excluded
    std::uint64_t frames = 0;                           // ADTS frames the codec found (packing)
    std::uint64_t frames_parsed = 0;  // packing: of those, frames the models could code, whichever method was kept
    std::uint64_t ts_streams = 0;     // packing: the most ADTS streams a chunk of transport stream packets held
    bool has_ts_adts = false;         // packing: first_adts is from such a chunk's elementary stream
    bool ts_latm = false;             // packing: and made of its LATM frames' configuration
    bool has_loas_adts = false;       // packing: a LOAS chunk's frames were coded, loas_adts made from the first's
    std::uint8_t loas_adts[7] = {};   // configuration
    std::uint64_t loas_frames = 0;    // packing: frames of chunks coded as LOAS streams
    PackStats stats;                                    // sum over the chunks coded by the model
    std::string units;  // packing: the container, stream or ADTS frames found, and how many the models coded
    std::uint8_t first_adts[7] = {};  // packing ADTS: the first frame's header, once frames >= 1
    int error = 0;                                      // errno of a read or write failure
    std::string message;                                // what went wrong, when the status is not 0
};

[[nodiscard]] PackResult pack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings,
                              PackReport& report);
[[nodiscard]] PackResult unpack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings,
                                PackReport& report);

// Packs an input as the program packs a file: when `whole` is given (the same input read at
// offsets), the access units of a container, an ADIF or a headerless stream are mapped first
// and the chunks cut between them; report.units then names what was found.
[[nodiscard]] PackResult pack_input(const ByteSource& in, const RandomReader* whole, const ByteSink& out,
                             const PackSettings& settings, PackReport& report);
