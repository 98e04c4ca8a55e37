// Band value encoder of the value path: one table lookup per tuple, then sign bits and
// escape sequences, in the order spectral_data() carries them.
#include "spectral/band_encoder.h"

#include <cstdlib>

#include "splitter/codebooks.h"

namespace {

int push(FrameState& st, std::uint32_t code, unsigned length) {
    if (st.count >= kCodewordQueueSize) return 0;  // cannot fill with 1024 lines; guarded anyway
    st.codes[st.count] = static_cast<std::int32_t>(code);
    st.lengths[st.count] = static_cast<std::int32_t>(length);
    ++st.count;
    return static_cast<int>(length);
}

std::int32_t clamp_to_book(std::int32_t v, int book) {
    const std::int32_t largest = book == ESC_HCB ? kLargestEscapeMagnitude : book_max_magnitude(book);
    if (v > largest) return largest;
    if (v < -largest) return -largest;
    return v;
}

}  // namespace

int encode_band(FrameState& st, int cb, const std::int32_t* values, int first, int width) {
    if (cb == ZERO_HCB || cb == INTENSITY_HCB2 || cb == INTENSITY_HCB) return push(st, 0, 0);
    int book = cb;
    if (cb >= 16 && cb <= 31) book = ESC_HCB;
    if (book < 1 || book > ESC_HCB) return 0;
    if (first < 0) first = 0;
    const int end = first + width > 1024 ? 1024 : first + width;
    const int n = static_cast<int>(tuple_size(book));
    int sum = 0;
    for (int k = first; k + n <= end; k += n) {
        int v[4] = {0, 0, 0, 0};
        for (int i = 0; i < n; ++i) v[i] = clamp_to_book(values[k + i], book);
        const SpectralCodeEntry entry = lookup_codeword(book, tuple_to_index(book, v));
        sum += push(st, entry.codeword, entry.length);
        if (!is_unsigned_book(book)) continue;
        for (int i = 0; i < n; ++i)
            if (v[i] != 0) sum += push(st, v[i] < 0 ? 1u : 0u, 1);
        if (book != ESC_HCB) continue;
        for (int i = 0; i < 2; ++i) {
            const auto m = static_cast<std::uint32_t>(std::abs(v[i]));
            if (m < static_cast<std::uint32_t>(kEscapeFlag)) continue;
            unsigned length = 0;
            const std::uint32_t code = make_escape_code(m, length);
            sum += push(st, code, length);
        }
    }
    return sum;
}

int flush_codeword_queue(const FrameState& st, BitSink& sink) {
    BitBatch batch;
    for (int i = 0; i < st.count; ++i) {
        if (st.lengths[i] > 0)
            batch_put(sink, batch, static_cast<std::uint32_t>(st.codes[i]), static_cast<unsigned>(st.lengths[i]));
    }
    return batch_finish(sink, batch);
}
