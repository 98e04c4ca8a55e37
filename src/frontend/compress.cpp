// The compression driver: one pass over the input that decodes every frame to WAV with the
// decoder library and splits the same bytes into the data-block streams.
#include "frontend/compress.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "decoder/decoder.h"
#include "frontend/decode_ahead.h"
#include "frontend/input_buffer.h"
#include "frontend/wav_writer.h"
#include "splitter/splitter.h"
#include "streams/block_files.h"
#include "streams/stream_set.h"

int frame_error_code(int library_error, int split_status, unsigned long split_bits, unsigned long library_bytes) {
    if (library_error != 0) return library_error;
    if (split_status != 0) return split_status;
    if ((split_bits + 7) / 8 != library_bytes) return kStatusLengthMismatch;
    return 0;
}

namespace {

std::uint64_t file_size(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

SplitSettings split_settings(const Options& options) {
    SplitSettings s;
    s.cut_lo_hz = options.cutfreqlo;
    s.cut_hi_hz = options.cutfreqhi;
    s.static_compression = options.static_compression != 0;
    s.static_tns = options.static_tns != 0;
    return s;
}

const char* channel_word(int channels) { return channels == 1 ? "mono" : channels == 2 ? "stereo" : ""; }

}  // namespace

int compress_file(const std::string& input_name, const std::string& wav_name, Options& options, std::FILE* err,
                  std::FILE* out) {
    std::FILE* input = std::fopen(input_name.c_str(), "rb");
    if (input == nullptr) {
        std::fprintf(err, "Error opening file: %s\n", input_name.c_str());
        return kCompressCannotStart;
    }
    const std::uint64_t file_length = file_size(input);

    std::unique_ptr<InputBuffer> buffer(new (std::nothrow) InputBuffer);
    if (!buffer) {
        std::fprintf(err, "Memory allocation error\n");
        std::fclose(input);
        return 0;
    }
    InputBuffer& b = *buffer;
    b.file = input;
    reload_buffer(b, 0);

    // A leading ID3v2 tag is skipped whole; one larger than the window is skipped by seeking.
    long tag_size = 0;
    if (b.fill_count >= 3 && std::memcmp(b.window, "ID3", 3) == 0) {
        tag_size = ((b.window[6] & 0x7F) << 21) | ((b.window[7] & 0x7F) << 14) | ((b.window[8] & 0x7F) << 7) |
                   (b.window[9] & 0x7F);
        tag_size += 10;
        if (tag_size <= b.fill_count) {
            advance_buffer(b, tag_size);
            fill_buffer(b);
        } else {
            reload_buffer(b, tag_size);
        }
    }

    DecoderHandle decoder;
    if (!decoder_open(decoder)) {
        std::fprintf(err, "Error initializing decoder library.\n");
        std::fclose(input);
        return kCompressCannotStart;
    }

    int header_kind = HEADER_RAW;
    long frame_count = 0;
    int bitrate = 0;
    float duration = 0.f;
    if (b.fill_count >= 2 && b.window[0] == 0xFF && (b.window[1] & 0xF6) == 0xF0) {
        header_kind = HEADER_ADTS;
        const AdtsScan scan = scan_adts(b);
        frame_count = scan.frames;
        bitrate = scan.bitrate;
        duration = scan.duration;
        reload_buffer(b, tag_size);
    } else if (b.fill_count >= 4 && std::memcmp(b.window, "ADIF", 4) == 0) {
        header_kind = HEADER_ADIF;
        const int skip = (b.window[4] & 0x80) ? 9 : 0;
        const std::uint32_t raw_bitrate = ((static_cast<std::uint32_t>(b.window[4 + skip]) & 0x0F) << 19) |
                                          (static_cast<std::uint32_t>(b.window[5 + skip]) << 11) |
                                          (static_cast<std::uint32_t>(b.window[6 + skip]) << 3) |
                                          (static_cast<std::uint32_t>(b.window[7 + skip]) & 0xE0);
        if (file_length != 0 && raw_bitrate != 0)
            duration = static_cast<float>(file_length) * 8.0f / static_cast<float>(raw_bitrate) + 0.5f;
        bitrate = static_cast<int>(static_cast<float>(raw_bitrate) / 1000.0f + 0.5f);
    }
    fill_buffer(b);

    StreamSet streams;  // built once the file information is out; init emits nothing into it
    SplitContext split;
    split.settings = split_settings(options);
    split.streams = &streams;
    unsigned long sample_rate = 0;
    std::uint8_t channels = 0;
    long split_header = 0;
    const Status split_start = split_init(split, b.window, static_cast<std::size_t>(b.fill_count), 2,
                                          decoder_default_sample_rate(decoder), split_header);
    if (split_start == kStatusStaticStereoStop) {
        std::fprintf(out, "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n");
        decoder_close(decoder);
        std::fclose(input);
        return kCompressStaticStop;
    }
    const long header_bytes =
        decoder_init(decoder, b.window, static_cast<unsigned long>(b.fill_count), sample_rate, channels);
    if (header_bytes < 0 || split_start != kStatusOk || split_header != header_bytes) {
        std::fprintf(err, "Error initializing decoder library.\n");
        decoder_close(decoder);
        std::fclose(input);
        return kCompressCannotStart;
    }
    advance_buffer(b, header_bytes);
    fill_buffer(b);

    std::fprintf(err, "%s file info:\n", input_name.c_str());
    if (header_kind == HEADER_ADTS) {
        std::fprintf(err, "ADTS, %.3f sec, %d kbps, %lu Hz, %s\n\n", static_cast<double>(duration), bitrate,
                     sample_rate, channel_word(split.channel_configuration));
    } else if (header_kind == HEADER_ADIF) {
        std::fprintf(err, "ADIF, %.3f sec, %d kbps, %lu Hz\n\n", static_cast<double>(duration), bitrate, sample_rate);
    } else {
        std::fprintf(err, "RAW\n\n");
    }
    std::fprintf(err, options.block_files ? "Write data blocks to .bin and .csv files\n\n"
                                          : "Write data blocks to .swp file\n\n");

    streamset_build(streams, options.block_files, file_length, static_cast<std::uint64_t>(frame_count));
    DecodeAhead ahead;
    auto release_all = [&](WavOutput* wav) {
        decode_ahead_finish(ahead);
        decoder_close(decoder);
        std::fclose(input);
        if (wav != nullptr && wav_close(wav) != 0)
            std::fprintf(err, "Couldn't complete the header of %s\n", wav_name.c_str());
        streamset_release(streams);
        close_block_files(streams);
    };
    if (create_block_files(streams, input_name, out) != 0) {
        release_all(nullptr);
        return kCompressCannotStart;
    }

    WavOutput* wav = nullptr;
    bool first_frame = true;
    int last_percent = -1;
    int result = 0;
    char text[96];
    // Each frame is split from the very bytes the decoder library was given for it.
    decode_ahead_start(ahead, decoder, b);
    for (;;) {
        DecodedFrame* frame = decode_ahead_next(ahead);
        if (frame == nullptr) break;
        std::uint32_t bits_used = 0;
        const Status split_status = split_frame(split, frame->window.data(), frame->window.size(), bits_used);
        const FrameInfo& info = frame->info;
        std::int16_t* samples = frame->has_samples ? frame->samples.data() : nullptr;
        if (split_status == kStatusStaticStereoStop) {
            std::fprintf(out, "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n");
            release_all(wav);
            return kCompressStaticStop;
        }
        const int code = frame_error_code(info.error, split_status, bits_used, info.bytesconsumed);
        result = code;
        if (code > 0) std::fprintf(err, "Error: %s\n", status_text(code, text, sizeof text));
        if (first_frame && code == 0) {
            const std::uint32_t mask = (info.channels == 6 && info.num_lfe_channels > 0) ? 0x3F : 0;
            wav = wav_open(wav_name.c_str(), static_cast<std::uint32_t>(info.samplerate), info.channels, 1, 1, mask);
            if (wav == nullptr) {
                // Without its WAV the run has failed; say so rather than report success.
                std::fprintf(out, "Couldn't create output file %s\n", wav_name.c_str());
                release_all(nullptr);
                return kCompressCannotStart;
            }
            first_frame = false;
        }
        const long percent = file_length == 0 ? 100
                                              : static_cast<long>(static_cast<std::uint64_t>(frame->file_offset) * 100 /
                                                                  file_length);
        const int shown = static_cast<int>(percent > 100 ? 100 : percent);
        if (shown > last_percent) {
            last_percent = shown;
            std::fprintf(err, "%d%% decoding %s.\r", shown, input_name.c_str());
        }
        if (code == 0 && info.samples > 0 && wav != nullptr) wav_write(wav, samples, info.samples, 0);
        // The input used up, a failed frame, or one that consumes nothing (it would repeat
        // for ever) ends the loop.
        const bool last = frame_is_last(*frame) || code != 0;
        decode_ahead_release(ahead);
        if (last) break;
    }
    decode_ahead_finish(ahead);

    if (streamset_flush(streams) != 0) std::fprintf(out, "Couldn't write the data blocks completely\n");
    if (streams.out_of_memory) std::fprintf(err, "Memory allocation error\n");
    release_all(wav);
    return result;
}
