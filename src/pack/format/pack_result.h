// How a step of the packed form went, from a frame's parse to a whole run: 0 is success, and
// every other value names what stopped it. The first few are the outcomes of a run (what the
// library's result codes say); the rest are the reasons a chunk's payload does not decode,
// each a kind of damage, which reach the message ("chunk 3 is damaged (spectral line past
// its codebook's range)").
#pragma once

#include <cstdint>

enum PackResult : std::uint8_t {
    PACK_OK = 0,
    PACK_READ_FAILED,          // the input could not be read (report.error holds errno)
    PACK_WRITE_FAILED,         // the output could not be written (report.error holds errno)
    PACK_NOT_PACKED,           // unpacking: no packed-file magic at the start
    PACK_UNSUPPORTED_VERSION,  // unpacking: a format version this build does not know
    PACK_DAMAGED,              // unpacking: truncated, a bad length, a checksum mismatch
    PACK_VERIFY_FAILED,        // packing: a chunk did not decode back to its input (a bug)
    PACK_BAD_SETTINGS,
    PACK_MEMORY_LIMIT,  // unpacking: a chunk would take the run past settings.memory_limit
    PACK_BUILD_FAULT,   // the build's models cannot start (its trained state does not load)
    // Why a payload does not decode.
    PACK_PAYLOAD_ENDS_EARLY,
    PACK_RUN_PAST_CHUNK,
    PACK_FRAME_PAST_CHUNK,
    PACK_UNIT_CONTEXT,
    PACK_SIZE_TABLE_PAST,
    PACK_FRAME_SYNTAX,
    PACK_FIELD_PAST_WIDTH,
    PACK_SCALE_FACTOR_PAST_RANGE,
    PACK_LINE_PAST_RANGE,
    PACK_FRAME_TOO_LONG,
    PACK_ZSTD_DAMAGED,
    PACK_LZMA_DAMAGED,
    PACK_WRONG_LENGTH,
    PACK_CHECKSUM_MISMATCH,
    PACK_UNKNOWN_GENERATION,
    // Packing: a frame that the record does not describe (it is carried as bytes).
    PACK_NOT_DESCRIBED,
    PACK_RESULT_COUNT
};

// The outcome of a run a result belongs to: a payload's reason is damage, the rest are their own.
constexpr PackResult run_outcome(PackResult r) {
    return r >= PACK_PAYLOAD_ENDS_EARLY && r < PACK_NOT_DESCRIBED ? PACK_DAMAGED : r;
}

// What a reason says in a message; "" for the outcomes of a run, whose messages carry more.
constexpr const char* reason_text(PackResult r) {
    switch (r) {
    case PACK_PAYLOAD_ENDS_EARLY: return "its payload ends before its bytes do";
    case PACK_RUN_PAST_CHUNK: return "a run of bytes past the chunk's end";
    case PACK_FRAME_PAST_CHUNK: return "a frame past the chunk's end";
    case PACK_UNIT_CONTEXT: return "an access unit of no known track context";
    case PACK_SIZE_TABLE_PAST: return "a size table past the access units it names";
    case PACK_FRAME_SYNTAX: return "a frame whose syntax does not hold";
    case PACK_FIELD_PAST_WIDTH: return "a field wider than its width";
    case PACK_SCALE_FACTOR_PAST_RANGE: return "a scale factor past its range";
    case PACK_LINE_PAST_RANGE: return "spectral line past its codebook's range";
    case PACK_FRAME_TOO_LONG: return "a frame longer than a frame may be";
    case PACK_ZSTD_DAMAGED: return "its zstd frame does not decode";
    case PACK_LZMA_DAMAGED: return "its LZMA2 stream does not decode";
    case PACK_WRONG_LENGTH: return "it decodes to another length";
    case PACK_CHECKSUM_MISMATCH: return "checksum mismatch";
    case PACK_UNKNOWN_GENERATION: return "no models decode its format version";
    case PACK_NOT_DESCRIBED: return "a frame the record does not describe";
    default: return "";
    }
}

// Sets a walk's sticky failure, keeping the first reason.
template <class Io>
inline void fail(Io& io, PackResult why) {
    if (!io.failed) io.why = why;
    io.failed = true;
}
