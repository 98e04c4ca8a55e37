// The compression driver: one pass over the input that decodes every frame to WAV with the
// decoder library and splits the same bytes into the data-block streams.
#include "frontend/compress.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "aac/status.h"
#include "aac/syntax.h"
#include "decoder/decoder.h"
#include "frontend/decode_ahead.h"
#include "frontend/input_buffer.h"
#include "frontend/progress_line.h"
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
            progress_break(progress);
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
            progress_break(progress);
            std::fprintf(progress.err, "Error: couldn't write %s: %s\n", o->path.c_str(), std::strerror(o->error));
            for (OutputFile* rest : outputs) discard_output(*rest);
            return 1;
        }
    }
    return 0;
}

}  // namespace

// What one compression run holds from step to step.
struct CompressRun {
    CompressRun(const std::string& input, const std::string& wav, Options& o, std::FILE* e, std::FILE* u)
        : input_name(input), wav_name(wav), options(o), err(e), out(u) {}
    const std::string& input_name;
    const std::string& wav_name;
    Options& options;
    std::FILE* err;
    std::FILE* out;
    std::FILE* input = nullptr;
    std::uint64_t file_length = 0;
    std::unique_ptr<InputBuffer> buffer;
    long tag_size = 0;
    DecoderHandle decoder;
    int header_kind = HEADER_RAW;
    long frame_count = 0;
    int bitrate = 0;
    float duration = 0.f;
    StreamSet streams;  // built once the file information is out; init emits nothing into it
    SplitContext split;
    DecodeAhead ahead;
    unsigned long sample_rate = 0;
    WavOutput* wav = nullptr;
    ProgressLine progress;
    bool sbr_noted = false;
    bool pulse_noted = false;
};

namespace {

// Opens the input and skips a leading ID3v2 tag.
CompressResult open_input(CompressRun& run) {
    const std::string& input_name = run.input_name;
    std::FILE* err = run.err;
    std::FILE*& input = run.input;
    input = std::fopen(input_name.c_str(), "rb");
    if (input == nullptr) {
        std::fprintf(err, "Error opening file: %s\n", input_name.c_str());
        return COMPRESS_FAILED;
    }
    run.file_length = file_size(input);

    run.buffer.reset(new (std::nothrow) InputBuffer);
    if (!run.buffer) {
        std::fprintf(err, "Memory allocation error\n");
        return COMPRESS_FAILED;
    }
    InputBuffer& b = *run.buffer;
    b.file = input;
    reload_buffer(b, 0);

    // A leading ID3v2 tag is skipped whole; one larger than the window is skipped by seeking.
    long& tag_size = run.tag_size;
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
    return COMPRESS_OK;
}

// Opens the decoder library and recognises ADTS, ADIF or raw input with what its file
// information shows.
CompressResult probe_input(CompressRun& run) {
    InputBuffer& b = *run.buffer;
    if (!decoder_open(run.decoder)) {
        std::fprintf(run.err, "Error initializing decoder library.\n");
        return COMPRESS_FAILED;
    }
    const std::uint64_t file_length = run.file_length;
    float& duration = run.duration;
    run.header_kind = detect_header_kind(b.window, static_cast<std::size_t>(b.fill_count));
    if (run.header_kind == HEADER_ADTS) {
        const AdtsScan scan = scan_adts(b);
        run.frame_count = scan.frames;
        run.bitrate = scan.bitrate;
        duration = scan.duration;
        reload_buffer(b, run.tag_size);
    } else if (run.header_kind == HEADER_ADIF) {
        const int skip = (b.window[4] & 0x80) ? 9 : 0;
        const std::uint32_t raw_bitrate = ((static_cast<std::uint32_t>(b.window[4 + skip]) & 0x0F) << 19) |
                                          (static_cast<std::uint32_t>(b.window[5 + skip]) << 11) |
                                          (static_cast<std::uint32_t>(b.window[6 + skip]) << 3) |
                                          (static_cast<std::uint32_t>(b.window[7 + skip]) & 0xE0);
        if (file_length != 0 && raw_bitrate != 0)
            duration = static_cast<float>(file_length) * 8.0f / static_cast<float>(raw_bitrate) + 0.5f;
        run.bitrate = static_cast<int>(static_cast<float>(raw_bitrate) / 1000.0f + 0.5f);
    }
    fill_buffer(b);
    return COMPRESS_OK;
}

// Initialises splitter and library on the same bytes and prints the file information.
CompressResult start_decoding(CompressRun& run) {
    InputBuffer& b = *run.buffer;
    std::FILE* err = run.err;
    SplitContext& split = run.split;
    split.settings = split_settings(run.options);
    split.streams = &run.streams;
    unsigned long sample_rate = 0;
    std::uint8_t channels = 0;
    long split_header = 0;
    const Status split_start = split_init(split, b.window, static_cast<std::size_t>(b.fill_count), 2,
                                          decoder_default_sample_rate(run.decoder), split_header);
    if (split_start == kStatusStaticStereoStop) {
        std::fprintf(run.out, "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n");
        return COMPRESS_STATIC_STOP;
    }
    const long header_bytes =
        decoder_init(run.decoder, b.window, static_cast<unsigned long>(b.fill_count), sample_rate, channels);
    if (header_bytes < 0 || split_start != kStatusOk || split_header != header_bytes) {
        std::fprintf(err, "Error initializing decoder library.\n");
        return COMPRESS_FAILED;
    }
    advance_buffer(b, header_bytes);
    fill_buffer(b);

    std::fprintf(err, "%s file info:\n", run.input_name.c_str());
    if (run.header_kind == HEADER_ADTS) {
        std::fprintf(err, "ADTS, %.3f sec, %d kbps, %lu Hz, %s\n\n", static_cast<double>(run.duration), run.bitrate,
                     sample_rate, channel_word(split.channel_configuration));
    } else if (run.header_kind == HEADER_ADIF) {
        std::fprintf(err, "ADIF, %.3f sec, %d kbps, %lu Hz\n\n", static_cast<double>(run.duration), run.bitrate,
                     sample_rate);
    } else {
        std::fprintf(err, "RAW\n\n");
    }
    print_header_notes(err, run.header_kind, split.channel_configuration, channels);
    run.sample_rate = sample_rate;
    std::fprintf(err, run.options.block_files ? "Write data blocks to .bin and .csv files\n\n"
                                              : "Write data blocks to .swp file\n\n");
    return COMPRESS_OK;
}

// A run that stops or fails leaves no output behind: the files of an earlier run stay.
// Returns `result` for the caller to pass on.
CompressResult abandon(CompressRun& run, CompressResult result) {
    decode_ahead_finish(run.ahead);
    wav_release(run.wav);
    run.wav = nullptr;
    discard_block_files(run.streams);
    streamset_release(run.streams);
    return result;
}

// Sizes the streams and creates the data-block files.
CompressResult open_outputs(CompressRun& run) {
    streamset_build(run.streams, run.options.block_files, run.file_length,
                    static_cast<std::uint64_t>(run.frame_count));
    run.progress.err = run.err;
    run.progress.terminal = isatty(fileno(run.err)) != 0;
    if (create_block_files(run.streams, run.input_name, run.err) != 0) return abandon(run, COMPRESS_FAILED);
    return COMPRESS_OK;
}

// Writes every stream to its files, then gives every output its name together: each is
// written and closed before any takes its name, so a failure in one leaves all the earlier
// files as they were.
CompressResult finish(CompressRun& run, CompressResult result) {
    ProgressLine& progress = run.progress;
    static_cast<void>(streamset_flush(run.streams));
    if (run.streams.out_of_memory) {
        progress_break(progress);
        std::fprintf(run.err, "Memory allocation error\n");
        return abandon(run, COMPRESS_FAILED);
    }
    WavOutput* wav = run.wav;
    std::vector<OutputFile*> outputs = block_outputs(run.streams);
    if (wav != nullptr) {
        outputs.push_back(&wav->out);
        if (wav_finish(wav) != 0 && wav->out.error == 0) {
            progress_break(progress);
            std::fprintf(run.err, "Couldn't complete the header of %s\n", run.wav_name.c_str());
        }
    }
    int failed = close_outputs(outputs, progress);
    if (failed == 0) failed = commit_outputs(outputs, progress);
    wav_release(wav);
    run.wav = nullptr;
    discard_block_files(run.streams);
    streamset_release(run.streams);
    return failed ? COMPRESS_FAILED : result;
}

// Notes what only the frames show: SBR and PS come with the first frame, pulse data anywhere.
void print_frame_notes(CompressRun& run, const FrameInfo& info, int code) {
    if (code == 0 && info.sbr != 0 && !run.sbr_noted) {
        progress_break(run.progress);
        if (info.ps != 0) {
            std::fprintf(run.err,
                         "Note: the SBR and PS data of this HE-AAC v2 file are not kept; decompression rebuilds "
                         "the mono AAC-LC core at %lu Hz\n",
                         run.sample_rate);
        } else {
            std::fprintf(run.err,
                         "Note: the SBR data of this HE-AAC file is not kept; decompression rebuilds the AAC-LC "
                         "core at %lu Hz\n",
                         run.sample_rate);
        }
        run.sbr_noted = true;
    }
    if (run.split.pulse_channels > 0 && !run.pulse_noted) {
        progress_break(run.progress);
        std::fprintf(run.err,
                     "Note: the pulse data of this file (first in frame %lu) is not kept; decompression rebuilds "
                     "the frames that carry it without it\n",
                     static_cast<unsigned long>(run.split.frames_split));
        run.pulse_noted = true;
    }
}

// Decodes and splits every frame, writing the WAV as it goes; returns the run's result.
CompressResult run_frames(CompressRun& run) {
    const std::string& input_name = run.input_name;
    const std::string& wav_name = run.wav_name;
    std::FILE* err = run.err;
    std::FILE* out = run.out;
    const std::uint64_t file_length = run.file_length;
    DecodeAhead& ahead = run.ahead;
    ProgressLine& progress = run.progress;
    WavOutput*& wav = run.wav;
    bool first_frame = true;
    int last_percent = -1;
    int code = 0;
    char text[96];
    // Each frame is split from the very bytes the decoder library was given for it.
    decode_ahead_start(ahead, run.decoder, *run.buffer);
    for (;;) {
        DecodedFrame* frame = decode_ahead_next(ahead);
        if (frame == nullptr) break;
        std::uint32_t bits_used = 0;
        const Status split_status = split_frame(run.split, frame->window, bits_used);
        const FrameInfo& info = frame->info;
        const std::int16_t* samples = frame->has_samples ? frame->samples.data() : nullptr;
        if (split_status == kStatusStaticStereoStop) {
            progress_break(progress);
            std::fprintf(out, "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n");
            return abandon(run, COMPRESS_STATIC_STOP);
        }
        code = frame_error_code(info.error, split_status, bits_used, info.bytesconsumed);
        if (code > 0) {
            progress_break(progress);
            std::fprintf(err, "Error: %s\n", status_text(code, text, sizeof text));
        }
        print_frame_notes(run, info, code);
        if (first_frame && code == 0) {
            const std::uint32_t mask = (info.channels == 6 && info.num_lfe_channels > 0) ? 0x3F : 0;
            int open_error = 0;
            wav = wav_open(wav_name.c_str(), static_cast<std::uint32_t>(info.samplerate), info.channels, mask,
                           &open_error);
            if (wav == nullptr) {
                // Without its WAV the run has failed; say so rather than report success.
                progress_break(progress);
                std::fprintf(err, "Error: couldn't create %s: %s\n", wav_name.c_str(), std::strerror(open_error));
                return abandon(run, COMPRESS_FAILED);
            }
            first_frame = false;
        }
        const long percent = file_length == 0 ? 100
                                              : static_cast<long>(static_cast<std::uint64_t>(frame->file_offset) * 100 /
                                                                  file_length);
        const int shown = static_cast<int>(percent > 100 ? 100 : percent);
        if (shown > last_percent) {
            last_percent = shown;
            progress_show(progress, std::to_string(shown) + "% decoding " + input_name + ".");
        }
        if (code == 0 && info.samples > 0 && wav != nullptr) wav_write(wav, samples, info.samples);
        // The input used up, a failed frame, or one that consumes nothing (it would repeat
        // for ever) ends the loop; so does a WAV that can no longer be written, since the
        // run has failed anyway.
        const bool last = frame_is_last(*frame) || code != 0 || (wav != nullptr && wav->out.error != 0);
        decode_ahead_release(ahead);
        if (last) break;
    }
    decode_ahead_finish(ahead);
    // A refused frame keeps the frames before it; without a single good frame (no WAV was
    // opened) the input is not AAC, and nothing is kept.
    if (code != 0 && wav == nullptr) return abandon(run, COMPRESS_FAILED);
    return finish(run, code != 0 ? COMPRESS_STOPPED_EARLY : COMPRESS_OK);
}

}  // namespace

CompressResult compress_file(const std::string& input_name, const std::string& wav_name, Options& options,
                             std::FILE* err, std::FILE* out) {
    CompressRun run(input_name, wav_name, options, err, out);
    CompressResult result = open_input(run);
    if (result == COMPRESS_OK) result = probe_input(run);
    if (result == COMPRESS_OK) result = start_decoding(run);
    if (result == COMPRESS_OK) result = open_outputs(run);
    if (result == COMPRESS_OK) result = run_frames(run);
    // The one place the decoder and the input are closed, however the run ended.
    decoder_close(run.decoder);
    if (run.input != nullptr) std::fclose(run.input);
    return result;
}
