// The compression driver: one pass over the input that decodes every frame to WAV with the
// decoder library and splits the same bytes into the data-block streams.
#include "frontend/compress.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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
    if ((split_bits + 7) / 8 != library_bytes) return kErrorLengthMismatch;
    return 0;
}

const char* frame_error_text(int code, char* buf, std::size_t buf_size) {
    if (code == kErrorLengthMismatch) return "Splitter and decoder disagree on the frame length";
    return decoder_error_text(code, buf, buf_size);
}

namespace {

std::uint64_t file_size(std::FILE* f) {
    if (std::fseek(f, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

const char* channel_word(int channels) { return channels == 1 ? "mono" : channels == 2 ? "stereo" : ""; }

// The progress line ends in "\r" only. On a terminal a message printed after it would
// overwrite it in place, so the line is ended first; redirected output keeps its text.
struct ProgressLine {
    std::FILE* err = nullptr;
    bool terminal = false;
    bool open = false;
};

void end_progress_line(ProgressLine& p) {
    if (p.open && p.terminal) std::fputc('\n', p.err);
    p.open = false;
}

// What a rebuild from the data blocks cannot give back, said before the data are written.
// These are known from the file's header.
void print_header_notes(std::FILE* err, int header_kind, int channel_configuration, unsigned channels) {
    if (header_kind == HEADER_ADIF) {
        std::fprintf(err,
                     "Note: decompression rebuilds ADTS files only; this ADIF file comes back as frames without "
                     "audio\n");
    } else if (header_kind == HEADER_RAW) {
        std::fprintf(err,
                     "Note: decompression rebuilds ADTS files only; this raw file comes back as frames without "
                     "audio\n");
    } else if (channel_configuration != 1 && channel_configuration != 2) {
        std::fprintf(err,
                     "Note: decompression rebuilds mono and stereo files only; this %u-channel file comes back as "
                     "frames without audio\n",
                     channels);
    }
}

// Closes every output, checked; the first failure is printed with its reason. Returns 0, or
// 1 when any output failed.
int close_outputs(const std::vector<OutputFile*>& outputs, ProgressLine& progress) {
    int failed = 0;
    for (OutputFile* o : outputs) {
        if (close_output(*o) != 0 && failed == 0) {
            end_progress_line(progress);
            std::fprintf(progress.err, "Error: couldn't write %s: %s\n", o->path.c_str(), std::strerror(o->error));
            failed = 1;
        }
    }
    return failed;
}

// Renames every output over its own name. Returns 0, or 1 after printing the first failure.
int commit_outputs(const std::vector<OutputFile*>& outputs, ProgressLine& progress) {
    for (OutputFile* o : outputs) {
        if (commit_output(*o) != 0) {
            end_progress_line(progress);
            std::fprintf(progress.err, "Error: couldn't write %s: %s\n", o->path.c_str(), std::strerror(o->error));
            for (OutputFile* rest : outputs) discard_output(*rest);
            return 1;
        }
    }
    return 0;
}

}  // namespace

int compress_file(const std::string& input_name, const std::string& wav_name, Options& options, std::FILE* err,
                  std::FILE* out) {
    std::FILE* input = std::fopen(input_name.c_str(), "rb");
    if (input == nullptr) {
        std::fprintf(err, "Error opening file: %s\n", input_name.c_str());
        return 1;
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
        return 1;
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
    split.options = &options;
    split.streams = &streams;
    unsigned long sample_rate = 0;
    std::uint8_t channels = 0;
    const long split_header = split_init(split, b.window, static_cast<std::size_t>(b.fill_count), 2,
                                         decoder_default_sample_rate(decoder));
    if (split_header == -2) {
        std::fprintf(out, "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n");
        decoder_close(decoder);
        std::fclose(input);
        return kCompressStaticStop;
    }
    const long header_bytes =
        decoder_init(decoder, b.window, static_cast<unsigned long>(b.fill_count), sample_rate, channels);
    if (header_bytes < 0 || split_header != header_bytes) {
        std::fprintf(err, "Error initializing decoder library.\n");
        decoder_close(decoder);
        std::fclose(input);
        return 1;
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
    print_header_notes(err, header_kind, split.channel_configuration, channels);
    std::fprintf(err, options.block_files ? "Write data blocks to .bin and .csv files\n\n"
                                          : "Write data blocks to .swp file\n\n");

    streamset_build(streams, options.block_files, file_length, static_cast<std::uint64_t>(frame_count));
    DecodeAhead ahead;
    WavOutput* wav = nullptr;
    ProgressLine progress;
    progress.err = err;
    progress.terminal = isatty(fileno(err)) != 0;
    // A run that stops or fails leaves no output behind: the files of an earlier run stay.
    auto abandon = [&]() {
        decode_ahead_finish(ahead);
        decoder_close(decoder);
        std::fclose(input);
        wav_release(wav);
        discard_block_files(streams);
        streamset_release(streams);
    };
    if (create_block_files(streams, input_name, err) != 0) {
        abandon();
        return kCompressOutputFailed;
    }

    bool first_frame = true;
    bool sbr_noted = false;
    bool pulse_noted = false;
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
            end_progress_line(progress);
            std::fprintf(out, "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n");
            abandon();
            return kCompressStaticStop;
        }
        const int code = frame_error_code(info.error, split_status, bits_used, info.bytesconsumed);
        result = code;
        if (code > 0) {
            end_progress_line(progress);
            std::fprintf(err, "Error: %s\n", frame_error_text(code, text, sizeof text));
        }
        // What only the frames show: SBR and PS come with the first frame, pulse data anywhere.
        if (code == 0 && info.sbr != 0 && !sbr_noted) {
            end_progress_line(progress);
            if (info.ps != 0) {
                std::fprintf(err,
                             "Note: the SBR and PS data of this HE-AAC v2 file are not kept; decompression rebuilds "
                             "the mono AAC-LC core at %lu Hz\n",
                             sample_rate);
            } else {
                std::fprintf(err,
                             "Note: the SBR data of this HE-AAC file is not kept; decompression rebuilds the AAC-LC "
                             "core at %lu Hz\n",
                             sample_rate);
            }
            sbr_noted = true;
        }
        if (split.pulse_channels > 0 && !pulse_noted) {
            end_progress_line(progress);
            std::fprintf(err,
                         "Note: the pulse data of this file (first in frame %lu) is not kept; decompression rebuilds "
                         "the frames that carry it without it\n",
                         static_cast<unsigned long>(split.frames_split));
            pulse_noted = true;
        }
        if (first_frame && code == 0) {
            const std::uint32_t mask = (info.channels == 6 && info.num_lfe_channels > 0) ? 0x3F : 0;
            int open_error = 0;
            wav = wav_open(wav_name.c_str(), static_cast<std::uint32_t>(info.samplerate), info.channels, 1, 1, mask,
                           &open_error);
            if (wav == nullptr) {
                // Without its WAV the run has failed; say so rather than report success.
                end_progress_line(progress);
                std::fprintf(err, "Error: couldn't create %s: %s\n", wav_name.c_str(), std::strerror(open_error));
                abandon();
                return kCompressOutputFailed;
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
            progress.open = true;
        }
        if (code == 0 && info.samples > 0 && wav != nullptr) wav_write(wav, samples, info.samples, 0);
        // The input used up, a failed frame, or one that consumes nothing (it would repeat
        // for ever) ends the loop; so does a WAV that can no longer be written, since the
        // run has failed anyway.
        const bool last = frame_is_last(*frame) || code != 0 || (wav != nullptr && wav->out.error != 0);
        decode_ahead_release(ahead);
        if (last) break;
    }
    decode_ahead_finish(ahead);

    // Every output is written and closed before any takes its name, so a failure in one
    // leaves all the earlier files as they were.
    static_cast<void>(streamset_flush(streams));
    if (streams.out_of_memory) {
        end_progress_line(progress);
        std::fprintf(err, "Memory allocation error\n");
        abandon();
        return kCompressOutputFailed;
    }
    decoder_close(decoder);
    std::fclose(input);
    std::vector<OutputFile*> outputs = block_outputs(streams);
    if (wav != nullptr) {
        outputs.push_back(&wav->out);
        if (wav_finish(wav) != 0 && wav->out.error == 0) {
            end_progress_line(progress);
            std::fprintf(err, "Couldn't complete the header of %s\n", wav_name.c_str());
        }
    }
    int failed = close_outputs(outputs, progress);
    if (failed == 0) failed = commit_outputs(outputs, progress);
    wav_release(wav);
    discard_block_files(streams);
    streamset_release(streams);
    return failed ? kCompressOutputFailed : result;
}
