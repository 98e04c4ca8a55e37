// Codeword transcoding: each tuple of the stream is decoded through the spectral codec and
// its bits written again, which keeps reader and writer in step and checks every codeword.
#include "rebuild/codebook_coders.h"

#include "aac/spectral_codec.h"

namespace {

// The escape sequence after a codebook 11 escape flag, copied bit for bit. A prefix longer
// than decoders accept is cut to the longest they accept, followed by the bits after it.
inline void copy_escape(StreamReader& reader, BitSink& sink, BitBatch& batch) {
    const std::uint64_t window = std::uint64_t{peek_bits(reader, 32)} << 32;
    std::uint32_t magnitude = 0;
    unsigned length = 0;
    if (decode_escape(window, magnitude, length)) {
        advance_bits(reader, length);
        batch_put(sink, batch, static_cast<std::uint32_t>(window >> (64 - length)), length);
        return;
    }
    advance_bits(reader, kMaxEscapePrefixOnes);
    batch_put(sink, batch, ((1u << kMaxEscapePrefixOnes) - 1u) << 1, kMaxEscapePrefixOnes + 1);
    batch_put(sink, batch, read_bits(reader, kMaxEscapeWordBits), kMaxEscapeWordBits);
}

// One tuple of a resolved book (1..11), its codeword and sign bits copied as one field.
inline TupleStatus transcode_in_book(StreamReader& reader, int book, BitSink& sink, BitBatch& batch) {
    const std::uint64_t window = std::uint64_t{peek_bits(reader, 32)} << 32;
    std::int32_t v[4];
    unsigned length = 0;
    unsigned escapes = 0;
    if (!decode_tuple(book, window, v, length, escapes)) {
        // Nothing is consumed; the all-zero tuple keeps the channel's line count.
        const std::int32_t zeros[4] = {0, 0, 0, 0};
        (void)encode_band(sink, batch, book, zeros, tuple_size(book));
        return TupleStatus::bad_codeword;
    }
    advance_bits(reader, length);
    batch_put(sink, batch, static_cast<std::uint32_t>(window >> (64 - length)), length);
    if (escapes & 2) copy_escape(reader, sink, batch);
    if (escapes & 1) copy_escape(reader, sink, batch);
    return TupleStatus::ok;
}

// The book that codes section codebook cb, or 0 when cb carries no spectral codewords.
inline int resolve_book(int cb) {
    const int book = cb >= 16 && cb <= 31 ? ESC_HCB : cb;
    return book >= 1 && book <= ESC_HCB ? book : 0;
}

}  // namespace

TupleStatus transcode_tuples(StreamReader& reader, int cb, int tuples, BitSink& sink, int& bits) {
    if (cb == RESERVED_HCB) return TupleStatus::reserved_book;
    const int book = resolve_book(cb);
    if (book == 0) return TupleStatus::no_book;
    BitBatch batch;
    TupleStatus status = TupleStatus::ok;
    for (int t = 0; t < tuples; ++t) {
        const TupleStatus s = transcode_in_book(reader, book, sink, batch);
        if (status == TupleStatus::ok) status = s;
    }
    bits += batch_finish(sink, batch);
    return status;
}
