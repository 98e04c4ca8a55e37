#include "lzma_bytes.h"

#include <lzma.h>

namespace {

// The smallest dictionary LZMA2 takes that holds the whole stream: a match can reach no
// further back than the stream's start, so both directions agree on it from the size alone.
std::uint32_t dictionary_for(std::size_t size) {
    return size < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : static_cast<std::uint32_t>(size);
}

// The encoder's match search, which the decoder never sees: the extreme preset's depth of 512
// candidates and matches of up to 273 bytes cost twice the time of 32 and 128 on the headers,
// indexes and cues it is given, and found no smaller stream over the bench's containers.
constexpr std::uint32_t kNiceLength = 192;
constexpr std::uint32_t kSearchDepth = 32;
constexpr std::uint32_t kRepetitiveSearchDepth = 1;

// The filter chain; `depth` is the encoder's search depth (0 when decoding).
bool lzma2_filters(std::size_t size, std::uint32_t depth, lzma_options_lzma& options, lzma_filter (&filters)[2]) {
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME)) return false;
    options.dict_size = dictionary_for(size);
    if (depth != 0) {
        options.nice_len = kNiceLength;
        options.depth = depth;
        // one candidate a position: a hash chain finds it for less than a binary tree
        if (depth == kRepetitiveSearchDepth) options.mf = LZMA_MF_HC4;
    }
    filters[0] = {LZMA_FILTER_LZMA2, &options};
    filters[1] = {LZMA_VLI_UNKNOWN, nullptr};
    return true;
}

}  // namespace

std::size_t compress_lzma(const std::uint8_t* data, std::size_t size, std::size_t below,
                          std::vector<std::uint8_t>& out, bool repetitive) {
    lzma_options_lzma options;
    lzma_filter filters[2];
    const std::uint32_t depth = repetitive ? kRepetitiveSearchDepth : kSearchDepth;
    if (size == 0 || size > kLzmaMaxInput || below == 0 || !lzma2_filters(size, depth, options, filters)) return 0;
    out.resize(below - 1);
    std::size_t written = 0;
    // a stream that would reach `below` bytes runs out of room and is given up
    if (lzma_raw_buffer_encode(filters, nullptr, data, size, out.data(), &written, out.size()) != LZMA_OK) return 0;
    out.resize(written);
    return written;
}

bool decompress_lzma(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size) {
    lzma_options_lzma options;
    lzma_filter filters[2];
    if (out_size == 0 || out_size > kLzmaMaxInput || !lzma2_filters(out_size, 0, options, filters)) return false;
    std::size_t in_pos = 0;
    std::size_t out_pos = 0;
    return lzma_raw_buffer_decode(filters, nullptr, in, &in_pos, in_size, out, &out_pos, out_size) == LZMA_OK &&
           in_pos == in_size && out_pos == out_size;
}
