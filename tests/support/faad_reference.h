// The decoder library run over a whole ADTS/ADIF file as the compression driver runs it
// (leading ID3v2 tag skipped, a 4608-byte sliding window, a trailing tag ends the frames),
// optionally with the splitter splitting every frame over the same bytes just before the
// library decodes it; and the reference decode built on it, for comparing PCM and frame lengths.
#pragma once

#include <neaacdec.h>

#include "decoder/decoder.h"
#include "splitter/splitter.h"
#include "support/test_util.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct WalkedFrame {
    std::size_t offset = 0;  // in the file
    std::uint32_t split_bits = 0;
    Status split_status = 0;
    unsigned long decoder_bytes = 0;
    unsigned decoder_error = 0;
};

struct Walk {
    long split_init_result = 0;  // -1 when the splitter refuses the start; 0 when not splitting
    long decoder_init_result = -1;
    unsigned long sample_rate = 0;
    unsigned channels = 0;
    std::vector<WalkedFrame> frames;  // every frame the decoder was given, the failing one last
    std::vector<std::int16_t> pcm;
};

// Decodes `size` bytes at `data`; with ctx (options and streams set by the caller), splits too.
inline Walk library_walk(const std::uint8_t* data, std::size_t size, SplitContext* ctx) {
    Walk walk;
    std::size_t pos = id3v2_end(data, size);
    DecoderHandle handle;
    if (!decoder_open(handle)) return walk;
    auto decoder = static_cast<NeAACDecHandle>(handle.library);
    std::uint8_t window[4608];
    auto fill_window = [&]() {
        const std::size_t fill = std::min(sizeof window, size - std::min(pos, size));
        std::memset(window, 0, sizeof window);
        if (fill > 0) std::memcpy(window, data + pos, fill);
        return fill;
    };
    std::size_t fill = fill_window();
    unsigned char channels = 0;
    long split_header = 0;
    if (ctx != nullptr)
        walk.split_init_result = split_init(*ctx, window, fill, LC, 44100, split_header) == 0 ? split_header : -1;
    walk.decoder_init_result =
        NeAACDecInit(decoder, window, static_cast<unsigned long>(fill), &walk.sample_rate, &channels);
    walk.channels = channels;
    if (walk.decoder_init_result >= 0 && walk.split_init_result >= 0) {
        pos += static_cast<std::size_t>(walk.decoder_init_result);
        while ((fill = fill_window()) > 0 && !window_starts_with_tag(window, fill)) {
            WalkedFrame f;
            f.offset = pos;
            if (ctx != nullptr) f.split_status = split_frame(*ctx, window, fill, f.split_bits);
            if (f.split_status == kStatusStaticStereoStop) {
                walk.frames.push_back(f);
                break;
            }
            NeAACDecFrameInfo info{};
            const auto* out = static_cast<const std::int16_t*>(
                NeAACDecDecode(decoder, &info, window, static_cast<unsigned long>(fill)));
            f.decoder_bytes = info.bytesconsumed;
            f.decoder_error = info.error;
            walk.frames.push_back(f);
            if (out != nullptr) walk.pcm.insert(walk.pcm.end(), out, out + info.samples);
            if (info.error != 0 || info.bytesconsumed == 0) break;
            pos += info.bytesconsumed;
        }
    }
    NeAACDecClose(decoder);
    return walk;
}

inline Walk walk_file(const std::string& file, SplitContext& ctx) {
    return library_walk(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &ctx);
}

struct ReferenceDecode {
    bool init_ok = false;
    int first_error = 0;          // error code of the frame that stopped the decode, 0 if none
    unsigned long sample_rate = 0;
    unsigned channels = 0;
    std::vector<std::int16_t> pcm;
    std::vector<unsigned long> frame_bytes;  // bytes consumed by every good frame
};

inline ReferenceDecode reference_decode(const std::string& data) {
    Walk walk = library_walk(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), nullptr);
    ReferenceDecode r;
    r.init_ok = walk.decoder_init_result >= 0;
    r.sample_rate = walk.sample_rate;
    r.channels = walk.channels;
    r.pcm = std::move(walk.pcm);
    for (const WalkedFrame& f : walk.frames) {
        if (f.decoder_error != 0) r.first_error = static_cast<int>(f.decoder_error);
        else r.frame_bytes.push_back(f.decoder_bytes);
    }
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
