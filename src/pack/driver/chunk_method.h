// How each chunk is carried: the choice of its method when packing (the chunk codec's model,
// zstd, or the bytes as they are), the check that what was chosen decodes back to the input,
// and the decoding of a payload by its method when unpacking. A job here is one chunk on one
// thread of the pipeline.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/container/loas_frames.h"
#include "pack/container/ts_packets.h"
#include "pack/model/chunk_codec.h"
#include "pack/model/generations.h"
#include "pack/format/pack_format.h"
#include "pack/format/pack_stats.h"

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

// zstd for bytes the model does not take. The level's tables are sized for a 1 MiB source
// whatever the chunk's size: the compressor then takes about 14 MiB.
constexpr int kPackZstdLevel = 19;

// The chunk codec the driver uses; tests put a faulty one in its place to see that packing
// refuses to keep what it cannot decode back, or that a build whose models cannot start
// refuses to run.
struct ChunkCoder {
    std::string (*fault)() = generations_fault;
    PackResult (*encode)(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload, PackStats* stats,
                  bool check_frames, const std::vector<ChunkUnit>* units, unsigned version,
                  bool runs_apart) = encode_chunk;
    PackResult (*decode)(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out, std::size_t original_size,
                  bool units, UnitTrace* trace, unsigned version, bool runs_apart) = decode_chunk;
};

// One zstd compressor for a whole run, used by one thread at a time and made when first
// needed. Its tables are the largest single use of memory in packing; one per thread would
// take most of the memory bound on inputs that need zstd on both threads at once.
struct SharedZstd {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    ZSTD_CCtx_s* cctx = nullptr;
    SharedZstd() = default;
    SharedZstd(const SharedZstd&) = delete;
    SharedZstd& operator=(const SharedZstd&) = delete;
    ~SharedZstd();
};

struct PackJob {
    const ChunkCoder* coder = nullptr;
    SharedZstd* zstd = nullptr;
    std::vector<std::uint8_t> original;
    std::uint64_t offset = 0;           // of original in the input
    std::vector<ChunkUnit> units;       // the access units and size tables of a container chunk
    bool container = false;             // the chunk is cut from a container: code it as units
    bool ts = false;                    // the chunk is transport stream packets laid out as ts says
    TsLayout ts_layout;                 // its lead and packet size (the PIDs are found per chunk)
    bool loas = false;                  // the chunk is a LOAS stream's
    LatmConfig latm;                    // the stream mux configuration in effect at its start
    std::uint8_t first_adts[7] = {};    // of a chunk of two streams: its elementary stream's first
    bool has_first_adts = false;        // ADTS header, for the run's line
    bool latm_inside = false;           // of transport stream packets: that header is of LATM frames
    std::size_t first_unit = 0;         // of its access units, the first one's index in the input's
    std::vector<std::uint8_t> payload;  // model or zstd bytes; empty when stored
    std::uint8_t method = METHOD_STORED;
    std::uint64_t checksum = 0;
    PackStats stats;
    bool by_family = false;
    bool verify_failed = false;
    bool reaches_back = false;              // a zstd payload made with the bytes before the chunk
    bool keeps = false;                     // the bytes from this chunk on are kept to reach back into
    unsigned version = kPackFormatVersion;  // the format version whose models code the chunk
};

// A packing thread's own buffer: the chunk decoded back, to compare with its input, or zstd's
// attempt at a chunk the model already took.
// zstd at its fastest level, for a thread's quick look at whether zstd could beat the model.
struct FastZstd {
    ZSTD_CCtx_s* cctx = nullptr;
    FastZstd() = default;
    FastZstd(const FastZstd&) = delete;
    FastZstd& operator=(const FastZstd&) = delete;
    FastZstd(FastZstd&& other) noexcept : cctx(other.cctx) { other.cctx = nullptr; }
    ~FastZstd();
};

struct PackScratch {
    std::vector<std::uint8_t> back;
    std::vector<ByteExtent> runs;  // a split chunk's container runs
    UnitTrace trace;
    FastZstd fast;
};

// Reserves the buffers of a slot and of a thread for chunks of up to chunk_cap bytes once, so
// that they neither move nor grow from chunk to chunk (memory made and freed per chunk on two
// threads scatters over the heap and is not given back). Reserved pages cost nothing until
// written.
void reserve_pack_buffers(PackJob& job, std::size_t chunk_cap);
void reserve_pack_buffers(PackScratch& scratch, std::size_t chunk_cap);

// Chooses the method of job.original, fills in payload, method, checksum and stats, and sets
// verify_failed when what was chosen does not decode back to the input.
void pack_chunk(PackJob& job, PackScratch& scratch);

struct UnpackJob {
    const ChunkCoder* coder = nullptr;
    unsigned version = kPackFormatVersion;  // of the file: the models its payloads were coded with
    std::uint8_t method = METHOD_STORED;
    std::uint32_t original_length = 0;
    std::uint64_t checksum = 0;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> output;
    UnitTrace trace;                // of a chunk of units: its access units and size tables
    bool reaches_back = false;      // decoded in order, once the bytes before it are written
    bool keeps = false;             // the bytes from this chunk on are kept to reach back into
    bool checksum_pending = false;  // the size tables are to be filled in before the checksum holds
    PackResult result = PACK_OK;    // why the chunk is damaged, when it is
};

struct UnpackScratch {};

// Decodes job.payload into job.output and checks it against the chunk's checksum, unless the
// chunk has size tables to fill in first (checksum_pending; fill_size_tables does both) or
// reaches back (unpack_reaching does both, in order).
void unpack_chunk(UnpackJob& job, UnpackScratch& scratch);

// The original bytes a chunk may reach back into: the last kReachBackBytes of those written,
// kept by the thread that writes the chunks in order, in packing and in unpacking alike.
struct ReachBack {
    bool kept = false;               // a chunk so far keeps: these bytes are its and those after
    std::vector<std::uint8_t> bytes;  // the last of them, kReachBackBytes at most
    ZSTD_DCtx_s* dctx = nullptr;     // made when a chunk first reaches back
    ReachBack() = default;
    ReachBack(const ReachBack&) = delete;
    ReachBack& operator=(const ReachBack&) = delete;
    ~ReachBack();
};

// Adds a chunk's original bytes once it is written (when kept).
void remember(ReachBack& reach, const std::uint8_t* data, std::size_t size);

// Whether a chunk is one that may reach back: carried whole by zstd, LZMA2 or as it is, or by
// the byte model without frames.
bool may_reach_back(const PackJob& job);

// Packs a chunk that holds no frame the models took once more by zstd reaching back into the
// bytes before it, and keeps that where it is smaller than the job's payload and decodes back.
// On the thread that writes the chunks, in order.
void try_reach_back(PackJob& job, ReachBack& reach);

// Decodes a chunk that reaches back into job.output and checks it against the chunk's checksum;
// once the chunks before it are written.
void unpack_reaching(UnpackJob& job, ReachBack& reach);
