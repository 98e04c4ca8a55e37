// Reference decode of a whole ADTS/ADIF file with the decoder library alone, configured as
// the program configures it, for comparing PCM and frame lengths.
#pragma once

#include <neaacdec.h>

#include "decoder/decoder.h"
#include "support/test_util.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct ReferenceDecode {
    bool init_ok = false;
    int first_error = 0;          // error code of the frame that stopped the decode, 0 if none
    unsigned long sample_rate = 0;
    unsigned channels = 0;
    std::vector<std::int16_t> pcm;
    std::vector<unsigned long> frame_bytes;  // bytes consumed by every good frame
};

// Decodes `data` (an ID3v2 tag in front is skipped) frame by frame.
inline ReferenceDecode reference_decode(const std::string& data) {
    ReferenceDecode r;
    std::size_t pos = id3v2_end(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    DecoderHandle handle;
    if (!decoder_open(handle)) return r;
    auto h = static_cast<NeAACDecHandle>(handle.library);
    std::vector<unsigned char> window(4608);
    auto fill = [&]() {
        const std::size_t n = std::min<std::size_t>(window.size(), data.size() - std::min(pos, data.size()));
        std::fill(window.begin(), window.end(), 0);
        std::memcpy(window.data(), data.data() + pos, n);
        return n;
    };
    std::size_t n = fill();
    unsigned char ch = 0;
    const long skip = NeAACDecInit(h, window.data(), static_cast<unsigned long>(n), &r.sample_rate, &ch);
    r.channels = ch;
    if (skip < 0) {
        NeAACDecClose(h);
        return r;
    }
    r.init_ok = true;
    pos += static_cast<std::size_t>(skip);
    while ((n = fill()) > 0) {
        if (window_starts_with_tag(window.data(), n)) break;
        NeAACDecFrameInfo fi{};
        void* out = NeAACDecDecode(h, &fi, window.data(), static_cast<unsigned long>(n));
        if (fi.error != 0) {
            r.first_error = fi.error;
            break;
        }
        r.frame_bytes.push_back(fi.bytesconsumed);
        const auto* s = static_cast<const std::int16_t*>(out);
        if (s != nullptr) r.pcm.insert(r.pcm.end(), s, s + fi.samples);
        pos += fi.bytesconsumed;
        if (out == nullptr || fi.bytesconsumed == 0) break;
    }
    NeAACDecClose(h);
    return r;
}

// The samples of a 16-bit WAV file written by the program (plain or extensible header).
inline std::vector<std::int16_t> wav_samples(const std::string& wav) {
    std::vector<std::int16_t> s;
    const std::size_t start = wav.size() >= 68 && wav.compare(60, 4, "data") == 0 ? 68 : 44;
    for (std::size_t i = start; i + 1 < wav.size(); i += 2)
        s.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(wav[i]) |
                                              (static_cast<std::uint8_t>(wav[i + 1]) << 8)));
    return s;
}
