// The choice of each chunk's method, its check, and decoding by method.
#include "pack/driver/chunk_method.h"

#include <cmath>
#include <cstring>

#include "pack/coder/lzma_bytes.h"
#include "pack/frame/adts_frame.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#include <zstd.h>

SharedZstd::~SharedZstd() { ZSTD_freeCCtx(cctx); }
FastZstd::~FastZstd() { ZSTD_freeCCtx(cctx); }
ReachBack::~ReachBack() { ZSTD_freeDCtx(dctx); }

namespace {

// The run's compressor, made when first needed, with tables of a fixed size whatever the
// chunk's (4 MiB of hashes and 16 MiB of chains at most, touched only as far as a source
// reaches; level 19 would size them at 80 MiB for a large one); null when zstd cannot make one.
// The caller holds zstd.lock.
constexpr int kChunkWindowLog = 21;
ZSTD_CCtx* shared_cctx(SharedZstd& zstd) {
    if (zstd.cctx != nullptr) return zstd.cctx;
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (cctx != nullptr &&
        (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kPackZstdLevel)) ||
         ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, kChunkWindowLog)) ||
         ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, 20)) ||
         ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, 22)) ||
         // The record already holds the length and a checksum.
         ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0)) ||
         ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0)))) {
        ZSTD_freeCCtx(cctx);
        cctx = nullptr;
    }
    zstd.cctx = cctx;
    return cctx;
}

// A transport stream's or LOAS stream's container stream: headers whose repeats zstd's
// strongest levels search at length (95 ms for the 87 KB of a GStreamer stream at level 19,
// 15 ms at 15, for 2 bytes) and that LZMA2 is tried on as well where they are few.
constexpr int kHeadersZstdLevel = 15;

// Compresses data into out (resized to zstd's bound first) at `level`. Returns the size, or 0
// when zstd failed.
std::size_t compress_zstd(SharedZstd& zstd, const std::uint8_t* data, std::size_t size,
                          std::vector<std::uint8_t>& out, int level = kPackZstdLevel) {
    out.resize(ZSTD_compressBound(size));
    pthread_mutex_lock(&zstd.lock);
    std::size_t r = 0;
    if (ZSTD_CCtx* cctx = shared_cctx(zstd);
        cctx != nullptr && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level))) {
        r = ZSTD_compress2(cctx, out.data(), out.size(), data, size);
        if (ZSTD_isError(r)) r = 0;
    }
    pthread_mutex_unlock(&zstd.lock);
    return r;
}

constexpr int kSplitWindowLogMax = 22;  // 4 MiB, kMaxChunkOriginal
static_assert(std::size_t{1} << kSplitWindowLogMax == kMaxChunkOriginal, "the window a chunk may need");

// Decompresses one zstd frame into the pieces of out the extents name, in order, filling them
// exactly.
bool decompress_zstd_pieces(const std::uint8_t* frame, std::size_t frame_size, std::uint8_t* out,
                            const std::vector<ByteExtent>& pieces) {
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    if (dctx == nullptr) return false;
    // a streamed frame takes a window buffer as large as its header asks: none larger than a
    // chunk may be, so that a damaged or crafted header cannot take the memory bound
    if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kSplitWindowLogMax))) {
        ZSTD_freeDCtx(dctx);
        return false;
    }
    ZSTD_inBuffer from = {frame, frame_size, 0};
    std::size_t r = 1;
    bool ok = true;
    for (std::size_t k = 0; ok && k < pieces.size(); ++k) {
        ZSTD_outBuffer to = {out + pieces[k].start, pieces[k].length, 0};
        while (ok && to.pos < to.size) {
            const std::size_t before_in = from.pos, before_out = to.pos;
            r = ZSTD_decompressStream(dctx, &to, &from);
            ok = !ZSTD_isError(r) && (from.pos != before_in || to.pos != before_out);
        }
    }
    // the frame must end with the last piece, and nothing may follow it
    if (ok && r != 0) {
        std::uint8_t spare = 0;
        ZSTD_outBuffer to = {&spare, 1, 0};
        r = ZSTD_decompressStream(dctx, &to, &from);
        ok = !ZSTD_isError(r) && r == 0 && to.pos == 0;
    }
    ZSTD_freeDCtx(dctx);
    return ok && from.pos == from.size;
}

// ---------------------------------------------------------------------------------------------
// Chunks of two streams. A side stream is written as
//   u8 method (stored, zstd, model), u32 length, u32 packed length, its bytes.
// Transport stream packets: a payload of
//   u8 flags (bit 0: packets of 192 bytes; bit 1, from version 8: the other packets' bodies
//   apart), u32 lead, u8 PID count k (0..8), k u16 PIDs, from version 9 u32 length of the
//   elementary stream, the container stream as a side stream, the other packets' bodies as a
//   side stream where they are apart,
//   the elementary stream: u8 method, its bytes to the payload's end (before version 9 its
//   length is the chunk's less the other streams').
// A split chunk of units: the container's runs as a side stream, then the payload of units
// that codes the access units and the runs' lengths, to the payload's end.
// A LOAS stream: the configuration in effect at the chunk's start (4 bytes, loas_frames.h),
//   u32 length of the elementary stream, the container stream as a side stream, the
//   elementary stream: u8 method, its bytes to the payload's end.
// Every number is little-endian.

constexpr std::size_t kTsHeadBytes = 6;
constexpr std::uint8_t kTsPrefixed = 1;     // 192-byte packets
constexpr std::uint8_t kTsBodiesApart = 2;  // the other packets' bodies as a side stream (version 8)
// Below this many bytes of other packets' bodies (the tables of an HLS segment), a side stream
// of their own costs more than it saves.
constexpr std::size_t kTsBodiesApartFrom = 4096;
constexpr std::size_t kLoasHeadBytes = kLatmConfigBytes + 4;
constexpr std::size_t kSideHeadBytes = 9;

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A side stream's head: how its bytes are carried, how many it stands for, how many follow.
struct SideHead {
    std::uint8_t method = METHOD_STORED;
    std::size_t size = 0;
    std::size_t packed = 0;
};

void put_side_head(const SideHead& h, std::uint8_t (&out)[kSideHeadBytes]) {
    out[0] = h.method;
    put_le(out + 1, h.size, 4);
    put_le(out + 5, h.packed, 4);
}

// The head at payload[at..]; false when the stream would stand for more than max_size bytes, or
// its bytes and at least one byte after them do not fit the payload.
bool read_side_head(const std::uint8_t* payload, std::size_t payload_size, std::size_t at, std::size_t max_size,
                    SideHead& h) {
    if (at > payload_size || payload_size - at < kSideHeadBytes + 1) return false;
    h.method = payload[at];
    h.size = get_le(payload + at + 1, 4);
    h.packed = get_le(payload + at + 5, 4);
    return h.size <= max_size && h.packed < payload_size - at - kSideHeadBytes;
}

// Bytes no model describes are of two kinds, told apart by what zstd leaves of them against
// their order-0 entropy. Well below it, zstd found repeats (indexes, headers), and LZMA2 finds
// more of them where the bytes are few enough to afford it. Close to it, there are few repeats
// (compressed video), and the byte model's order-1 contexts beat zstd's order-0 literals. The
// choice is the packer's alone: the payload names the method it took.
enum class BetterThanZstd : std::uint8_t { NONE, LZMA, MODEL };

// Below this many bytes the byte model has not learnt enough to beat zstd.
constexpr std::size_t kByteModelFrom = 16u << 10;
constexpr std::size_t kLzmaFromZstdBytes = 1024;
constexpr std::size_t kLzmaSmallInput = 64u << 10;
// LZMA2 at its strongest takes about half a second a MiB, more than the models take; the
// packer gives it at most this many bytes (the format allows kLzmaMaxInput).
constexpr std::size_t kLzmaPackedInput = 128u << 10;
static_assert(kLzmaPackedInput <= kLzmaMaxInput, "what the packer writes, the unpacker reads");

std::size_t order0_bytes(const std::uint8_t* data, std::size_t size) {
    std::size_t count[256] = {};
    for (std::size_t i = 0; i < size; ++i) ++count[data[i]];
    double bits = 0;
    for (const std::size_t c : count)
        if (c != 0) bits -= static_cast<double>(c) * std::log2(static_cast<double>(c) / static_cast<double>(size));
    return static_cast<std::size_t>(bits / 8);
}

BetterThanZstd better_than_zstd(unsigned version, const std::uint8_t* data, std::size_t size, std::size_t zstd_size) {
    if (!has_more_side_methods(version) || size == 0) return BetterThanZstd::NONE;
    // zstd within 8% of order 0 found almost nothing to repeat
    if (zstd_size * 100 >= order0_bytes(data, size) * 92)
        return size >= kByteModelFrom ? BetterThanZstd::MODEL : BetterThanZstd::NONE;
    // Where zstd leaves under 1 KiB of many bytes (repeats, silence), LZMA2 could save no more
    // than that, and its encoder's memory (some fourteen times the bytes) would come on top of
    // zstd's for nothing.
    const bool worth = zstd_size >= kLzmaFromZstdBytes || size <= kLzmaSmallInput;
    return size <= kLzmaPackedInput && worth ? BetterThanZstd::LZMA : BetterThanZstd::NONE;
}

// Codes data[0..size) as `how` says: into out, with its method. False when that is not below
// `best` bytes.
bool code_better_than_zstd(BetterThanZstd how, const PackJob& job, const std::uint8_t* data, std::size_t size,
                           std::size_t best, bool check_frames, std::vector<std::uint8_t>& out, std::uint8_t& method) {
    switch (how) {
    case BetterThanZstd::LZMA:
        method = METHOD_LZMA;
        return compress_lzma(data, size, best, out) != 0;
    case BetterThanZstd::MODEL:
        method = METHOD_MODEL;
        return job.coder->encode(data, size, out, nullptr, check_frames, nullptr, job.version, false) == PACK_OK &&
               !out.empty() && out.size() < best;
    case BetterThanZstd::NONE: break;
    }
    return false;
}

// zstd's level for telling repeats from noise before its strongest level runs: the test
// against the bytes' order-0 entropy needs no more than an estimate of what zstd leaves.
constexpr int kQuickZstdLevel = 3;
// A level that already finds long repeats (the same frames twice) as the strongest does, in a
// fiftieth of its time on headers.
constexpr int kMiddleZstdLevel = 6;

// LZMA2 tried before zstd's strongest level. Where zstd at a quick level already finds repeats
// (headers, indexes, cues), LZMA2 mostly beats every zstd level, and when it beats the quick
// level and a middle one, the strongest level's search, which costs as much as LZMA2's (about
// 300 million instructions on the 84 KB of a GStreamer file's cues, the middle level 9
// million), is spared. Long repeats (the same frames twice) are where zstd's strongest level
// wins after all: the middle one finds those too.
struct LzmaFirst {
    bool won = false;                 // out holds LZMA2's bytes
    bool tried = false;               // LZMA2 ran, so it is not to be tried again
    std::vector<std::uint8_t> bytes;  // what it made, where that is below the bound
    std::size_t zstd_size = 0;        // where the middle level is the caller's own: its size, in out
};

LzmaFirst lzma_before_strong_zstd(const PackJob& job, const std::uint8_t* data, std::size_t size, std::size_t below,
                                  int level, std::vector<std::uint8_t>& out) {
    LzmaFirst r;
    if (!has_more_side_methods(job.version) || size == 0 || size > kLzmaPackedInput) return r;
    const std::size_t quick = compress_zstd(*job.zstd, data, size, out, kQuickZstdLevel);
    if (quick == 0 || quick >= size || better_than_zstd(job.version, data, size, quick) != BetterThanZstd::LZMA)
        return r;
    r.tried = true;
    if (compress_lzma(data, size, below, r.bytes, quick <= size / 16) == 0) {
        r.bytes.clear();
        return r;
    }
    if (r.bytes.size() >= quick) return r;
    const int middle_level = level < kMiddleZstdLevel ? level : kMiddleZstdLevel;
    const std::size_t middle = compress_zstd(*job.zstd, data, size, out, middle_level);
    if (middle != 0 && middle <= r.bytes.size()) {
        if (middle_level == level) r.zstd_size = middle;
        return r;
    }
    out.swap(r.bytes);
    r.won = true;
    return r;
}

// Once zstd's strongest level has made `best` bytes: LZMA2's bytes from the first try, into
// out, where they are smaller.
bool take_lzma_first(LzmaFirst& first, std::size_t best, std::vector<std::uint8_t>& out) {
    if (first.bytes.empty() || first.bytes.size() >= best) return false;
    out.swap(first.bytes);
    return true;
}

// Appends data[0..size) as a side stream: by zstd (into coded), or from format version 8 by
// LZMA2 or the byte model where one of them is smaller still, or as it is. Returns the side
// stream's whole length.
// The head of a side stream of data[0..size) whose zstd frame, zstd_size bytes (0 when zstd
// failed), is in coded: zstd's where it is smaller than the data, LZMA2's or the byte model's
// where one is smaller still (coded then holds theirs), else the data as it is.
SideHead side_coding(const PackJob& job, const std::uint8_t* data, std::size_t size, std::size_t zstd_size,
                     bool check_frames, std::vector<std::uint8_t>& coded, LzmaFirst* first = nullptr) {
    SideHead h;
    h.size = size;
    h.packed = size;
    if (zstd_size != 0 && zstd_size < size) {
        h.method = METHOD_ZSTD;
        h.packed = zstd_size;
    }
    std::vector<std::uint8_t> other;
    std::uint8_t method = METHOD_STORED;
    const BetterThanZstd how = better_than_zstd(job.version, data, size, h.packed);
    if (first != nullptr && first->tried) {
        if (take_lzma_first(*first, h.packed, coded)) {
            h.method = METHOD_LZMA;
            h.packed = coded.size();
        }
        if (how == BetterThanZstd::LZMA) return h;
    }
    if (code_better_than_zstd(how, job, data, size, h.packed, check_frames, other, method)) {
        h.method = method;
        h.packed = other.size();
        coded.assign(other.begin(), other.end());
    }
    return h;
}

std::size_t put_side_stream(const PackJob& job, const std::uint8_t* data, std::size_t size, bool check_frames,
                            std::vector<std::uint8_t>& coded, std::vector<std::uint8_t>& payload,
                            int level = kPackZstdLevel) {
    SideHead h;
    LzmaFirst first = lzma_before_strong_zstd(job, data, size, size, level, coded);
    if (first.won) {
        h = SideHead{METHOD_LZMA, size, coded.size()};
    } else {
        const std::size_t n = first.zstd_size != 0 ? first.zstd_size
                              : size == 0          ? 0
                                                   : compress_zstd(*job.zstd, data, size, coded, level);
        h = side_coding(job, data, size, n, check_frames, coded, &first);
    }
    std::uint8_t head[kSideHeadBytes];
    put_side_head(h, head);
    payload.insert(payload.end(), head, head + kSideHeadBytes);
    const std::uint8_t* from = h.method == METHOD_STORED ? data : coded.data();
    payload.insert(payload.end(), from, from + h.packed);
    return kSideHeadBytes + h.packed;
}

PackResult decode_payload(const ChunkCoder& coder, unsigned version, std::uint8_t method, const std::uint8_t* payload,
                          std::size_t payload_size, std::uint8_t* out, std::size_t size, UnitTrace* trace);

PackResult decode_loas(const ChunkCoder& coder, unsigned version, const std::uint8_t* payload, std::size_t payload_size,
                       std::uint8_t* out, std::size_t size);

// One of the two streams: decoded by its method into out (resized to size). Only the
// elementary stream of transport stream packets (allow_loas) may be a LOAS stream's payload,
// which holds no further LOAS stream.
PackResult decode_stream(const ChunkCoder& coder, unsigned version, std::uint8_t method, const std::uint8_t* payload,
                         std::size_t payload_size, std::vector<std::uint8_t>& out, std::size_t size,
                         bool allow_loas = false) {
    out.resize(size);
    if (method == METHOD_STORED) {
        if (payload_size != size) return PACK_WRONG_LENGTH;
        if (size != 0) std::memcpy(out.data(), payload, size);
        return PACK_OK;
    }
    const bool loas = method == METHOD_LOAS && allow_loas && methods_of_version(version) > METHOD_LOAS;
    const bool lzma = method == METHOD_LZMA && has_more_side_methods(version);
    if (method != METHOD_ZSTD && method != METHOD_MODEL && !loas && !lzma) return PACK_UNKNOWN_GENERATION;
    if (size == 0) return PACK_WRONG_LENGTH;
    if (loas) return decode_loas(coder, version, payload, payload_size, out.data(), size);
    return decode_payload(coder, version, method, payload, payload_size, out.data(), size, nullptr);
}

// The side stream at payload[at..], of at most max_size bytes decoded, into out; at moves
// past it. Something must follow it.
PackResult take_side_stream(const ChunkCoder& coder, unsigned version, const std::uint8_t* payload,
                            std::size_t payload_size, std::size_t& at, std::size_t max_size,
                            std::vector<std::uint8_t>& out) {
    SideHead h;
    if (!read_side_head(payload, payload_size, at, max_size, h)) return PACK_WRONG_LENGTH;
    at += kSideHeadBytes;
    const PackResult r = decode_stream(coder, version, h.method, payload + at, h.packed, out, h.size);
    at += h.packed;
    return r;
}

PackResult decode_ts(const ChunkCoder& coder, unsigned version, const std::uint8_t* payload, std::size_t payload_size,
                     std::uint8_t* out, std::size_t size) {
    // the packet size, and from version 8 whether the other packets' bodies are apart
    const std::uint8_t forms = has_ts_bodies(version) ? kTsBodiesApart | kTsPrefixed : kTsPrefixed;
    if (payload_size < kTsHeadBytes || (payload[0] & ~forms) != 0) return PACK_WRONG_LENGTH;
    TsLayout layout;
    layout.packet_size = static_cast<std::uint16_t>((payload[0] & kTsPrefixed) == 0 ? kTsPacket : kTsPacket + 4);
    layout.bodies_apart = (payload[0] & kTsBodiesApart) != 0;
    layout.lead = static_cast<std::uint32_t>(get_le(payload + 1, 4));
    const std::size_t k = payload[5];
    std::size_t at = kTsHeadBytes;
    layout.pes_frames = has_pes_frames(version);
    // from version 8, a chunk of packets may hold no AAC stream: it is there for its bodies
    const std::size_t length_bytes = layout.pes_frames ? 4 : 0;
    if ((k == 0 && !layout.bodies_apart) || k > kMaxTsPids || payload_size - at < 2 * k + length_bytes + 10)
        return PACK_WRONG_LENGTH;
    for (std::size_t i = 0; i < k; ++i, at += 2) layout.pids.push_back(static_cast<std::uint16_t>(get_le(payload + at, 2)));
    layout.derive = has_length_fields(version);
    layout.loas_frames = methods_of_version(version) > METHOD_LOAS;
    // From version 9 the container stream holds a byte of its own for some packets and not the
    // stuffing of others, so the elementary stream's length is given.
    const std::size_t elementary_size = layout.pes_frames ? get_le(payload + at, 4) : 0;
    at += length_bytes;
    if (elementary_size > size) return PACK_WRONG_LENGTH;
    std::vector<std::uint8_t> container, bodies, elementary;
    PackResult r = take_side_stream(coder, version, payload, payload_size, at,
                                    layout.pes_frames ? size + size / kTsPacket + 1 : size, container);
    if (r != PACK_OK) return r;
    if (layout.bodies_apart) {
        r = take_side_stream(coder, version, payload, payload_size, at,
                             layout.pes_frames ? size - elementary_size : size - container.size(), bodies);
        if (r != PACK_OK) return r;
    }
    r = decode_stream(coder, version, payload[at], payload + at + 1, payload_size - at - 1, elementary,
                      layout.pes_frames ? elementary_size : size - container.size() - bodies.size(), true);
    if (r != PACK_OK) return r;
    return merge_ts(container.data(), container.size(), elementary.data(), elementary.size(), layout, out, size,
                    bodies.data(), bodies.size())
               ? PACK_OK
               : PACK_WRONG_LENGTH;
}

PackResult decode_loas(const ChunkCoder& coder, unsigned version, const std::uint8_t* payload, std::size_t payload_size,
                       std::uint8_t* out, std::size_t size) {
    LatmConfig config;
    if (payload_size < kLoasHeadBytes || !read_latm_config(payload, config)) return PACK_WRONG_LENGTH;
    // each frame adds a 7-byte ADTS header and takes at least six bytes of headers and payload
    const std::size_t elementary_size = get_le(payload + kLatmConfigBytes, 4);
    if (elementary_size > size + size / 2) return PACK_WRONG_LENGTH;
    std::size_t at = kLoasHeadBytes;
    std::vector<std::uint8_t> container, elementary;
    PackResult r = take_side_stream(coder, version, payload, payload_size, at, size, container);
    if (r != PACK_OK) return r;
    r = decode_stream(coder, version, payload[at], payload + at + 1, payload_size - at - 1, elementary,
                      elementary_size);
    if (r != PACK_OK) return r;
    return merge_loas(container.data(), container.size(), elementary.data(), elementary.size(), config, out, size)
               ? PACK_OK
               : PACK_WRONG_LENGTH;
}

// The runs of data, in order, as one piece appended to out.
void gather_runs(const std::uint8_t* data, const std::vector<ByteExtent>& runs, std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + extent_bytes(runs));
    for (const ByteExtent& e : runs) out.insert(out.end(), data + e.start, data + e.start + e.length);
}

// Writes one piece, from, into the runs of out, in order.
void scatter_runs(const std::uint8_t* from, const std::vector<ByteExtent>& runs, std::uint8_t* out) {
    for (const ByteExtent& e : runs) {
        std::memcpy(out + e.start, from, e.length);
        from += e.length;
    }
}

// With runs_later (a chunk whose runs reach back), only the access units are decoded: the
// runs' zstd frame is decoded in order, once the chunks before are written.
PackResult decode_split(const ChunkCoder& coder, unsigned version, const std::uint8_t* payload, std::size_t payload_size,
                        std::uint8_t* out, std::size_t size, UnitTrace* trace, bool runs_later = false) {
    SideHead h;
    if (!read_side_head(payload, payload_size, 0, size, h) ||
        (h.method != METHOD_STORED && h.method != METHOD_ZSTD &&
         !(has_more_side_methods(version) && (h.method == METHOD_LZMA || h.method == METHOD_MODEL))) ||
        (h.method == METHOD_STORED && h.packed != h.size))
        return PACK_WRONG_LENGTH;
    const std::size_t at = kSideHeadBytes + h.packed;
    UnitTrace own;
    UnitTrace& units = trace != nullptr ? *trace : own;
    PackResult r = coder.decode(payload + at, payload_size - at, out, size, true, &units, version, true);
    if (r != PACK_OK) return r;
    std::vector<ByteExtent> runs;
    container_runs(units.units, size, runs, keeps_short_runs(version));
    if (extent_bytes(runs) != h.size) return PACK_WRONG_LENGTH;
    if (runs_later) return h.method == METHOD_ZSTD ? PACK_OK : PACK_WRONG_LENGTH;
    if (h.method == METHOD_ZSTD)
        return decompress_zstd_pieces(payload + kSideHeadBytes, h.packed, out, runs) ? PACK_OK : PACK_ZSTD_DAMAGED;
    std::vector<std::uint8_t> side;
    if (h.method != METHOD_STORED) {
        r = decode_stream(coder, version, h.method, payload + kSideHeadBytes, h.packed, side, h.size);
        if (r != PACK_OK) return r;
    }
    scatter_runs(h.method == METHOD_STORED ? payload + kSideHeadBytes : side.data(), runs, out);
    return PACK_OK;
}

// Decodes a payload into exactly size bytes at out.
PackResult decode_payload(const ChunkCoder& coder, unsigned version, std::uint8_t method, const std::uint8_t* payload,
                          std::size_t payload_size, std::uint8_t* out, std::size_t size, UnitTrace* trace) {
    if (method == METHOD_MODEL || method == METHOD_UNITS)
        return coder.decode(payload, payload_size, out, size, method == METHOD_UNITS, trace, version, false);
    if (method == METHOD_TS) return decode_ts(coder, version, payload, payload_size, out, size);
    if (method == METHOD_SPLIT) return decode_split(coder, version, payload, payload_size, out, size, trace);
    if (method == METHOD_LOAS) return decode_loas(coder, version, payload, payload_size, out, size);
    if (method == METHOD_ZSTD) {
        const std::size_t r = ZSTD_decompress(out, size, payload, payload_size);
        if (ZSTD_isError(r)) return PACK_ZSTD_DAMAGED;
        return r == size ? PACK_OK : PACK_WRONG_LENGTH;
    }
    if (method == METHOD_LZMA && methods_of_version(version) > METHOD_LZMA)
        return decompress_lzma(payload, payload_size, out, size) ? PACK_OK : PACK_LZMA_DAMAGED;
    return PACK_UNKNOWN_GENERATION;
}

// The size tables and length fields a decode left to fill in are the ones the job asked for;
// their bytes are taken from the input here, and checked against the lengths of the units they
// point to when the driver writes the chunk (as the unpacker fills them in).
bool same_size_tables(const PackJob& job, const UnitTrace& trace, std::vector<std::uint8_t>& back) {
    std::size_t k = 0;
    const auto next_derived = [&] {
        while (k < trace.units.size() && trace.units[k].kind == UNIT_ACCESS) ++k;
    };
    for (const ChunkUnit& u : job.units) {
        if (u.kind == UNIT_ACCESS) continue;
        next_derived();
        if (k >= trace.units.size()) return false;
        const ChunkUnit& t = trace.units[k++];
        if (t.kind != u.kind || t.start != u.start || t.first_index != u.first_index || t.length != u.length ||
            t.addend != u.addend || t.place != u.place || t.track != u.track)
            return false;
        std::memcpy(back.data() + u.start, job.original.data() + u.start, u.length);
    }
    next_derived();
    return k == trace.units.size();
}

// Decodes the chunk's payload again and compares it with the input.
bool decodes_back(const PackJob& job, PackScratch& scratch) {
    const std::size_t size = job.original.size();
    std::vector<std::uint8_t>& back = scratch.back;
    back.resize(size);
    if (decode_payload(*job.coder, job.version, job.method, job.payload.data(), job.payload.size(), back.data(), size,
                       &scratch.trace) != PACK_OK)
        return false;
    if (codes_units(job.method) && !same_size_tables(job, scratch.trace, back)) return false;
    return std::memcmp(back.data(), job.original.data(), size) == 0;
}

// Room for the payload: a little more than the input, since the model's payload is written
// before it is known not to be smaller (the most any input met costs the byte model is a few
// parts in ten thousand more), so that such a chunk does not double the buffer; zstd's bound
// is within it.
std::size_t payload_room(std::size_t chunk_cap) { return chunk_cap + chunk_cap / 64 + 4096; }

// A chunk whose bytes lie mostly outside the frames the models describe is carried by the
// codec's byte model, which zstd may beat on bytes with long repeats (ADIF and raw streams,
// tags, damaged files).
bool mostly_unmodelled(const PackStats& stats) {
    std::uint64_t total = stats.frame_bits;
    for (std::uint64_t b : stats.bits) total += b;
    return (stats.bits[FAMILY_RAW] + stats.bits[FAMILY_CONTAINER]) * 2 > total;
}

// Whether zstd at its fastest already makes the chunk smaller than the model's payload: a
// chunk of repeats (silence, the same frames twice) that the models code frame by frame. It
// costs a few milliseconds a chunk; the slow zstd runs only where it pays.
bool fast_zstd_beats_model(const PackJob& job, PackScratch& scratch) {
    if (scratch.fast.cctx == nullptr) scratch.fast.cctx = ZSTD_createCCtx();
    if (scratch.fast.cctx == nullptr) return false;
    std::vector<std::uint8_t>& z = scratch.back;
    z.resize(ZSTD_compressBound(job.original.size()));
    const std::size_t n = ZSTD_compressCCtx(scratch.fast.cctx, z.data(), z.size(), job.original.data(),
                                            job.original.size(), 1);
    return !ZSTD_isError(n) && n < job.payload.size();
}

// The chunk by zstd, or from format version 8 by LZMA2 or (unless the models already had it)
// the byte model where better_than_zstd expects one of them to be smaller still, into out.
// Returns the method, METHOD_STORED when none is below `below` bytes.
std::uint8_t general_payload(const PackJob& job, std::size_t below, bool model_tried, std::vector<std::uint8_t>& out) {
    const std::uint8_t* data = job.original.data();
    const std::size_t size = job.original.size();
    LzmaFirst first = lzma_before_strong_zstd(job, data, size, below, kPackZstdLevel, out);
    if (first.won) return METHOD_LZMA;
    std::uint8_t method = METHOD_STORED;
    std::size_t best = below;
    const std::size_t z = compress_zstd(*job.zstd, data, size, out);
    if (z != 0 && z < best) {
        method = METHOD_ZSTD;
        best = z;
        out.resize(z);
    }
    if (take_lzma_first(first, best, out)) return METHOD_LZMA;
    const BetterThanZstd how = better_than_zstd(job.version, data, size, z != 0 && z < size ? z : size);
    if (how == BetterThanZstd::NONE || (how == BetterThanZstd::MODEL && model_tried) ||
        (how == BetterThanZstd::LZMA && first.tried))
        return method;
    std::vector<std::uint8_t> other;
    std::uint8_t better = METHOD_STORED;
    if (!code_better_than_zstd(how, job, data, size, best, true, other, better)) return method;
    out.assign(other.begin(), other.end());
    return better;
}

// zstd's attempt goes to the thread's scratch buffer, free while the model's payload waits.
void prefer_zstd_if_smaller(PackJob& job, PackScratch& scratch) {
    std::vector<std::uint8_t>& z = scratch.back;
    const std::uint8_t method = general_payload(job, job.payload.size(), true, z);
    if (method == METHOD_STORED) return;
    job.payload.assign(z.begin(), z.end());
    job.method = method;
    job.verify_failed = !decodes_back(job, scratch);
}

// Whether a chunk of units is mostly the container's runs: another track's samples (video)
// lying between the access units, for zstd rather than the byte model, which is made for the
// headers between units.
bool mostly_runs(const PackJob& job) {
    std::size_t in_units = 0;
    for (const ChunkUnit& u : job.units)
        if (u.kind == UNIT_ACCESS) in_units += u.length;
    return in_units < job.original.size() / 2;
}

// Codes a chunk of units as the split method: its payload of units with the runs' lengths
// only, the runs' bytes as a side stream in front of it. False when that is not smaller than
// the chunk.
bool encode_split(PackJob& job, PackScratch& scratch, bool check_frames) {
    job.stats = PackStats{};
    job.stats.by_family = job.by_family;
    if (job.coder->encode(job.original.data(), job.original.size(), job.payload, &job.stats, check_frames, &job.units,
                          job.version, true) != PACK_OK)
        return false;
    std::vector<ByteExtent>& runs = scratch.runs;
    runs.clear();
    container_runs(job.units, job.original.size(), runs, keeps_short_runs(job.version));
    const std::size_t total = extent_bytes(runs);
    std::vector<std::uint8_t>& coded = scratch.back;
    // the runs in one piece: zstd takes them whole (a stream of pieces would cost the shared
    // compressor a window's buffers more), and something else may be kept
    std::vector<std::uint8_t> gathered;
    gather_runs(job.original.data(), runs, gathered);
    SideHead h;
    LzmaFirst first = lzma_before_strong_zstd(job, gathered.data(), gathered.size(), total, kPackZstdLevel, coded);
    if (first.won) {
        h = SideHead{METHOD_LZMA, total, coded.size()};
    } else {
        const std::size_t z = total == 0 ? 0 : compress_zstd(*job.zstd, gathered.data(), total, coded);
        h = side_coding(job, gathered.data(), total, z, check_frames, coded, &first);
    }
    if (h.method == METHOD_STORED) coded = gathered;
    const std::size_t n = h.packed;
    if (job.payload.size() + kSideHeadBytes + n >= job.original.size()) return false;
    std::uint8_t head[kSideHeadBytes];
    put_side_head(h, head);
    job.payload.insert(job.payload.begin(), coded.data(), coded.data() + n);
    job.payload.insert(job.payload.begin(), head, head + kSideHeadBytes);
    job.stats.bits[FAMILY_CONTAINER] += 8 * (kSideHeadBytes + n);
    job.method = METHOD_SPLIT;
    return true;
}

bool put_loas(PackJob& job, const std::uint8_t* data, std::size_t size, LatmConfig config, bool check_frames);

// Appends a chunk's elementary stream, the last of its two streams: u8 method, then its bytes
// to the payload's end; by the models (or zstd, or as it is), with the models' stats. With
// allow_loas, a stream mostly of LOAS frames (LATM in transport stream packets) is split as a
// LOAS stream's chunk is.
void put_elementary(PackJob& job, const std::vector<std::uint8_t>& elementary, std::vector<std::uint8_t>& coded,
                    bool check_frames, bool allow_loas) {
    if (allow_loas) {
        // without a configuration in its frames, the split would take none
        const LatmConfig start = first_loas_config(elementary.data(), elementary.size());
        const std::size_t mark = job.payload.size();
        if (start.known && mostly_loas(elementary.data(), elementary.size(), start)) {
            job.payload.push_back(METHOD_LOAS);
            if (put_loas(job, elementary.data(), elementary.size(), start, check_frames) &&
                job.payload.size() - mark < elementary.size())
                return;
            job.payload.resize(mark);
            job.has_first_adts = false;
        }
    }
    job.stats = PackStats{};
    job.stats.by_family = job.by_family;
    std::uint8_t method = METHOD_STORED;
    if (job.coder->encode(elementary.data(), elementary.size(), coded, &job.stats, check_frames, nullptr, job.version,
                          false) ==
            PACK_OK &&
        job.stats.frames_modelled != 0 && coded.size() < elementary.size()) {
        method = METHOD_MODEL;
    } else {
        job.stats = PackStats{};
        job.stats.by_family = job.by_family;
        const std::size_t n = compress_zstd(*job.zstd, elementary.data(), elementary.size(), coded);
        if (n != 0 && n < elementary.size()) {
            method = METHOD_ZSTD;
            coded.resize(n);
        }
    }
    job.payload.push_back(method);
    const std::vector<std::uint8_t>& e = method == METHOD_STORED ? elementary : coded;
    job.payload.insert(job.payload.end(), e.begin(), e.end());
}

// Codes a chunk of transport stream packets as its streams: the elementary stream by the
// models (or zstd, or as it is), the container stream (and from version 8 the other packets'
// bodies, where they are many) by zstd, LZMA2 or the byte model (or as it is). False when the
// chunk has no PID of ADTS frames (from version 8, and few other packets' bodies) or the
// payload would not be smaller than the chunk.
bool encode_ts(PackJob& job, bool check_frames) {
    const std::uint8_t* data = job.original.data();
    const std::size_t size = job.original.size();
    job.ts_layout.pids = find_adts_pids(data, size, job.ts_layout, methods_of_version(job.version) > METHOD_LOAS);
    if (job.ts_layout.pids.empty() && !has_ts_bodies(job.version)) return false;
    job.ts_layout.derive = has_length_fields(job.version);
    job.ts_layout.loas_frames = methods_of_version(job.version) > METHOD_LOAS;
    job.ts_layout.pes_frames = has_pes_frames(job.version);
    job.ts_layout.bodies_apart =
        has_ts_bodies(job.version) && other_packet_bodies(data, size, job.ts_layout) >= kTsBodiesApartFrom;
    std::vector<std::uint8_t> container, bodies, elementary, coded;
    split_ts(data, size, job.ts_layout, container, elementary, &bodies);
    if ((elementary.empty() && !job.ts_layout.bodies_apart) || container.empty()) return false;

    job.payload.clear();
    job.payload.push_back(static_cast<std::uint8_t>((job.ts_layout.packet_size == kTsPacket ? 0 : kTsPrefixed) |
                                                    (job.ts_layout.bodies_apart ? kTsBodiesApart : 0)));
    put_u32(job.payload, job.ts_layout.lead);
    job.payload.push_back(static_cast<std::uint8_t>(job.ts_layout.pids.size()));
    for (std::uint16_t pid : job.ts_layout.pids) {
        job.payload.push_back(static_cast<std::uint8_t>(pid));
        job.payload.push_back(static_cast<std::uint8_t>(pid >> 8));
    }
    if (job.ts_layout.pes_frames) put_u32(job.payload, static_cast<std::uint32_t>(elementary.size()));
    std::size_t container_bits =
        8 * put_side_stream(job, container.data(), container.size(), check_frames, coded, job.payload,
                            kHeadersZstdLevel);
    if (job.ts_layout.bodies_apart)
        container_bits += 8 * put_side_stream(job, bodies.data(), bodies.size(), check_frames, coded, job.payload);

    job.has_first_adts = false;
    put_elementary(job, elementary, coded, check_frames, methods_of_version(job.version) > METHOD_LOAS);
    job.stats.bits[FAMILY_CONTAINER] += container_bits;
    job.latm_inside = job.has_first_adts;
    if (!job.has_first_adts) job.has_first_adts = first_adts_header(elementary.data(), elementary.size(), job.first_adts);
    job.method = METHOD_TS;
    return job.payload.size() < size;
}


// Appends the payload of a LOAS stream's data[0..size) split from `config`: the frames'
// payloads, byte-aligned behind ADTS headers, by the models (or zstd, or as they are), the rest
// by zstd (or as it is). False when the split takes no frame.
bool put_loas(PackJob& job, const std::uint8_t* data, std::size_t size, LatmConfig config, bool check_frames) {
    std::vector<std::uint8_t> container, elementary, coded;
    if (split_loas(data, size, config, container, elementary) == 0) return false;
    std::uint8_t head[kLatmConfigBytes];
    put_latm_config(config, head);
    job.payload.insert(job.payload.end(), head, head + kLatmConfigBytes);
    put_u32(job.payload, static_cast<std::uint32_t>(elementary.size()));
    const std::size_t container_bits =
        8 * (kLoasHeadBytes + put_side_stream(job, container.data(), container.size(), check_frames, coded,
                                              job.payload, kHeadersZstdLevel));
    put_elementary(job, elementary, coded, check_frames, false);
    job.stats.bits[FAMILY_CONTAINER] += container_bits;
    job.has_first_adts = first_adts_header(elementary.data(), elementary.size(), job.first_adts);
    return true;
}

// Codes a chunk of a LOAS stream as its two streams. A chunk before whose frames no
// configuration is known starts from the first its frames give. False when the split takes no
// frame or the payload would not be smaller than the chunk.
bool encode_loas(PackJob& job, bool check_frames) {
    const std::uint8_t* data = job.original.data();
    const std::size_t size = job.original.size();
    const LatmConfig config = job.latm.known ? job.latm : first_loas_config(data, size);
    job.payload.clear();
    if (!put_loas(job, data, size, config, check_frames)) return false;
    job.method = METHOD_LOAS;
    return job.payload.size() < size;
}

}  // namespace

void reserve_pack_buffers(PackJob& job, std::size_t chunk_cap) {
    job.original.reserve(chunk_cap);
    job.payload.reserve(payload_room(chunk_cap));
}

void reserve_pack_buffers(PackScratch& scratch, std::size_t chunk_cap) {
    scratch.back.reserve(ZSTD_compressBound(chunk_cap));
}

namespace {

// The model's payload (or zstd's, or the bytes as they are) for the chunk, checked. With
// zstd_tried, zstd of the whole chunk was already weighed against a payload of the models
// and is not tried again where the model takes the chunk.
void pack_model_or_zstd(PackJob& job, PackScratch& scratch, bool zstd_tried = false) {
    const std::uint8_t* data = job.original.data();
    const std::size_t size = job.original.size();
    bool model_chosen = false;
    const std::uint8_t model_method = job.container ? METHOD_UNITS : METHOD_MODEL;
    // A container's stretch without units (cover art, another track) goes to zstd alone.
    const bool try_model = !job.container || !job.units.empty();
    job.stats = PackStats{};
    job.method = METHOD_STORED;
    for (const bool check_frames : {false, true}) {
        if (!try_model) break;
        job.stats = PackStats{};
        job.stats.by_family = job.by_family;
        const bool model_ok =
            job.coder->encode(data, size, job.payload, &job.stats, check_frames, job.container ? &job.units : nullptr,
                              job.version, false) == PACK_OK;
        const bool has_frames = job.stats.frames_modelled + job.stats.frames_raw > 0;
        model_chosen = model_ok && (has_frames || job.container) && !job.payload.empty() && job.payload.size() < size;
        job.method = model_chosen ? model_method : std::uint8_t{METHOD_STORED};
        if (model_chosen && decodes_back(job, scratch)) {
            if (!zstd_tried && (mostly_unmodelled(job.stats) || fast_zstd_beats_model(job, scratch)))
                prefer_zstd_if_smaller(job, scratch);
            return;
        }
        // without frames modelled, checking them changes nothing
        if (model_ok && job.stats.frames_modelled == 0) break;
    }
    // a chosen model that does not decode back even with every frame checked is a bug: it is
    // reported by the driver, not hidden behind zstd
    if (job.method != model_method) job.method = general_payload(job, size, try_model, job.payload);
    if (job.method == METHOD_STORED) {
        job.payload.clear();
        return;
    }
    job.verify_failed = !decodes_back(job, scratch);
}

constexpr std::size_t kSplitBothBelow = 64u << 10;

// The split method for the chunk, checked (zstd instead when it is smaller still). False when
// the chunk does not split smaller than it is.
bool pack_split(PackJob& job, PackScratch& scratch) {
    for (const bool check_frames : {false, true}) {
        if (!encode_split(job, scratch, check_frames)) return false;
        job.verify_failed = !decodes_back(job, scratch);
        if (job.verify_failed && !check_frames) continue;
        if (!job.verify_failed && fast_zstd_beats_model(job, scratch)) prefer_zstd_if_smaller(job, scratch);
        return true;
    }
    return true;
}

}  // namespace

// The model takes chunks that hold frames; zstd takes what the model refuses or does not make
// smaller, and what is not AAC; a chunk neither makes smaller is stored. Whatever is chosen is
// decoded again here and compared with the input.
//
// The model is first tried without writing each frame back before coding it: the decode that
// follows checks the whole chunk anyway. Only when that attempt is not kept is the chunk coded
// again with every frame checked, so that a frame which would not come back is stored raw
// rather than costing its chunk the model.
//
// A chunk of units that is mostly the container's runs (video between the audio) is also
// tried split: the runs go to zstd as a stream of their own and the access units keep their
// models.
void pack_chunk(PackJob& job, PackScratch& scratch) {
    job.checksum = XXH3_64bits(job.original.data(), job.original.size());
    job.verify_failed = false;
    job.reaches_back = false;

    if (job.ts) {
        for (const bool check_frames : {false, true})
            if (encode_ts(job, check_frames) && decodes_back(job, scratch)) return;
        job.ts_layout.pids.clear();
    }
    if (job.loas) {
        for (const bool check_frames : {false, true})
            if (encode_loas(job, check_frames) && decodes_back(job, scratch)) return;
    }
    const bool split = job.container && !job.units.empty() && methods_of_version(job.version) > METHOD_SPLIT &&
                       mostly_runs(job);
    // A small chunk that splits is coded whole as well and the smaller kept: the byte model
    // may beat zstd on a few headers between units (a moov box and a track's last units). A
    // larger one is mostly video, where coding it whole too would cost several times the
    // audio's time for a percent or two either way.
    if (split && pack_split(job, scratch)) {
        if (job.verify_failed || job.original.size() >= kSplitBothBelow) return;
        std::vector<std::uint8_t> split_payload;
        split_payload.swap(job.payload);
        const PackStats split_stats = job.stats;
        const std::uint8_t split_method = job.method;
        pack_model_or_zstd(job, scratch, true);
        if (!job.verify_failed && (job.method == METHOD_STORED ? job.original.size() : job.payload.size()) <=
                                      split_payload.size())
            return;
        job.payload.swap(split_payload);
        job.stats = split_stats;
        job.method = split_method;
        job.verify_failed = false;
        return;
    }
    pack_model_or_zstd(job, scratch);
}

void unpack_chunk(UnpackJob& job, UnpackScratch&) {
    job.result = PACK_OK;
    if (job.reaches_back) {
        // a whole chunk is decoded in order; a split one's access units now, its runs in order
        if (job.method != METHOD_SPLIT) return;
        job.output.resize(job.original_length);
        job.result = decode_split(*job.coder, job.version, job.payload.data(), job.payload.size(), job.output.data(),
                                  job.original_length, &job.trace, true);
        job.checksum_pending = has_size_tables(job.trace.units);
        return;
    }
    if (job.method == METHOD_STORED) {
        job.output.swap(job.payload);
    } else {
        job.output.resize(job.original_length);
        job.result = decode_payload(*job.coder, job.version, job.method, job.payload.data(), job.payload.size(),
                                    job.output.data(), job.original_length, &job.trace);
        if (job.result != PACK_OK) return;
    }
    job.checksum_pending = codes_units(job.method) && has_size_tables(job.trace.units);
    if (job.checksum_pending) return;
    if (XXH3_64bits(job.output.data(), job.output.size()) != job.checksum) job.result = PACK_CHECKSUM_MISMATCH;
}

// ---------------------------------------------------------------------------------------------
// Chunks that reach back

void remember(ReachBack& reach, const std::uint8_t* data, std::size_t size) {
    if (!reach.kept) return;
    std::vector<std::uint8_t>& b = reach.bytes;
    // its room taken once: pages cost nothing until written, and the vector never grows past it.
    // The bytes kept move down by a chunk's length each chunk (a few milliseconds of a chunk's
    // coding), which spares the memory of a chunk more.
    if (b.capacity() == 0) b.reserve(kReachBackBytes);
    if (size >= kReachBackBytes) {
        b.assign(data + size - kReachBackBytes, data + size);
        return;
    }
    if (b.size() + size > kReachBackBytes)
        b.erase(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(b.size() + size - kReachBackBytes));
    b.insert(b.end(), data, data + size);
}

namespace {

// The bytes a chunk reaching back refers to: all those kept (remember keeps kReachBackBytes at most).
const std::uint8_t* reach_prefix(const ReachBack& reach, std::size_t& size) {
    size = reach.bytes.size();
    return reach.bytes.data();
}

// Decodes a frame made with the bytes before its chunk as its prefix into exactly size bytes.
bool decompress_reaching(ReachBack& reach, const std::uint8_t* frame, std::size_t frame_size, std::uint8_t* out,
                         std::size_t size) {
    if (reach.dctx == nullptr) {
        reach.dctx = ZSTD_createDCtx();
        if (reach.dctx == nullptr) return false;
    }
    std::size_t prefix_size = 0;
    const std::uint8_t* prefix = reach_prefix(reach, prefix_size);
    if (ZSTD_isError(ZSTD_DCtx_reset(reach.dctx, ZSTD_reset_session_and_parameters)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(reach.dctx, ZSTD_d_windowLogMax, kReachBackWindowLog)) ||
        ZSTD_isError(ZSTD_DCtx_refPrefix(reach.dctx, prefix, prefix_size)))
        return false;
    const std::size_t r = ZSTD_decompressDCtx(reach.dctx, out, size, frame, frame_size);
    return !ZSTD_isError(r) && r == size;
}

// zstd of a chunk at `level` with the bytes before it as its prefix, into frame; 0 when zstd
// failed. The shared compressor's window is as long as what it reaches back into while it
// does, then set back for the chunks after.
std::size_t compress_reaching(SharedZstd& zstd, const std::uint8_t* prefix, std::size_t prefix_size,
                              const std::uint8_t* data, std::size_t size, int level, std::vector<std::uint8_t>& frame) {
    frame.resize(ZSTD_compressBound(size));
    pthread_mutex_lock(&zstd.lock);
    std::size_t n = 0;
    if (ZSTD_CCtx* cctx = shared_cctx(zstd);
        cctx != nullptr && !ZSTD_isError(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, kReachBackWindowLog))) {
        if (!ZSTD_isError(ZSTD_CCtx_refPrefix(cctx, prefix, prefix_size))) {
            n = ZSTD_compress2(cctx, frame.data(), frame.size(), data, size);
            if (ZSTD_isError(n)) n = 0;
        }
        ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only);
        if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, kChunkWindowLog))) {
            ZSTD_freeCCtx(cctx);
            zstd.cctx = nullptr;
        }
    }
    pthread_mutex_unlock(&zstd.lock);
    frame.resize(n);
    return n;
}

// A quick look first: zstd's level 3 reaching back takes a few hundredths of a second a chunk,
// where its level 19 takes as long as compressing the bytes reached back into again (the
// prefix enters its match finder whole: a second or more a chunk). Level 19 runs only where
// the quick look found the bytes before worth at least a sixteenth of the chunk.
constexpr int kReachLookLevel = 3;

// zstd reaching back from `reach` for data[0..size) into frame, where smaller than `now` bytes
// and decoding back; false otherwise.
bool reaching_frame(SharedZstd& zstd, ReachBack& reach, const std::uint8_t* data, std::size_t size, std::size_t now,
                    std::vector<std::uint8_t>& frame) {
    std::size_t prefix_size = 0;
    const std::uint8_t* prefix = reach_prefix(reach, prefix_size);
    std::size_t n = compress_reaching(zstd, prefix, prefix_size, data, size, kReachLookLevel, frame);
    if (n == 0) return false;
    // level 19 finds what level 3 did and more: its frame takes the place of the quick one
    if (n + now / 16 < now) n = compress_reaching(zstd, prefix, prefix_size, data, size, kPackZstdLevel, frame);
    if (n == 0 || n >= now) return false;
    std::vector<std::uint8_t> back(size);
    return decompress_reaching(reach, frame.data(), n, back.data(), size) && std::memcmp(back.data(), data, size) == 0;
}

// A split chunk's runs, where zstd carries them, reaching back: the payload's side stream
// replaced, its payload of units as it was.
void split_reach_back(PackJob& job, ReachBack& reach) {
    SideHead h;
    if (!read_side_head(job.payload.data(), job.payload.size(), 0, job.original.size(), h) || h.method != METHOD_ZSTD)
        return;
    std::vector<ByteExtent> runs;
    container_runs(job.units, job.original.size(), runs, keeps_short_runs(job.version));
    std::vector<std::uint8_t> gathered, frame;
    gather_runs(job.original.data(), runs, gathered);
    if (gathered.size() != h.size || !reaching_frame(*job.zstd, reach, gathered.data(), gathered.size(), h.packed, frame))
        return;
    // the side stream replaced in place: the payload only shrinks
    std::uint8_t head[kSideHeadBytes];
    put_side_head(SideHead{METHOD_ZSTD, h.size, frame.size()}, head);
    std::memcpy(job.payload.data(), head, kSideHeadBytes);
    std::memcpy(job.payload.data() + kSideHeadBytes, frame.data(), frame.size());
    job.payload.erase(job.payload.begin() + static_cast<std::ptrdiff_t>(kSideHeadBytes + frame.size()),
                      job.payload.begin() + static_cast<std::ptrdiff_t>(kSideHeadBytes + h.packed));
    job.stats.bits[FAMILY_CONTAINER] -= 8 * (h.packed - frame.size());
    job.reaches_back = true;
}

}  // namespace

bool may_reach_back(const PackJob& job) {
    // where zstd or LZMA2 beat the models, or nothing did, the bytes are not what the models are
    // for (syncwords that happen to parse, silence); the byte model's chunks only without frames
    const bool general = job.method == METHOD_STORED || job.method == METHOD_ZSTD || job.method == METHOD_LZMA ||
                         (job.method == METHOD_MODEL && job.stats.frames_modelled == 0);
    return general && !job.verify_failed;
}

void try_reach_back(PackJob& job, ReachBack& reach) {
    if (!reach.kept || reach.bytes.empty()) return;
    if (job.method == METHOD_SPLIT && !job.verify_failed) {
        split_reach_back(job, reach);
        return;
    }
    if (!may_reach_back(job)) return;
    const std::size_t now = job.method == METHOD_STORED ? job.original.size() : job.payload.size();
    std::vector<std::uint8_t> frame;
    if (!reaching_frame(*job.zstd, reach, job.original.data(), job.original.size(), now, frame)) return;
    job.payload.swap(frame);
    job.method = METHOD_ZSTD;
    job.reaches_back = true;
}

void unpack_reaching(UnpackJob& job, ReachBack& reach) {
    if (job.method == METHOD_SPLIT) {
        // the worker checked the head and the runs' lengths against it
        SideHead h;
        std::vector<ByteExtent> runs;
        container_runs(job.trace.units, job.original_length, runs, keeps_short_runs(job.version));
        if (!read_side_head(job.payload.data(), job.payload.size(), 0, job.original_length, h) ||
            extent_bytes(runs) != h.size) {
            job.result = PACK_WRONG_LENGTH;
            return;
        }
        std::vector<std::uint8_t> side(h.size);
        if (!decompress_reaching(reach, job.payload.data() + kSideHeadBytes, h.packed, side.data(), h.size)) {
            job.result = PACK_ZSTD_DAMAGED;
            return;
        }
        scatter_runs(side.data(), runs, job.output.data());
    } else {
        job.output.resize(job.original_length);
        if (!decompress_reaching(reach, job.payload.data(), job.payload.size(), job.output.data(), job.original_length)) {
            job.result = PACK_ZSTD_DAMAGED;
            return;
        }
    }
    if (!job.checksum_pending && XXH3_64bits(job.output.data(), job.output.size()) != job.checksum)
        job.result = PACK_CHECKSUM_MISMATCH;
}
