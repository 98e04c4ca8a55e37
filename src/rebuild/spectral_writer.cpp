// spectral_data() of one channel, from codewords (carried over and checked) or from stored
// values (coded afresh with the section codebooks). The codeword path also ends the frame.
#include "rebuild/spectral_writer.h"

#include <cstring>

#include "rebuild/frame_end.h"
#include "aac/syntax.h"
#include "rebuild/band_encoder.h"
#include "rebuild/codebook_coders.h"
#include "aac/codebooks.h"

namespace {

// The integer part of a cut-off setting, clamped so that no conversion can overflow.
std::int64_t cutoff_int(double hz) {
    if (!(hz > 0.0)) return hz < 0.0 && hz > -2147483647.0 ? static_cast<std::int64_t>(hz) : 0;
    return hz < 2147483647.0 ? static_cast<std::int64_t>(hz) : 2147483647;
}

int write_codeword_path(DecompressContext& ctx, BitSink& sink, int bits_before) {
    FrameState& st = ctx.state;
    StreamReader& qmdct = ctx.blocks.reader[STREAM_QMDCT];
    int total = 0;
    for (int g = 0; g < st.num_window_groups; ++g) {
        for (int i = 0; i < st.num_sec[g]; ++i) {
            const int cb = st.sect_cb[g][i];
            if (cb == ZERO_HCB || cb == NOISE_HCB || cb == INTENSITY_HCB2 || cb == INTENSITY_HCB) continue;
            const int step = static_cast<int>(tuple_size(cb));
            const int begin = st.sect_sfb_offset[g][st.sect_start[g][i]];
            const int end = st.sect_sfb_offset[g][st.sect_end[g][i]];
            if (end > begin) transcode_tuples(qmdct, cb, (end - begin + step - 1) / step, sink, total);
        }
    }
    const bool last_channel = st.channel_index == 2 || st.channel_configuration == 1;
    if (!last_channel) return total;
    if (st.channel_configuration == 2) {
        // The id after a pair is on STC only as bits; a values-only STC ends the frame there.
        st.next_element_id = ctx.blocks.bits_present[STREAM_STC]
                                 ? static_cast<std::int32_t>(read_bits(ctx.blocks.reader[STREAM_STC], 3))
                                 : ID_END;
    }
    const int room = st.aac_frame_length * 8 - bits_before - total;
    if (st.next_element_id == ID_FIL) {
        // A fill id followed by zeros is no valid element sequence: a real fill element takes
        // the frame to its recorded length, then END.
        return total + write_fill_to_length(sink, room);
    }
    total += static_cast<int>(bitsink_put(sink, static_cast<std::uint32_t>(st.next_element_id), 3));
    int padding = room - 3;
    while (padding > 0) {
        const unsigned n = padding < 32 ? static_cast<unsigned>(padding) : 32u;
        const unsigned put = bitsink_put(sink, 0, n);
        if (put == 0) break;  // the frame buffer is full; the driver refuses the frame
        total += static_cast<int>(put);
        padding -= static_cast<int>(put);
    }
    return total;
}

// Fills quant_spectrum from the slot's values. Returns false when a -m line is empty.
bool place_values(DecompressContext& ctx, int slot) {
    FrameState& st = ctx.state;
    const int n_lines = st.frame_length > 0 && st.frame_length <= 1024 ? st.frame_length : 1024;
    const std::int64_t nyquist = sample_rate_of(st.sf_index) >> 1;
    ValueLine line;
    const std::size_t e = read_value_line(ctx.blocks, slot, line);
    std::memset(st.quant_spectrum, 0, sizeof st.quant_spectrum);
    if (ctx.blocks.block_files) {
        if (e == 0) {
            finish_value_line(ctx.blocks, slot, line);
            return false;
        }
        std::int64_t start = 0;
        if (e < static_cast<std::size_t>(n_lines) && nyquist > 0) {
            start = cutoff_int(ctx.settings.cut_lo_hz) * n_lines / nyquist;
            if (start >= n_lines || start < 0) start = 0;
        }
        for (std::int64_t k = start; k < n_lines && line.taken < line.count; ++k)
            st.quant_spectrum[k] = take_value(line);
        finish_value_line(ctx.blocks, slot, line);
        return true;
    }
    // Without a sampling rate there is no cut-off to convert: every line is taken.
    std::int64_t start = 0;
    std::int64_t end = n_lines;
    if (nyquist > 0) {
        if (!ctx.cut_resolved) {
            ctx.cut_lo_hz = ctx.settings.cut_lo_hz;
            ctx.cut_hi_hz = ctx.settings.cut_hi_hz != 0.0 ? ctx.settings.cut_hi_hz : static_cast<double>(nyquist);
            if (!(ctx.cut_lo_hz < ctx.cut_hi_hz)) ctx.cut_lo_hz = 0.0;
            ctx.cut_resolved = true;
        }
        end = cutoff_int(ctx.cut_hi_hz) * n_lines / nyquist + 1;
        if (end >= n_lines) end = n_lines;
        if (end < 0) end = 0;
        start = cutoff_int(ctx.cut_lo_hz) * n_lines / nyquist;
        if (start >= end || start < 0) start = 0;
    }
    // A list that runs out gives zeros for the rest of the band (and says it ran out, as
    // take_value would).
    if (end > start) {
        const std::size_t wanted = static_cast<std::size_t>(end - start);
        const std::size_t left = line.count - line.taken;
        const std::size_t n = wanted < left ? wanted : left;
        if (n > 0) std::memcpy(st.quant_spectrum + start, line.values + line.taken, n * sizeof(std::int32_t));
        line.taken += n;
        if (n < wanted) line.ran_out = true;
    }
    finish_value_line(ctx.blocks, slot, line);
    return true;
}

int write_value_path(DecompressContext& ctx, BitSink& sink, int slot) {
    FrameState& st = ctx.state;
    if (!place_values(ctx, slot)) return 0;
    BitBatch batch;
    int group_base = 0;
    for (int g = 0; g < st.num_window_groups; ++g) {
        std::memset(st.band_codebook, 0, sizeof st.band_codebook);
        for (int i = 0; i < st.num_sec[g]; ++i)
            for (int sfb = st.sect_start[g][i]; sfb < st.sect_end[g][i]; ++sfb) st.band_codebook[sfb] = st.sect_cb[g][i];
        for (int sfb = 0; sfb < st.num_swb; ++sfb) {
            const int first = group_base + st.sect_sfb_offset[g][sfb];
            const int width = st.sect_sfb_offset[g][sfb + 1] - st.sect_sfb_offset[g][sfb];
            encode_band_bits(sink, batch, st.band_codebook[sfb], st.quant_spectrum, first, width);
        }
        group_base += st.sect_sfb_offset[g][st.num_swb];
    }
    return batch_finish(sink, batch);
}

}  // namespace

int write_spectral_data(DecompressContext& ctx, BitSink& sink, int bits_present, int bits_before, int slot) {
    if (bits_present) return write_codeword_path(ctx, sink, bits_before);
    return write_value_path(ctx, sink, slot);
}
