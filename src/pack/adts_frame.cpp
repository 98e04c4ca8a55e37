// Parse and write of an ADTS frame record: the bit-level Io pair of the frame syntax walk.
#include "pack/adts_frame.h"

#include <cstdlib>
#include <cstring>

#include "pack/frame_syntax.h"
#include "aac/codebooks.h"

namespace {

// Escape words of codebook 11 are at most 15 bits long behind eleven one bits, as decoders
// accept them; anything longer makes the frame unmodelled.
constexpr unsigned kMaxEscapeWordBits = 15;
constexpr std::int32_t kMaxEscapeMagnitude = (1 << (kMaxEscapeWordBits + 1)) - 1;
constexpr unsigned kFrameLengthBit = 30;  // where aac_frame_length sits in the header

// ---------------------------------------------------------------------------------------------
// Parse: bits of one frame into the record. Reads past the frame serve zeros and fail the walk.

struct ParseIo {
    FrameRecord* rec = nullptr;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;  // bits
    bool failed = false;
};

std::uint32_t peek32(const ParseIo& io) {
    const std::size_t byte = io.pos >> 3;
    std::uint64_t w = 0;
    if (byte + 8 <= io.size) {
        // one load within the frame, in the bytes' order
        std::memcpy(&w, io.data + byte, 8);
        if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) w = __builtin_bswap64(w);
        return static_cast<std::uint32_t>(w >> (32 - (io.pos & 7)));
    }
    for (std::size_t i = 0; i < 5; ++i) w = (w << 8) | (byte + i < io.size ? io.data[byte + i] : 0u);
    return static_cast<std::uint32_t>(w >> (8 - (io.pos & 7)));
}

std::uint32_t take_bits(ParseIo& io, unsigned n) {
    if (n == 0) return 0;
    const std::uint32_t v = n == 32 ? peek32(io) : peek32(io) >> (32 - n);
    io.pos += n;
    if (io.pos > io.size * 8) io.failed = true;
    return v;
}

bool push_field(ParseIo& io, std::uint32_t v) {
    if (io.rec->n_field >= kMaxFields) {
        io.failed = true;
        return false;
    }
    io.rec->field[io.rec->n_field++] = v;
    return true;
}

std::uint32_t io_field(ParseIo& io, unsigned n, FieldKind, unsigned) {
    if (n == 0 || io.failed) return 0;
    const std::uint32_t v = take_bits(io, n);
    push_field(io, v);
    return io.failed ? 0 : v;
}

std::uint32_t io_hidden(ParseIo& io, unsigned n, FieldKind) {
    const std::size_t bytes_used = io.pos / 8;
    if (io.failed || (io.pos & 7) != 0 || bytes_used > io.size) {
        io.failed = true;
        return 0;
    }
    const std::uint32_t v = static_cast<std::uint32_t>(io.size - bytes_used);
    if ((v >> n) != 0) io.failed = true;
    push_field(io, v);
    return io.failed ? 0 : v;
}

unsigned io_align_width(ParseIo& io) {
    const unsigned width = static_cast<unsigned>((8 - (io.pos & 7)) & 7);
    push_field(io, width);
    return io.failed ? 0 : width;
}

void io_frame_length(ParseIo& io) {
    if (take_bits(io, 13) != io.size) io.failed = true;
}

void io_begin_channel(ParseIo&, unsigned, std::uint8_t) {}

std::uint32_t io_sect_cb(ParseIo& io, const BandPos& pos) { return io_field(io, 4, K_SECT_CB, pos.slot); }

std::uint32_t io_ms_used(ParseIo& io, const BandPos& pos) { return io_field(io, 1, K_MS_USED, pos.slot); }

std::uint32_t io_sect_len(ParseIo& io, unsigned n, FieldKind kind, const BandPos& pos, unsigned) {
    return io_field(io, n, kind, pos.slot);
}

void io_scale_factor(ParseIo& io, SfKind, const BandPos&) {
    if (io.failed) return;
    int index = 0;
    unsigned length = 0;
    if (!decode_scalefactor_index(peek32(io), index, length) || io.rec->n_sf >= kMaxScaleFactors) {
        io.failed = true;
        return;
    }
    (void)take_bits(io, length);
    io.rec->sf[io.rec->n_sf++] = static_cast<std::uint8_t>(index);
}

void io_spectral(ParseIo& io, int cb, std::size_t count, const LineRun&) {
    FrameRecord& rec = *io.rec;
    if (io.failed || rec.n_line + count > kMaxLines) {
        io.failed = true;
        return;
    }
    const unsigned n = tuple_size(cb);
    for (std::size_t k = 0; k < count; k += n) {
        int index = 0;
        unsigned length = 0;
        if (!decode_spectral_index(cb, peek32(io), index, length)) {
            io.failed = true;
            return;
        }
        (void)take_bits(io, length);
        const TupleInfo& info = kTupleInfo.entry[cb][index];
        std::int32_t* v = &rec.line[rec.n_line];
        for (unsigned j = 0; j < n; ++j) v[j] = info.v[j];
        if (is_unsigned_book(cb)) {
            // the sign bits of the non-zero values, in order, in one read
            unsigned nonzero = 0;
            for (unsigned j = 0; j < n; ++j) nonzero += v[j] != 0 ? 1u : 0u;
            const std::uint32_t signs = take_bits(io, nonzero);
            for (unsigned j = 0; j < n; ++j) {
                if (v[j] == 0) continue;
                if ((signs >> --nonzero) & 1u) v[j] = -v[j];
            }
            for (unsigned j = 0; j < 2 && cb == ESC_HCB; ++j) {
                if (!(info.escapes & (2u >> j))) continue;
                unsigned width = 4;
                while (take_bits(io, 1) == 1) {
                    if (++width > kMaxEscapeWordBits || io.failed) {
                        io.failed = true;
                        return;
                    }
                }
                const auto magnitude = static_cast<std::int32_t>((1u << width) + take_bits(io, width));
                v[j] = v[j] < 0 ? -magnitude : magnitude;
            }
        }
        rec.n_line += n;
    }
}

void io_bytes(ParseIo& io, std::size_t count, ByteClass) {
    FrameRecord& rec = *io.rec;
    if (io.failed || rec.n_byte + count > rec.byte.size()) {
        io.failed = true;
        return;
    }
    for (std::size_t i = 0; i < count; ++i) rec.byte[rec.n_byte++] = static_cast<std::uint8_t>(take_bits(io, 8));
}

// ---------------------------------------------------------------------------------------------
// Write: a record back into bits.

struct WriteIo {
    const FrameRecord* rec = nullptr;
    RecordCursor cur;
    BitSink sink;
    bool failed = false;
};

std::uint32_t pop_field(WriteIo& io) {
    if (io.cur.field >= io.rec->n_field) {
        io.failed = true;
        return 0;
    }
    return io.rec->field[io.cur.field++];
}

std::uint32_t io_field(WriteIo& io, unsigned n, FieldKind, unsigned) {
    if (n == 0 || io.failed) return 0;
    const std::uint32_t v = pop_field(io);
    if (n < 32 && (v >> n) != 0) io.failed = true;
    if (bitsink_put(io.sink, v, n) != n) io.failed = true;
    return io.failed ? 0 : v;
}

std::uint32_t io_hidden(WriteIo& io, unsigned, FieldKind) { return io.failed ? 0 : pop_field(io); }

unsigned io_align_width(WriteIo& io) {
    const unsigned width = static_cast<unsigned>((8 - (io.sink.bit_position & 7)) & 7);
    if (io.failed || pop_field(io) != width) io.failed = true;
    return io.failed ? 0 : width;
}

void io_frame_length(WriteIo& io) {
    if (bitsink_put(io.sink, 0, 13) != 13) io.failed = true;
}

void io_begin_channel(WriteIo&, unsigned, std::uint8_t) {}

std::uint32_t io_sect_cb(WriteIo& io, const BandPos& pos) { return io_field(io, 4, K_SECT_CB, pos.slot); }

std::uint32_t io_ms_used(WriteIo& io, const BandPos& pos) { return io_field(io, 1, K_MS_USED, pos.slot); }

std::uint32_t io_sect_len(WriteIo& io, unsigned n, FieldKind kind, const BandPos& pos, unsigned) {
    return io_field(io, n, kind, pos.slot);
}

void io_scale_factor(WriteIo& io, SfKind, const BandPos&) {
    if (io.failed || io.cur.sf >= io.rec->n_sf || !put_scale_factor_codeword(io.sink, io.rec->sf[io.cur.sf++]))
        io.failed = true;
}

void io_spectral(WriteIo& io, int cb, std::size_t count, const LineRun&) {
    if (io.failed || io.cur.line + count > io.rec->n_line ||
        !put_spectral_values(io.sink, cb, &io.rec->line[io.cur.line], count)) {
        io.failed = true;
        return;
    }
    io.cur.line += count;
}

void io_bytes(WriteIo& io, std::size_t count, ByteClass) {
    if (io.failed || io.cur.byte + count > io.rec->n_byte) {
        io.failed = true;
        return;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (bitsink_put(io.sink, io.rec->byte[io.cur.byte++], 8) != 8) io.failed = true;
}

}  // namespace

bool put_scale_factor_codeword(BitSink& sink, unsigned index) {
    if (index > 120) return false;
    const ScaleFactorCodeEntry& e = kScaleFactorCode[index];
    return bitsink_put(sink, e.codeword, e.length) == e.length;
}

// The codewords, signs and escapes of a band go through one batch: a put per field with its
// own bounds check and read-modify-write of the buffer cost more than choosing the codewords.
bool put_spectral_values(BitSink& sink, int cb, const std::int32_t* v, std::size_t count) {
    if (cb < 1 || cb > ESC_HCB) return false;
    const unsigned n = tuple_size(cb);
    const std::int32_t max_magnitude = cb == ESC_HCB ? kMaxEscapeMagnitude : book_max_magnitude(cb);
    const bool unsigned_book = is_unsigned_book(cb);
    if (count % n != 0) return false;
    BitBatch batch;
    int expected = 0;
    for (std::size_t k = 0; k < count; k += n) {
        int tuple[4] = {0, 0, 0, 0};
        for (unsigned j = 0; j < n; ++j) {
            if (std::abs(v[k + j]) > max_magnitude) return false;
            tuple[j] = v[k + j];
        }
        const SpectralCodeEntry code = lookup_codeword(cb, tuple_to_index(cb, tuple));
        if (code.length == 0) return false;
        batch_put(sink, batch, code.codeword, code.length);
        expected += code.length;
        if (!unsigned_book) continue;
        // the sign bits of the non-zero values, in order
        std::uint32_t signs = 0;
        unsigned sign_bits = 0;
        for (unsigned j = 0; j < n; ++j) {
            if (tuple[j] == 0) continue;
            signs = (signs << 1) | (tuple[j] < 0 ? 1u : 0u);
            ++sign_bits;
        }
        batch_put(sink, batch, signs, sign_bits);
        expected += static_cast<int>(sign_bits);
        if (cb != ESC_HCB) continue;
        for (unsigned j = 0; j < 2; ++j) {
            const auto m = static_cast<std::uint32_t>(std::abs(tuple[j]));
            if (m < 16) continue;
            unsigned width = 4;
            while ((m >> (width + 1)) != 0) ++width;
            const unsigned ones = width - 4;
            // prefix of ones, a zero, then the word below the leading one
            batch_put(sink, batch, ((1u << ones) - 1u) << 1, ones + 1);
            batch_put(sink, batch, m - (1u << width), width);
            expected += static_cast<int>(ones + 1 + width);
        }
    }
    return batch_finish(sink, batch) == expected;
}

bool patch_frame_length(BitSink& sink) {
    if (sink.overflow || (sink.bit_position & 7) != 0) return false;
    const std::size_t length = bitsink_bytes(sink);
    if (length > kMaxFrameBytes || length < 7) return false;
    // aac_frame_length spans bits 30..42: the low 2 bits of byte 3, byte 4, the top 3 bits of byte 5.
    static_assert(kFrameLengthBit == 30, "frame length position");
    std::uint8_t* p = sink.buffer;
    p[3] = static_cast<std::uint8_t>((p[3] & 0xFCu) | (length >> 11));
    p[4] = static_cast<std::uint8_t>(length >> 3);
    p[5] = static_cast<std::uint8_t>((p[5] & 0x1Fu) | ((length & 7u) << 5));
    return true;
}

std::size_t adts_frame_candidate(const std::uint8_t* data, std::size_t size) {
    if (size < 7 || data[0] != 0xFF || (data[1] & 0xF6) != 0xF0) return 0;  // syncword, layer 0
    const unsigned sf_index = (data[2] >> 2) & 0xF;
    if (sf_index > 12) return 0;
    const std::size_t frame_length = (static_cast<std::size_t>(data[3] & 3) << 11) | (data[4] << 3) | (data[5] >> 5);
    const std::size_t header = (data[1] & 1) ? 7 : 9;
    if (frame_length < header || frame_length > size) return 0;
    return frame_length;
}

PackStatus parse_adts_frame(const std::uint8_t* data, std::size_t size, FrameRecord& rec) {
    clear_record(rec);
    ParseIo io;
    io.rec = &rec;
    io.data = data;
    io.size = size;
    walk_adts_frame(io);
    if (io.failed || io.pos != size * 8) return 1;
    return 0;
}

PackStatus write_adts_frame(const FrameRecord& rec, std::uint8_t* out, std::size_t capacity, std::size_t& length) {
    WriteIo io;
    io.rec = &rec;
    bitsink_create(io.sink, out, capacity);
    walk_adts_frame(io);
    if (io.failed || !patch_frame_length(io.sink)) return 1;
    // Every value of the record must have been used, or the record was not this frame's.
    if (io.cur.field != rec.n_field || io.cur.sf != rec.n_sf || io.cur.line != rec.n_line || io.cur.byte != rec.n_byte)
        return 1;
    length = bitsink_bytes(io.sink);
    return 0;
}
