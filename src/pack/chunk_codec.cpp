// The chunk codec: splits a chunk into units (ADTS frames and runs of other bytes), codes
// each frame whose record writes back to the same bytes field by field through the frame
// model, and every other unit as bytes through the byte model (orders 0 and 1, mixed).
#include "pack/chunk_codec.h"

#include <cstring>
#include <memory>

#include "pack/adts_frame.h"
#include "pack/frame_model.h"
#include "pack/frame_record.h"
#include "pack/frame_syntax.h"
#include "pack/range_coder.h"

namespace {

constexpr std::size_t kFrameBufferBytes = kMaxFrameBytes + 16;
// A damaged payload makes the decoder read zeros past its end; a valid one stays within a
// few bytes of it.
constexpr std::size_t kMaxDecoderOverrun = 8;

// Whether data[0..size) may be the start of an ADTS frame that the next bytes complete.
bool may_be_cut_frame(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || data[0] != 0xFF) return false;
    if (size == 1) return true;
    if (!is_adts_sync(data, size)) return false;
    if (size < 7) return true;
    return adts_sf_index(data) <= 12 && adts_frame_length(data) > size;
}

// Where the next frame candidate after `from` starts, or size.
std::size_t next_candidate(const std::uint8_t* data, std::size_t size, std::size_t from) {
    for (std::size_t i = from; i < size; ++i) {
        const void* hit = std::memchr(data + i, 0xFF, size - i);
        if (hit == nullptr) return size;
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if (adts_frame_candidate(data + i, size - i) != 0) return i;
    }
    return size;
}

template <class Coder>
void code_bytes(Coder& rc, FrameModel& m, ByteClass cls, std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bytes[i] = code_byte(rc, m, cls, bytes[i]);
}

struct CodecBuffers {
    std::unique_ptr<FrameModel> model = std::make_unique<FrameModel>();
    std::unique_ptr<FrameRecord> record = std::make_unique<FrameRecord>();
    std::unique_ptr<std::uint8_t[]> frame = std::make_unique<std::uint8_t[]>(kFrameBufferBytes);
};

}  // namespace

std::size_t next_chunk_length(const std::uint8_t* data, std::size_t size, bool at_end, std::size_t max_frames,
                              std::size_t max_bytes, std::size_t target_bytes) {
    if (max_frames == 0) max_frames = 1;
    if (max_bytes == 0) max_bytes = 1;
    std::size_t pos = 0;
    std::size_t frames = 0;
    std::size_t other = 0;
    while (pos < size) {
        const std::size_t length = adts_frame_candidate(data + pos, size - pos);
        if (length != 0) {
            pos += length;
            if (++frames >= max_frames || (target_bytes != 0 && pos >= target_bytes)) return pos;
            continue;
        }
        if (!at_end && may_be_cut_frame(data + pos, size - pos)) return pos;
        ++pos;
        if (++other >= max_bytes) return pos;
    }
    return pos;
}

int encode_chunk(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload, PackStats* stats,
                 bool check_frames) {
    payload.clear();
    if (size == 0) return 0;
    CodecBuffers buf;
    FrameModel& m = *buf.model;
    FrameRecord& rec = *buf.record;
    RangeEncoder rc;
    start_encoder(rc, payload);
    std::uint64_t measure = 0;
    const auto charge_unit = [&](PackFamily family) {
        if (stats == nullptr) return;
        const std::uint64_t now = coded_bits(rc);
        stats->bits[family] += now - measure;
        measure = now;
    };
    std::vector<std::uint8_t> scratch;
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t length = adts_frame_candidate(data + pos, size - pos);
        if (length == 0) {
            const std::size_t end = next_candidate(data, size, pos + 1);
            const std::size_t run = end - pos;
            code_bit(rc, m.unit_is_frame, 0);
            (void)code_uint(rc, m.run_length, static_cast<std::uint32_t>(run - 1));
            charge_unit(FAMILY_STRUCTURE);
            scratch.assign(data + pos, data + end);
            code_bytes(rc, m, BYTES_RAW, scratch.data(), run);
            charge_unit(FAMILY_RAW);
            if (stats != nullptr) stats->other_bytes += run;
            pos = end;
            continue;
        }
        std::size_t written = 0;
        const bool modelled = parse_adts_frame(data + pos, length, rec) == 0 &&
                              (!check_frames ||
                               (write_adts_frame(rec, buf.frame.get(), kFrameBufferBytes, written) == 0 &&
                                written == length && std::memcmp(buf.frame.get(), data + pos, length) == 0));
        code_bit(rc, m.unit_is_frame, 1);
        code_bit(rc, m.frame_modelled, modelled ? 1u : 0u);
        charge_unit(FAMILY_STRUCTURE);
        if (modelled) {
            CoderIo<RangeEncoder> io;
            io.rc = &rc;
            io.m = &m;
            io.rec = &rec;
            io.stats = stats != nullptr && stats->by_family ? stats : nullptr;
            io.measure = measure;
            walk_adts_frame(io);
            if (io.stats != nullptr) {
                measure = io.measure;
            } else if (stats != nullptr) {
                const std::uint64_t now = coded_bits(rc);
                stats->frame_bits += now - measure;
                measure = now;
            }
            if (io.failed || io.cur.field != rec.n_field || io.cur.sf != rec.n_sf || io.cur.line != rec.n_line ||
                io.cur.byte != rec.n_byte)
                return 1;
            if (stats != nullptr) ++stats->frames_modelled;
        } else {
            (void)code_uint(rc, m.raw_frame_length, static_cast<std::uint32_t>(length));
            scratch.assign(data + pos, data + pos + length);
            code_bytes(rc, m, BYTES_RAW, scratch.data(), length);
            charge_unit(FAMILY_RAW);
            if (stats != nullptr) ++stats->frames_raw;
        }
        pos += length;
    }
    finish_encoder(rc);
    charge_unit(FAMILY_STRUCTURE);
    return 0;
}

int decode_chunk(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out, std::size_t original_size) {
    if (original_size == 0) return 0;
    CodecBuffers buf;
    FrameModel& m = *buf.model;
    RangeDecoder rc;
    start_decoder(rc, payload, payload_size);
    std::size_t pos = 0;
    while (pos < original_size) {
        if (rc.overrun > kMaxDecoderOverrun) return 1;
        const std::size_t left = original_size - pos;
        if (!code_bit(rc, m.unit_is_frame, 0)) {
            const std::size_t run = std::size_t{code_uint(rc, m.run_length, 0)} + 1;
            if (run > left) return 1;
            code_bytes(rc, m, BYTES_RAW, out + pos, run);
            pos += run;
            continue;
        }
        if (code_bit(rc, m.frame_modelled, 0)) {
            CoderIo<RangeDecoder> io;
            io.rc = &rc;
            io.m = &m;
            bitsink_create(io.sink, buf.frame.get(), kFrameBufferBytes);
            walk_adts_frame(io);
            if (io.failed || !patch_frame_length(io.sink)) return 1;
            const std::size_t length = bitsink_bytes(io.sink);
            if (length > left) return 1;
            std::memcpy(out + pos, buf.frame.get(), length);
            pos += length;
        } else {
            const std::size_t length = code_uint(rc, m.raw_frame_length, 0);
            if (length == 0 || length > left) return 1;
            code_bytes(rc, m, BYTES_RAW, out + pos, length);
            pos += length;
        }
    }
    return rc.overrun > kMaxDecoderOverrun ? 1 : 0;
}
