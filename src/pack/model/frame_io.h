// The coding Io of the frame syntax walk, for a model generation's record and a coder: every
// value of a frame record goes through an adaptive model whose context is built only from what
// the decoder has already seen (earlier values of this frame, the previous frame of the same
// channel, the partner channel of a common-window pair). The encoding Io takes the values from
// a parsed record; the decoding Io reads them from the range decoder and writes the frame's
// bits through the sink it holds as it goes, which is also how it knows where byte alignment
// falls.
//
// The hooks here are the ones every generation codes alike (plain fields, alignment, the
// start of a channel, ms_used, payload bytes); a generation's own header adds the sections,
// scale factors and spectral lines its models code (line_coding.h, sf_coding.h and
// section_coding.h hold what those share).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "pack/coder/range_coder.h"
#include "pack/format/pack_result.h"
#include "pack/format/pack_stats.h"
#include "pack/frame/adts_frame.h"
#include "pack/frame/frame_record.h"
#include "pack/frame/frame_syntax.h"
#include "pack/model/adaptive.h"
#include "pack/model/channel_history.h"
#include "pack/model/common_models.h"
#include "aac/bit_sink.h"

// Where the frame's bits go: the decoding coder writes the frame as it decodes (into the
// BitSink it is created over), the encoding coder has the frame already and writes nothing.
// Every hook hands its bits to the sink its Io holds and leaves the rest to these overloads.

template <bool kWrites>
struct FrameSink;
template <>
struct FrameSink<false> {};
template <>
struct FrameSink<true> : BitSink {
    std::array<std::int32_t, kFrameLength> lines;  // the band being decoded
};

inline bool sink_bits(FrameSink<false>&, std::uint32_t, unsigned) { return true; }
inline bool sink_bits(FrameSink<true>& s, std::uint32_t v, unsigned n) { return bitsink_put(s, v, n) == n; }
inline bool sink_scale_factor(FrameSink<false>&, unsigned) { return true; }
inline bool sink_scale_factor(FrameSink<true>& s, unsigned index) { return put_scale_factor_codeword(s, index); }
inline void sink_line(FrameSink<false>&, std::size_t, std::int32_t) {}
inline void sink_line(FrameSink<true>& s, std::size_t i, std::int32_t v) { s.lines[i] = v; }
inline bool sink_zero_lines(FrameSink<false>&, int, std::size_t) { return true; }
inline bool sink_zero_lines(FrameSink<true>& s, int cb, std::size_t count) {
    std::fill_n(s.lines.data(), count, 0);
    return put_decoded_values(s, cb, s.lines.data(), count);
}
inline bool sink_lines(FrameSink<false>&, int, std::size_t) { return true; }
inline bool sink_lines(FrameSink<true>& s, int cb, std::size_t count) {
    return put_decoded_values(s, cb, s.lines.data(), count);
}

template <class Model, class Coder>
struct CoderIo {
    static constexpr bool kDecoding = std::is_same<Coder, RangeDecoder>::value;
    Coder* rc = nullptr;
    Model* m = nullptr;
    const FrameRecord* rec = nullptr;  // encoding: the values to code
    RecordCursor cur;
    FrameSink<kDecoding> sink;         // decoding: the frame being written
    PackStats* stats = nullptr;
    std::uint64_t measure = 0;         // coded size where the last charge ended, in bits
    bool failed = false;
    PackResult why = PACK_OK;          // the first reason the walk failed
};

template <class Model, class Coder>
void emit_bits(CoderIo<Model, Coder>& io, std::uint32_t v, unsigned n) {
    if (!sink_bits(io.sink, v, n)) fail(io, PACK_FRAME_TOO_LONG);
}

// Counts the coded bits since the last charge to a family (when the run counts them).
template <class Model, class Coder>
void charge(CoderIo<Model, Coder>& io, PackFamily family) {
    if constexpr (!CoderIo<Model, Coder>::kDecoding) {
        if (io.stats == nullptr) return;
        const std::uint64_t now = coded_bits(*io.rc);
        io.stats->bits[family] += now - io.measure;
        io.measure = now;
    } else {
        (void)io;
        (void)family;
    }
}

// The value of the next plain field: the encoder takes it from the record, the decoder learns
// it from the coder. False once the walk has failed or the record has run out.
template <class Model, class Coder>
bool take_field(CoderIo<Model, Coder>& io, std::uint32_t& value) {
    if (io.failed) return false;
    if constexpr (!CoderIo<Model, Coder>::kDecoding) {
        if (io.cur.field >= io.rec->n_field) {
            fail(io, PACK_NOT_DESCRIBED);
            return false;
        }
        value = io.rec->field[io.cur.field++];
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The hooks the frame walk calls (frame_syntax.h lists them).

template <class Model, class Coder>
std::uint32_t io_field(CoderIo<Model, Coder>& io, unsigned n, FieldKind kind, unsigned slot) {
    std::uint32_t v = 0;
    if (n == 0 || !take_field(io, v)) return 0;
    v = code_field_value(*io.rc, io.m->fields, v, n, kind, slot);
    if (n < 32 && (v >> n) != 0) {
        fail(io, PACK_FIELD_PAST_WIDTH);
        return 0;
    }
    emit_bits(io, v, n);
    charge(io, family_of(kind));
    return io.failed ? 0 : v;
}

template <class Model, class Coder>
std::uint32_t io_hidden(CoderIo<Model, Coder>& io, unsigned n, FieldKind kind) {
    std::uint32_t v = 0;
    if (!take_field(io, v)) return 0;
    v = code_field_value(*io.rc, io.m->fields, v, n, kind, 0);
    if ((v >> n) != 0) fail(io, PACK_FIELD_PAST_WIDTH);
    charge(io, family_of(kind));
    return io.failed ? 0 : v;
}

// Alignment widths are not coded: the encoder has them from the parse, the decoder from the
// position of what it has written.
template <class Model, class Coder>
unsigned io_align_width(CoderIo<Model, Coder>& io) {
    if (io.failed) return 0;
    if constexpr (CoderIo<Model, Coder>::kDecoding) {
        return static_cast<unsigned>((8 - (io.sink.bit_position & 7)) & 7);
    } else {
        if (io.cur.field >= io.rec->n_field || io.rec->field[io.cur.field] > 7) {
            fail(io, PACK_NOT_DESCRIBED);
            return 0;
        }
        return io.rec->field[io.cur.field++];
    }
}

// The frame length is not coded either: the decoder leaves room for it and fills it in at the end.
template <class Model, class Coder>
void io_frame_length(CoderIo<Model, Coder>& io) {
    emit_bits(io, 0, 13);
}

template <class Model, class Coder>
void io_begin_channel(CoderIo<Model, Coder>& io, unsigned slot, std::uint8_t window_sequence) {
    ChannelHistory& h = history_of(*io.m, slot);
    h.cur = static_cast<std::uint8_t>((h.cur + 1u) % kFramesKept);
    h.q[h.cur].fill(0);
    h.sign.fill(0);
    h.sf_diff[h.cur].fill(0);
    h.sf_kind[h.cur].fill(0);
    h.sf_running.fill(0);
    h.band_cb[h.cur].fill(0);
    h.last_sect_cb = 16;
    h.sf_running[SF_SCALE] =
        static_cast<std::int16_t>(io.m->fields.last[K_GLOBAL_GAIN][history_slot(slot + io.m->fields.slot_base)]);
    h.window_sequence[h.cur] = window_sequence;
    h.last_sf_diff = 0;
    h.last_sf_residual = kSfResidual - 1;
    h.last_band_zero = 2;
    h.last_escape = 0;
}

template <class Model, class Coder>
std::uint32_t io_ms_used(CoderIo<Model, Coder>& io, const BandPos& pos) {
    std::uint32_t used = 0;
    if (!take_field(io, used)) return 0;
    ChannelHistory& h = history_of(*io.m, pos.slot);
    const unsigned g = pos.g % 8;
    const std::uint64_t bit = std::uint64_t{1} << (pos.sfb % 64);
    const unsigned before = (h.ms_used[g] & bit) ? 1u : 0u;
    const unsigned left = pos.sfb == 0 ? 2u : ((h.ms_used[g] & (bit >> 1)) ? 1u : 0u);
    used = code_bit(*io.rc, io.m->ms_used[clamp_index(pos.sfb / 6u, kBandClasses)][before][left], used & 1u);
    // the band before has been replaced by this frame's flag already, which is what `left` wants
    h.ms_used[g] = used ? (h.ms_used[g] | bit) : (h.ms_used[g] & ~bit);
    emit_bits(io, used, 1);
    charge(io, FAMILY_STRUCTURE);
    return used;
}

template <class Model, class Coder>
void io_bytes(CoderIo<Model, Coder>& io, std::size_t count, ByteClass cls) {
    if (io.failed) return;
    if constexpr (!CoderIo<Model, Coder>::kDecoding) {
        if (io.cur.byte + count > io.rec->n_byte) {
            fail(io, PACK_NOT_DESCRIBED);
            return;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t b = 0;
        if constexpr (!CoderIo<Model, Coder>::kDecoding) b = io.rec->byte[io.cur.byte++];
        b = code_byte(*io.rc, io.m->bytes, cls, b);
        if (!sink_bits(io.sink, b, 8)) {
            fail(io, PACK_FRAME_TOO_LONG);
            return;
        }
    }
    charge(io, cls == BYTES_PAYLOAD ? FAMILY_FILL : cls == BYTES_RAW ? FAMILY_RAW : FAMILY_CONTAINER);
}
