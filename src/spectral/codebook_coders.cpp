// Codeword transcoding: the stream's codeword is decoded to its tuple and the tuple coded
// again with the same book, which keeps reader and writer in step and checks every codeword.
#include "spectral/codebook_coders.h"

#include "aac/codebooks.h"

namespace {
// A valid stream has at most 8 prefix ones (n = 12); 31 keeps the word within one read.
constexpr unsigned kMaxEscapeWordBits = 31;
}  // namespace

std::int32_t copy_escape(StreamReader& reader, std::int32_t v, BitSink& sink, int& bits) {
    if (v != kEscapeFlag && v != -kEscapeFlag) return v;
    unsigned n = 4;
    while (n < kMaxEscapeWordBits && read_bits(reader, 1) == 1) {
        bits += static_cast<int>(bitsink_put(sink, 1, 1));
        ++n;
    }
    bits += static_cast<int>(bitsink_put(sink, 0, 1));
    const std::uint32_t escape_word = read_bits(reader, n);
    bits += static_cast<int>(bitsink_put(sink, escape_word, n));
    const std::int64_t magnitude = (std::int64_t{1} << n) | escape_word;
    const std::int64_t value = v < 0 ? -magnitude : magnitude;
    return static_cast<std::int32_t>(value > INT32_MAX ? INT32_MAX : value < -INT32_MAX ? -INT32_MAX : value);
}

namespace {

// The escape sequence after a codebook 11 escape flag, copied bit for bit as copy_escape does.
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
inline int transcode_in_book(StreamReader& reader, int book, BitSink& sink, BitBatch& batch) {
    int index = 0;
    unsigned length = 0;
    const std::uint32_t next32 = peek_bits(reader, 32);
    if (!decode_spectral_index(book, next32, index, length)) {
        // Nothing is consumed; the all-zero tuple keeps the channel's line count.
        const int zeros[4] = {0, 0, 0, 0};
        const SpectralCodeEntry entry = lookup_codeword(book, tuple_to_index(book, zeros));
        batch_put(sink, batch, entry.codeword, entry.length);
        return kTupleBadCodeword;
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
    return kTupleOk;
}

// The book that codes section codebook cb, or 0 when cb carries no spectral codewords.
inline int resolve_book(int cb) {
    const int book = cb >= 16 && cb <= 31 ? ESC_HCB : cb;
    return book >= 1 && book <= ESC_HCB ? book : 0;
}

}  // namespace

int transcode_tuple(StreamReader& reader, int cb, BitSink& sink, int& bits) {
    if (cb == RESERVED_HCB) return kTupleReservedBook;
    const int book = resolve_book(cb);
    if (book == 0) return kTupleNoBook;
    BitBatch batch;
    const int status = transcode_in_book(reader, book, sink, batch);
    bits += batch_finish(sink, batch);
    return status;
}

void transcode_tuples(StreamReader& reader, int cb, int tuples, BitSink& sink, int& bits) {
    const int book = resolve_book(cb);
    if (book == 0) return;
    BitBatch batch;
    for (int t = 0; t < tuples; ++t) static_cast<void>(transcode_in_book(reader, book, sink, batch));
    bits += batch_finish(sink, batch);
}
