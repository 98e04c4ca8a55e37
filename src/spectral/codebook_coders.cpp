// Codeword transcoding: the stream's codeword is decoded to its tuple and the tuple coded
// again with the same book, which keeps reader and writer in step and checks every codeword.
#include "spectral/codebook_coders.h"

#include "splitter/codebooks.h"

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

int transcode_tuple(StreamReader& reader, int cb, BitSink& sink, int& bits) {
    int book = cb;
    if (cb >= 16 && cb <= 31) book = ESC_HCB;
    if (book == RESERVED_HCB) return kTupleReservedBook;
    if (book < 1 || book > ESC_HCB) return kTupleNoBook;
    const unsigned n = tuple_size(book);
    int v[4] = {0, 0, 0, 0};
    int status = kTupleOk;
    int index = 0;
    unsigned length = 0;
    if (decode_spectral_index(book, peek_bits(reader, 32), index, length)) {
        read_bits(reader, length);
        index_to_tuple(book, index, v);
        if (is_unsigned_book(book)) {
            for (unsigned i = 0; i < n; ++i)
                if (v[i] != 0 && read_bits(reader, 1) == 1) v[i] = -v[i];
        }
    } else {
        status = kTupleBadCodeword;
    }
    const SpectralCodeEntry entry = lookup_codeword(book, tuple_to_index(book, v));
    bits += static_cast<int>(bitsink_put(sink, entry.codeword, entry.length));
    if (is_unsigned_book(book)) {
        for (unsigned i = 0; i < n; ++i)
            if (v[i] != 0) bits += static_cast<int>(bitsink_put(sink, v[i] < 0 ? 1u : 0u, 1));
    }
    if (book == ESC_HCB) {
        copy_escape(reader, v[0], sink, bits);
        copy_escape(reader, v[1], sink, bits);
    }
    return status;
}
