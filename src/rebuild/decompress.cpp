// The decompression driver: opens the data blocks, rebuilds the file frame by frame with
// the element writers and writes "_rec.aac".
#include "rebuild/decompress.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "rebuild/adts_header.h"
#include "rebuild/channel_elements.h"
#include "rebuild/channel_tools.h"
#include "rebuild/frame_end.h"
#include "rebuild/ics_info.h"
#include "rebuild/scale_factors.h"
#include "rebuild/section_data.h"
#include "aac/syntax.h"
#include "rebuild/spectral_writer.h"
#include "streams/block_files.h"
#include "streams/output_file.h"

namespace {

constexpr int kAdtsHeaderBytes = 7;
constexpr int kLargestFrameLength = 8191;  // what a 13-bit aac_frame_length can state
constexpr std::size_t kOutputGather = std::size_t{1} << 20;

void reset_frame(FrameState& st) {
    st.aac_frame_length = 0;
    st.frame_length = 1024;
    st.channel_index = 1;
    std::memset(st.quant_spectrum, 0, sizeof st.quant_spectrum);
}

// The single channel element of a mono frame, in syntax order.
int write_mono_element(DecompressContext& ctx, BitSink& sink, int bits) {
    const int start = bits;
    bits += write_sce_header(ctx, sink);
    bits += write_global_gain(ctx, sink);
    const int ics_bits = write_sce_ics_info(ctx, sink);
    if (ics_bits < 0) {
        stop_wrong_ics_info(ctx);
        return bits - start;
    }
    bits += ics_bits;
    if (ctx.settings.static_compression) ctx.first_window_shape = 0;
    bits += write_section_data(ctx, sink);
    bits += write_scale_factor_data(ctx, sink);
    bits += write_pulse_absent(sink);
    bits += write_tns_data(ctx, sink);
    bits += write_gain_control_absent(sink);
    bits += write_spectral_data(ctx, sink, ctx.blocks.bits_present[STREAM_QMDCT], bits, LIST_QMDCT_0);
    return bits - start;
}

// Puts the true frame length into the 7 header bytes at the front of the frame. The CRC
// word that may follow is left as it was.
void correct_frame_length(FrameState& st, std::uint8_t* frame, int length) {
    st.aac_frame_length = length;
    std::uint8_t header[kAdtsHeaderBytes];
    BitSink sink;
    bitsink_create(sink, header, sizeof header);
    rewrite_adts_header(sink, st);
    std::memcpy(frame, header, sizeof header);
}

// What one decompression run holds from step to step.
struct DecompressRun {
    DecompressRun(DecompressContext& c, const std::string& n) : ctx(c), name(n) {}
    DecompressContext& ctx;
    const std::string& name;
    std::string output_name;
    OutputFile output;
    std::vector<std::uint8_t> frame;    // the frame being rebuilt
    std::size_t frame_dirty = 0;        // bytes of `frame` the last frame wrote
    std::vector<std::uint8_t> pending;  // rebuilt frames not yet written
    bool first_frame = true;
    bool configuration_reported = false;
    int faacstr_bits = 0;  // the first frame's FAACSTR block, which the fill budget leaves out
};

// Prints the run's title, creates the output under a temporary name and opens the data
// blocks. False ends the run with exit status 1, leaving nothing behind.
bool open_run(DecompressRun& run) {
    DecompressContext& ctx = run.ctx;
    const RebuildSettings& options = ctx.settings;
    std::fprintf(ctx.out, options.read_bin_blocks ? "\tDecompress AAC audio file\n\n"
                                                  : "\tDecompress AAC audio file from CSV data files\n\n");
    run.output_name = rebuilt_name(run.name, options);
    if (const int e = open_output(run.output, run.output_name, true); e != 0) {
        std::fprintf(ctx.err, "Error: couldn't create %s: %s\n", run.output_name.c_str(), std::strerror(e));
        return false;
    }
    if (open_data_blocks(ctx.blocks, run.name, options.block_files, options.read_bin_blocks, ctx.out) != 0) {
        close_data_blocks(ctx.blocks);
        discard_output(run.output);
        return false;
    }
    run.frame.resize(kFrameBufferSize);
    run.pending.reserve(kOutputGather + kFrameBufferSize);
    return true;
}

// The channel element the configuration calls for; returns its bits, or -1 when the
// configuration has none the rebuild can write.
int write_channel_element(DecompressRun& run, BitSink& sink, int bits) {
    DecompressContext& ctx = run.ctx;
    const int channel_configuration = ctx.state.channel_configuration;
    if (channel_configuration == 1) return write_mono_element(ctx, sink, bits);
    if (channel_configuration == 2) return write_cpe(ctx, sink, bits);
    if (!run.configuration_reported) {
        std::fprintf(ctx.out, "Channel configuration %d is not supported: frames carry no channel elements.\n",
                     channel_configuration);
        run.configuration_reported = true;
    }
    return -1;
}

// Fill elements up to the frame's budget, ID_END and the byte alignment; returns their bits.
int write_frame_end(DecompressRun& run, BitSink& sink, int bits) {
    const int n = bits - run.faacstr_bits;
    run.faacstr_bits = 0;
    const int budget = 6 + (n < 5 ? 5 - n : 0);
    int end_bits = budget - write_fill_elements(sink, budget);
    end_bits += static_cast<int>(bitsink_put(sink, ID_END, 3));
    end_bits += write_byte_alignment(sink);
    return end_bits;
}

// Hands a rebuilt frame of `length` bytes to the output, or reports why it is left out.
// False when the output could not be written.
bool emit_frame(DecompressRun& run, int frame_number, bool has_header, bool overflow, int length) {
    DecompressContext& ctx = run.ctx;
    if (ctx.frame_status != kStatusOk) {
        std::fprintf(ctx.out, "Frame %d is left out: %s.\n", frame_number, status_text(ctx.frame_status));
        return true;
    }
    if (overflow || length > kLargestFrameLength) {
        std::fprintf(ctx.out, "Frame %d is left out: it is longer than the largest ADTS frame (%d bytes).\n",
                     frame_number, kLargestFrameLength);
        return true;
    }
    // Only a frame that has a header of its own can have its length corrected.
    if (has_header && length != ctx.state.aac_frame_length) correct_frame_length(ctx.state, run.frame.data(), length);
    // Frames are a few hundred bytes: they go out gathered, in large writes.
    run.pending.insert(run.pending.end(), run.frame.data(), run.frame.data() + length);
    if (run.pending.size() < kOutputGather) return true;
    if (write_output(run.output, run.pending.data(), run.pending.size()) != 0) return false;
    run.pending.clear();
    return true;
}

// Rebuilds one frame and hands it on. Returns kStatusWrongIcsInfo when the frame stops the
// run; a failed write stops it through run.output.error.
Status write_frame(DecompressRun& run, int frame_number) {
    DecompressContext& ctx = run.ctx;
    reset_frame(ctx.state);
    ctx.frame_status = kStatusOk;
    // The frame buffer starts every frame as zeros. Writes never reach past their last
    // bit, so only the bytes the previous frame wrote need clearing.
    std::memset(run.frame.data(), 0, run.frame_dirty);
    BitSink sink;
    bitsink_create(sink, run.frame.data(), run.frame.size(), true);
    const int header_bits = write_adts_header(ctx, sink);
    int bits = header_bits;
    if (run.first_frame) {
        run.faacstr_bits = write_faacstr_block(ctx, sink);
        bits += run.faacstr_bits;
        run.first_frame = false;
    }
    const int element_bits = write_channel_element(run, sink, bits);
    if (ctx.frame_status == kStatusWrongIcsInfo) return kStatusWrongIcsInfo;
    if (element_bits >= 0) bits += element_bits;
    // On the codeword path the spectral writer has already ended the frame.
    if (!(element_bits >= 0 && ctx.blocks.bits_present[STREAM_QMDCT])) bits += write_frame_end(run, sink, bits);
    run.frame_dirty = bitsink_bytes(sink);
    emit_frame(run, frame_number, header_bits > 0, sink.overflow, (bits + 7) / 8);
    return kStatusOk;
}

// Rebuilds frames while the data blocks hold any. False when the run stopped early.
bool run_frames(DecompressRun& run) {
    DataBlocks& blocks = run.ctx.blocks;
    for (int frame_number = 1;; ++frame_number) {
        const std::uint64_t gg_before = stream_progress(blocks, STREAM_GG);
        const std::uint64_t adts_before = stream_progress(blocks, STREAM_ADTS);
        if (write_frame(run, frame_number) != kStatusOk || run.output.error != 0) return false;
        // Every channel takes one global gain, so the GG stream ends with the file. A frame
        // that took no gain (no channel element) can never use GG up: such frames go on while
        // the ADTS stream still has headers for them.
        if (stream_used_up(blocks, STREAM_GG)) return true;
        if (stream_progress(blocks, STREAM_GG) == gg_before &&
            (stream_used_up(blocks, STREAM_ADTS) || stream_progress(blocks, STREAM_ADTS) == adts_before))
            return true;
    }
}

// Writes what is still gathered and gives the output its name; a stopped run keeps no
// output. Returns the exit status.
int finish(DecompressRun& run, bool reached_end) {
    close_data_blocks(run.ctx.blocks);
    OutputFile& output = run.output;
    bool ok = reached_end;
    if (ok && !run.pending.empty() && write_output(output, run.pending.data(), run.pending.size()) != 0) ok = false;
    // The failed write or close of a good run is reported.
    if (ok && commit_output(output) != 0) ok = false;
    if (output.error != 0)
        std::fprintf(run.ctx.err, "Error: couldn't write %s: %s\n", run.output_name.c_str(),
                     std::strerror(output.error));
    discard_output(output);
    return ok ? 0 : 1;
}

}  // namespace

std::string rebuilt_name(const std::string& name, const RebuildSettings& settings) {
    return (settings.block_files ? name : strip_extension(name)) + "_rec.aac";
}

int decompress_file(const std::string& name, const RebuildSettings& settings, std::FILE* out, std::FILE* err) {
    // The context holds the frame record and the data blocks: too large for the stack.
    auto ctx = std::make_unique<DecompressContext>();
    ctx->settings = settings;
    ctx->out = out;
    ctx->err = err;
    DecompressRun run(*ctx, name);
    if (!open_run(run)) return 1;
    return finish(run, run_frames(run));
}
