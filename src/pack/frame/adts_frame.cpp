// Parse and write of an ADTS frame record: the bit-level Io pair of the frame syntax walk.
#include "pack/frame/adts_frame.h"

#include <cstring>

#include "pack/frame/frame_syntax.h"
#include "aac/spectral_codec.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Parse: bits of one frame into the record. Reads past the frame serve zeros and fail the walk.

struct ParseIo {
    FrameRecord* rec = nullptr;
    BitReader br;                 // over the frame's bytes and a zero tail
    std::uint32_t size_bits = 0;  // the frame's
    bool open_end = false;        // the unit ends where its raw data block does (no trailing bytes)
    bool failed = false;
    PackResult why = PACK_OK;
};

std::uint32_t take_bits(ParseIo& io, unsigned n) {
    const std::uint32_t v = get_bits(io.br, n);
    if (processed_bits(io.br) > io.size_bits) fail(io, PACK_NOT_DESCRIBED);
    return v;
}

bool push_field(ParseIo& io, std::uint32_t v) {
    if (io.rec->n_field >= kMaxFields) {
        fail(io, PACK_NOT_DESCRIBED);
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
    const std::uint32_t pos = processed_bits(io.br);
    if (io.failed || (pos & 7) != 0 || pos > io.size_bits) {
        fail(io, PACK_NOT_DESCRIBED);
        return 0;
    }
    if (io.open_end) io.size_bits = pos;
    const std::uint32_t v = (io.size_bits - pos) / 8;
    if ((v >> n) != 0) fail(io, PACK_NOT_DESCRIBED);
    push_field(io, v);
    return io.failed ? 0 : v;
}

unsigned io_align_width(ParseIo& io) {
    const unsigned width = (8 - (processed_bits(io.br) & 7)) & 7;
    push_field(io, width);
    return io.failed ? 0 : width;
}

void io_frame_length(ParseIo& io) {
    if (take_bits(io, 13) != io.size_bits / 8) fail(io, PACK_NOT_DESCRIBED);
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
    if (!decode_scalefactor_index(show_bits(io.br, 32), index, length) || io.rec->n_sf >= kMaxScaleFactors) {
        fail(io, PACK_NOT_DESCRIBED);
        return;
    }
    (void)take_bits(io, length);
    io.rec->sf[io.rec->n_sf++] = static_cast<std::uint8_t>(index);
}

void io_spectral(ParseIo& io, int cb, std::size_t count, const LineRun&) {
    FrameRecord& rec = *io.rec;
    const std::size_t lines = (count + tuple_size(cb) - 1) / tuple_size(cb) * tuple_size(cb);
    if (io.failed || rec.n_line + lines > kMaxLines) {
        fail(io, PACK_NOT_DESCRIBED);
        return;
    }
    std::int32_t* v = &rec.line[rec.n_line];
    std::uint32_t pos = processed_bits(io.br);
    NoBits bits;
    if (decode_band(io.br, pos, cb, v, static_cast<unsigned>(lines), bits) != BandStatus::ok) {
        fail(io, PACK_NOT_DESCRIBED);
        return;
    }
    reader_seek(io.br, pos);
    // Every decoded value is within its book's range (escapes end at kMaxEscapeMagnitude), so
    // the writer codes it back; only a band running past the frame fails here.
    if (pos > io.size_bits) {
        fail(io, PACK_NOT_DESCRIBED);
        return;
    }
    rec.n_line += lines;
}

void io_bytes(ParseIo& io, std::size_t count, ByteClass) {
    FrameRecord& rec = *io.rec;
    if (io.failed || rec.n_byte + count > rec.byte.size()) {
        fail(io, PACK_NOT_DESCRIBED);
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
    PackResult why = PACK_OK;
};

std::uint32_t pop_field(WriteIo& io) {
    if (io.cur.field >= io.rec->n_field) {
        fail(io, PACK_NOT_DESCRIBED);
        return 0;
    }
    return io.rec->field[io.cur.field++];
}

std::uint32_t io_field(WriteIo& io, unsigned n, FieldKind, unsigned) {
    if (n == 0 || io.failed) return 0;
    const std::uint32_t v = pop_field(io);
    if (n < 32 && (v >> n) != 0) fail(io, PACK_NOT_DESCRIBED);
    if (bitsink_put(io.sink, v, n) != n) fail(io, PACK_NOT_DESCRIBED);
    return io.failed ? 0 : v;
}

std::uint32_t io_hidden(WriteIo& io, unsigned, FieldKind) { return io.failed ? 0 : pop_field(io); }

unsigned io_align_width(WriteIo& io) {
    const unsigned width = static_cast<unsigned>((8 - (io.sink.bit_position & 7)) & 7);
    if (io.failed || pop_field(io) != width) fail(io, PACK_NOT_DESCRIBED);
    return io.failed ? 0 : width;
}

void io_frame_length(WriteIo& io) {
    if (bitsink_put(io.sink, 0, 13) != 13) fail(io, PACK_NOT_DESCRIBED);
}

void io_begin_channel(WriteIo&, unsigned, std::uint8_t) {}

std::uint32_t io_sect_cb(WriteIo& io, const BandPos& pos) { return io_field(io, 4, K_SECT_CB, pos.slot); }

std::uint32_t io_ms_used(WriteIo& io, const BandPos& pos) { return io_field(io, 1, K_MS_USED, pos.slot); }

std::uint32_t io_sect_len(WriteIo& io, unsigned n, FieldKind kind, const BandPos& pos, unsigned) {
    return io_field(io, n, kind, pos.slot);
}

void io_scale_factor(WriteIo& io, SfKind, const BandPos&) {
    if (io.failed || io.cur.sf >= io.rec->n_sf || !put_scale_factor_codeword(io.sink, io.rec->sf[io.cur.sf++]))
        fail(io, PACK_NOT_DESCRIBED);
}

void io_spectral(WriteIo& io, int cb, std::size_t count, const LineRun&) {
    if (io.failed || io.cur.line + count > io.rec->n_line ||
        !put_spectral_values(io.sink, cb, &io.rec->line[io.cur.line], count)) {
        fail(io, PACK_NOT_DESCRIBED);
        return;
    }
    io.cur.line += count;
}

void io_bytes(WriteIo& io, std::size_t count, ByteClass) {
    if (io.failed || io.cur.byte + count > io.rec->n_byte) {
        fail(io, PACK_NOT_DESCRIBED);
        return;
    }
    for (std::size_t i = 0; i < count; ++i)
        if (bitsink_put(io.sink, io.rec->byte[io.cur.byte++], 8) != 8) fail(io, PACK_NOT_DESCRIBED);
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
    return cb >= 1 && cb <= ESC_HCB && band_in_range(cb, v, count) && put_decoded_values(sink, cb, v, count);
}

bool put_decoded_values(BitSink& sink, int cb, const std::int32_t* v, std::size_t count) {
    if (cb < 1 || cb > ESC_HCB || count % tuple_size(cb) != 0) return false;
    BitBatch batch;
    const int expected = encode_band(sink, batch, cb, v, count);
    return batch_finish(sink, batch) == expected;
}

bool patch_frame_length(BitSink& sink) {
    if (sink.overflow || (sink.bit_position & 7) != 0) return false;
    const std::size_t length = bitsink_bytes(sink);
    if (length > kMaxFrameBytes || length < 7) return false;
    set_adts_frame_length(sink.buffer, length);
    return true;
}

std::size_t adts_frame_candidate(const std::uint8_t* data, std::size_t size) {
    if (size < 7 || !is_adts_sync(data, size) || adts_sf_index(data) > 12) return 0;
    const std::size_t frame_length = adts_frame_length(data);
    const std::size_t header = (data[1] & 1) ? 7 : 9;
    if (frame_length < header || frame_length > size) return 0;
    return frame_length;
}

namespace {

// Parses data[0..size) with the walk; with open_end, the unit may end before size and its
// length is returned in size_bits.
template <class Walk>
PackResult parse_unit(const std::uint8_t* data, std::size_t size, FrameRecord& rec, bool open_end,
                            std::uint32_t& size_bits, Walk walk) {
    clear_record(rec);
    if (size == 0) return PACK_NOT_DESCRIBED;
    if (size > kMaxFrameBytes) {
        if (!open_end) return PACK_NOT_DESCRIBED;
        size = kMaxFrameBytes;
    }
    // the unit's bytes followed by the zero tail the reader wants
    std::uint8_t padded[kMaxFrameBytes + kReaderTail];
    std::memcpy(padded, data, size);
    std::memset(padded + size, 0, kReaderTail);
    ParseIo io;
    io.rec = &rec;
    io.open_end = open_end;
    init_reader(io.br, padded, size);
    io.size_bits = static_cast<std::uint32_t>(size * 8);
    walk(io);
    if (io.failed || processed_bits(io.br) != io.size_bits) return PACK_NOT_DESCRIBED;
    size_bits = io.size_bits;
    return PACK_OK;
}

// Writes rec with the walk; every value of the record must have been used, or the record was
// not this unit's.
template <class Walk>
PackResult write_unit(const FrameRecord& rec, std::uint8_t* out, std::size_t capacity, Walk walk,
                            WriteIo& io) {
    io.rec = &rec;
    bitsink_create(io.sink, out, capacity, true);  // the caller takes only the bytes written
    walk(io);
    if (io.failed || io.cur.field != rec.n_field || io.cur.sf != rec.n_sf || io.cur.line != rec.n_line ||
        io.cur.byte != rec.n_byte)
        return PACK_NOT_DESCRIBED;
    return PACK_OK;
}

}  // namespace

PackResult parse_adts_frame(const std::uint8_t* data, std::size_t size, FrameRecord& rec) {
    std::uint32_t bits = 0;
    return parse_unit(data, size, rec, false, bits, [](ParseIo& io) { walk_adts_frame(io); });
}

PackResult parse_access_unit(const std::uint8_t* data, std::size_t size, const FrameContext& fc,
                                   FrameRecord& rec) {
    std::uint32_t bits = 0;
    return parse_unit(data, size, rec, false, bits, [&](ParseIo& io) { walk_access_unit(io, fc); });
}

std::size_t access_unit_length(const std::uint8_t* data, std::size_t size, const FrameContext& fc,
                               FrameRecord& rec) {
    std::uint32_t bits = 0;
    if (parse_unit(data, size, rec, true, bits, [&](ParseIo& io) { walk_access_unit(io, fc); }) != PACK_OK) return 0;
    return bits / 8;
}

PackResult write_access_unit(const FrameRecord& rec, const FrameContext& fc, std::uint8_t* out,
                                   std::size_t capacity, std::size_t& length) {
    WriteIo io;
    if (write_unit(rec, out, capacity, [&](WriteIo& w) { walk_access_unit(w, fc); }, io) != PACK_OK ||
        io.sink.overflow || (io.sink.bit_position & 7) != 0)
        return PACK_NOT_DESCRIBED;
    length = bitsink_bytes(io.sink);
    return PACK_OK;
}

PackResult write_adts_frame(const FrameRecord& rec, std::uint8_t* out, std::size_t capacity,
                                  std::size_t& length) {
    WriteIo io;
    if (write_unit(rec, out, capacity, [](WriteIo& w) { walk_adts_frame(w); }, io) != PACK_OK ||
        !patch_frame_length(io.sink))
        return PACK_NOT_DESCRIBED;
    length = bitsink_bytes(io.sink);
    return PACK_OK;
}

bool first_adts_header(const std::uint8_t* data, std::size_t size, std::uint8_t (&header)[7]) {
    for (std::size_t at = 0; at + sizeof header <= size; ++at) {
        if (adts_frame_candidate(data + at, size - at) == 0) continue;
        std::memcpy(header, data + at, sizeof header);
        return true;
    }
    return false;
}
