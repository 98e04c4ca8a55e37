// Band value encoder of the value path: the band's whole tuples through the spectral codec.
#include "rebuild/band_encoder.h"

#include "aac/spectral_codec.h"

void encode_band_bits(BitSink& sink, BitBatch& batch, int cb, const std::int32_t* values, int first, int width) {
    const int book = cb >= 16 && cb <= 31 ? ESC_HCB : cb;
    if (book < 1 || book > ESC_HCB) return;  // placeholders and books without codewords write nothing
    if (first < 0) first = 0;
    const int end = first + width > 1024 ? 1024 : first + width;
    if (end > first) (void)encode_band(sink, batch, book, values + first, static_cast<std::size_t>(end - first));
}
