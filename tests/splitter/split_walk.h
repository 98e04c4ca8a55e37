// Test support: walks an AAC file the way the compression driver does (leading ID3v2 tag
// skipped, a 4608-byte sliding window, the decoder library initialised and run on the
// window) and splits every frame over the same bytes just before the library decodes it.
#pragma once

#include <neaacdec.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "splitter/splitter.h"
#include "support/test_util.h"

struct WalkedFrame {
    std::size_t offset = 0;  // in the file
    std::uint32_t split_bits = 0;
    Status split_status = 0;
    unsigned long decoder_bytes = 0;
    unsigned decoder_error = 0;
};

struct Walk {
    long split_init_result = 0;
    long decoder_init_result = 0;
    std::vector<WalkedFrame> frames;  // every frame the decoder was given, the failing one last
};

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
    const std::string data = read_file(path);
    return std::vector<std::uint8_t>(data.begin(), data.end());
}

// Splits with ctx (options and streams set by the caller) while the library decodes.
inline Walk walk_file(const std::vector<std::uint8_t>& file, SplitContext& ctx, std::size_t max_frames = 1000000) {
    constexpr std::size_t kWindow = 4608;
    Walk walk;
    std::size_t pos = id3v2_end(file.data(), file.size());
    DecoderHandle handle;
    if (!decoder_open(handle)) return walk;
    auto decoder = static_cast<NeAACDecHandle>(handle.library);
    std::uint8_t window[kWindow];
    auto fill_window = [&]() {
        const std::size_t fill = pos < file.size() ? std::min(kWindow, file.size() - pos) : 0;
        if (fill > 0) std::memcpy(window, file.data() + pos, fill);
        return fill;
    };
    std::size_t fill = fill_window();
    unsigned long rate = 0;
    unsigned char channels = 0;
    long split_header = 0;
    walk.split_init_result = split_init(ctx, window, fill, LC, 44100, split_header) == kStatusOk ? split_header : -1;
    walk.decoder_init_result = NeAACDecInit(decoder, window, static_cast<unsigned long>(fill), &rate, &channels);
    if (walk.decoder_init_result >= 0 && walk.split_init_result >= 0) {
        pos += static_cast<std::size_t>(walk.decoder_init_result);
        while (walk.frames.size() < max_frames) {
            fill = fill_window();
            if (fill == 0 || window_starts_with_tag(window, fill)) break;
            WalkedFrame f;
            f.offset = pos;
            f.split_status = split_frame(ctx, window, fill, f.split_bits);
            if (f.split_status == kStatusStaticStereoStop) {
                walk.frames.push_back(f);
                break;
            }
            NeAACDecFrameInfo info;
            std::memset(&info, 0, sizeof info);
            NeAACDecDecode(decoder, &info, window, static_cast<unsigned long>(fill));
            f.decoder_bytes = info.bytesconsumed;
            f.decoder_error = info.error;
            walk.frames.push_back(f);
            if (info.error != 0 || info.bytesconsumed == 0) break;
            pos += info.bytesconsumed;
        }
    }
    NeAACDecClose(decoder);
    return walk;
}
