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

int run(DecompressContext& ctx, const std::string& name) {
    const RebuildSettings& options = ctx.settings;
    std::FILE* out = ctx.out;
    std::fprintf(out, options.read_bin_blocks ? "\tDecompress AAC audio file\n\n"
                                              : "\tDecompress AAC audio file from CSV data files\n\n");
    const std::string output_name = rebuilt_name(name, options);
    OutputFile output;
    if (const int e = open_output(output, output_name, true); e != 0) {
        std::fprintf(ctx.err, "Error: couldn't create %s: %s\n", output_name.c_str(), std::strerror(e));
        return 1;
    }
    DataBlocks& blocks = ctx.blocks;
    if (open_data_blocks(blocks, name, options.block_files, options.read_bin_blocks, out) != 0) {
        close_data_blocks(blocks);
        discard_output(output);
        return 1;
    }
    std::vector<std::uint8_t> frame(kFrameBufferSize);
    std::vector<std::uint8_t> pending;
    pending.reserve(kOutputGather + kFrameBufferSize);
    std::size_t frame_dirty = 0;  // bytes of `frame` the last frame wrote
    FrameState& st = ctx.state;
    bool first_frame = true;
    bool configuration_reported = false;
    int faacstr_bits = 0;
    int status = 0;
    for (int frame_number = 1;; ++frame_number) {
        reset_frame(st);
        ctx.frame_status = kStatusOk;
        const std::uint64_t gg_before = stream_progress(blocks, STREAM_GG);
        const std::uint64_t adts_before = stream_progress(blocks, STREAM_ADTS);
        // The frame buffer starts every frame as zeros. Writes never reach past their last
        // bit, so only the bytes the previous frame wrote need clearing.
        std::memset(frame.data(), 0, frame_dirty);
        BitSink sink;
        bitsink_create(sink, frame.data(), frame.size(), true);
        int bits = 0;
        const int header_bits = write_adts_header(ctx, sink);
        bits += header_bits;
        if (first_frame) {
            faacstr_bits = write_faacstr_block(ctx, sink);
            bits += faacstr_bits;
            first_frame = false;
        }
        bool element_written = true;
        if (st.channel_configuration == 1) {
            bits += write_mono_element(ctx, sink, bits);
        } else if (st.channel_configuration == 2) {
            bits += write_cpe(ctx, sink, bits);
        } else {
            element_written = false;
            if (!configuration_reported) {
                std::fprintf(out, "Channel configuration %d is not supported: frames carry no channel elements.\n",
                             st.channel_configuration);
                configuration_reported = true;
            }
        }
        if (ctx.frame_status == kStatusWrongIcsInfo) {
            status = 1;
            break;
        }
        // On the codeword path the spectral writer has already ended the frame.
        if (!(element_written && blocks.bits_present[STREAM_QMDCT])) {
            const int n = bits - faacstr_bits;
            faacstr_bits = 0;
            const int budget = 6 + (n < 5 ? 5 - n : 0);
            bits += budget - write_fill_elements(sink, budget);
            bits += static_cast<int>(bitsink_put(sink, ID_END, 3));
            bits += write_byte_alignment(sink);
        }
        frame_dirty = bitsink_bytes(sink);
        const int length = (bits + 7) / 8;
        if (ctx.frame_status != kStatusOk) {
            std::fprintf(out, "Frame %d is left out: %s.\n", frame_number, status_text(ctx.frame_status));
        } else if (sink.overflow || length > kLargestFrameLength) {
            std::fprintf(out, "Frame %d is left out: it is longer than the largest ADTS frame (%d bytes).\n", frame_number,
                         kLargestFrameLength);
        } else {
            // Only a frame that has a header of its own can have its length corrected.
            if (header_bits > 0 && length != st.aac_frame_length) correct_frame_length(st, frame.data(), length);
            // Frames are a few hundred bytes: they go out gathered, in large writes.
            pending.insert(pending.end(), frame.data(), frame.data() + length);
            if (pending.size() >= kOutputGather) {
                if (write_output(output, pending.data(), pending.size()) != 0) {
                    status = 1;
                    break;
                }
                pending.clear();
            }
        }
        // Every channel takes one global gain, so the GG stream ends with the file. A frame
        // that took no gain (no channel element) can never use GG up: such frames go on while
        // the ADTS stream still has headers for them.
        if (stream_used_up(blocks, STREAM_GG)) break;
        if (stream_progress(blocks, STREAM_GG) == gg_before &&
            (stream_used_up(blocks, STREAM_ADTS) || stream_progress(blocks, STREAM_ADTS) == adts_before))
            break;
    }
    close_data_blocks(blocks);
    if (status == 0 && !pending.empty() && write_output(output, pending.data(), pending.size()) != 0) status = 1;
    // A stopped run keeps no output; the failed write or close of a good one is reported.
    if (status == 0 && commit_output(output) != 0) status = 1;
    if (output.error != 0)
        std::fprintf(ctx.err, "Error: couldn't write %s: %s\n", output_name.c_str(), std::strerror(output.error));
    discard_output(output);
    return status;
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
    return run(*ctx, name);
}
