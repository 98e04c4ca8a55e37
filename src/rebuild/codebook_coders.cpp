// Codeword transcoding: the stream's codeword is decoded to its tuple and the tuple coded
// again with the same book, which keeps reader and writer in step and checks every codeword.
#include "rebuild/codebook_coders.h"

#include "aac/codebooks.h"

namespace {

// The escape sequence after a codebook 11 escape flag, copied bit for bit.
inline void copy_escape_batched(StreamReader& reader, BitSink& sink, BitBatch& batch) {
    unsigned n = 4;
    while (n < kMaxEscapeWordBits && read_bits(reader, 1) == 1) {
        batch_put(sink, batch, 1, 1);
        ++n;
    }
    batch_put(sink, batch, 0, 1);
    batch_put(sink, batch, read_bits(reader, n), n);
}

// One tuple of a resolved book (1..11). The tuple coded again is the same index, so its
// codeword is the table's entry for the index; the sign bits follow it unchanged and travel
// with it in one field (a codeword has at most 19 bits, a quadruple 4 signs).
inline TupleStatus transcode_in_book(StreamReader& reader, int book, BitSink& sink, BitBatch& batch) {
    int index = 0;
    unsigned length = 0;
    const std::uint32_t next32 = peek_bits(reader, 32);
    if (!decode_spectral_index(book, next32, index, length)) {
        // Nothing is consumed; the all-zero tuple keeps the channel's line count.
        const int zeros[4] = {0, 0, 0, 0};
        const SpectralCodeEntry entry = lookup_codeword(book, tuple_to_index(book, zeros));
        batch_put(sink, batch, entry.codeword, entry.length);
        return TupleStatus::bad_codeword;
    }
    const TupleInfo& info = kTupleInfo.entry[book][index];
    const unsigned signs = is_unsigned_book(book) ? info.nonzero : 0u;
    // The codeword and its signs lie within the 32 bits already seen.
    const std::uint32_t sign_bits = (next32 >> (32 - length - signs)) & ((std::uint32_t{1} << signs) - 1u);
    advance_bits(reader, length + signs);
    const SpectralCodeEntry entry = lookup_codeword(book, index);
    batch_put(sink, batch, (std::uint32_t{entry.codeword} << signs) | sign_bits, entry.length + signs);
    if (info.escapes != 0) {
        if (info.escapes & 2) copy_escape_batched(reader, sink, batch);
        if (info.escapes & 1) copy_escape_batched(reader, sink, batch);
    }
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
