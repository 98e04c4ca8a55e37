// Stand-in chunk codec so the packed form's driver, command and tests can run before the AAC
// models exist: chunks are cut at ADTS frame boundaries and every byte goes through one
// adaptive order-0 byte model. The real codec replaces this file as a whole.
#include "pack/chunk_codec.h"

#include "pack/range_coder.h"

namespace {

constexpr std::size_t kAdtsHeaderSize = 7;

// Length of an ADTS frame whose header starts at p (at least 7 bytes readable), or 0 when
// these bytes are not a frame header.
std::size_t adts_frame_length(const std::uint8_t* p) {
    if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return 0;
    const std::size_t len = (static_cast<std::size_t>(p[3] & 3u) << 11) | (static_cast<std::size_t>(p[4]) << 3) |
                            (static_cast<std::size_t>(p[5]) >> 5);
    return len >= kAdtsHeaderSize ? len : 0;
}

struct Scan {
    std::size_t length = 0;
    std::size_t frames = 0;
    std::size_t other = 0;
};

Scan scan_units(const std::uint8_t* data, std::size_t size, bool at_end, std::size_t max_frames,
                std::size_t max_bytes) {
    Scan s;
    while (s.length < size) {
        const std::size_t left = size - s.length;
        if (left < kAdtsHeaderSize && !at_end) break;  // may be the start of a frame header
        const std::size_t frame = left >= kAdtsHeaderSize ? adts_frame_length(data + s.length) : 0;
        if (frame != 0 && frame <= left) {
            if (s.frames == max_frames) break;
            ++s.frames;
            s.length += frame;
            continue;
        }
        if (frame != 0 && !at_end) break;  // a frame that continues past the window
        if (s.other == max_bytes) break;
        ++s.other;
        ++s.length;
    }
    return s;
}

struct ByteModel {
    BitTree<8> tree;
};

}  // namespace

std::size_t next_chunk_length(const std::uint8_t* data, std::size_t size, bool at_end, std::size_t max_frames,
                              std::size_t max_bytes) {
    if (max_frames == 0) max_frames = 1;
    if (max_bytes == 0) max_bytes = 1;
    return scan_units(data, size, at_end, max_frames, max_bytes).length;
}

int encode_chunk(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload, PackStats* stats) {
    payload.clear();
    ByteModel model;
    RangeEncoder rc;
    start_encoder(rc, payload);
    for (std::size_t i = 0; i < size; ++i) code_tree<8>(rc, model.tree, data[i]);
    finish_encoder(rc);
    if (stats != nullptr) {
        const Scan s = scan_units(data, size, true, SIZE_MAX, SIZE_MAX);
        stats->frames_raw += s.frames;
        stats->other_bytes += s.other;
        stats->bits[FAMILY_RAW] += static_cast<std::uint64_t>(payload.size()) * 8u;
    }
    return 0;
}

int decode_chunk(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out, std::size_t original_size) {
    ByteModel model;
    RangeDecoder rc;
    start_decoder(rc, payload, payload_size);
    for (std::size_t i = 0; i < original_size; ++i) {
        out[i] = static_cast<std::uint8_t>(code_tree<8>(rc, model.tree, 0));
        if (rc.overrun > 8) return 1;  // far past the payload: damaged, stop early
    }
    return rc.overrun != 0 ? 1 : 0;
}
