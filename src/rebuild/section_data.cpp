// Section data rebuild: every codebook number and length increment is copied, escapes
// included, while the section layout is recorded for the later writers.
#include "rebuild/section_data.h"

#include "aac/syntax.h"

int write_section_data(DecompressContext& ctx, BitSink& sink) {
    // A channel's sections are those of its own line: an empty line (a channel with max_sfb
    // 0) must not leave the previous channel's sections to the spectral writer.
    for (std::int32_t& n : ctx.state.num_sec) n = 0;
    ValueLine line;
    FieldSource src;
    if (!open_fields(ctx.blocks, STREAM_SBN, line, src)) return 0;
    FrameState& st = ctx.state;
    const unsigned sect_bits = st.window_sequence == EIGHT_SHORT_SEQUENCE ? 3 : 5;
    const std::uint32_t sect_esc_val = (1u << sect_bits) - 1;
    constexpr int kSections = static_cast<int>(kMaxSections);
    int bits = 0;
    for (int g = 0; g < st.num_window_groups; ++g) {
        int k = 0;
        int i = 0;
        while (k < st.max_sfb) {
            const std::uint32_t sect_cb = copy_field(src, sink, 4, bits);
            int sect_len = 0;
            std::uint32_t sect_len_incr = copy_field(src, sink, sect_bits, bits);
            // Bounded by the arrays' 120 bands; a longer run of escapes is malformed anyway.
            while (sect_len_incr == sect_esc_val && k + sect_len < kSections) {
                sect_len += static_cast<int>(sect_len_incr);
                sect_len_incr = copy_field(src, sink, sect_bits, bits);
            }
            sect_len += static_cast<int>(sect_len_incr);
            // Zero-length sections are legal, so k alone cannot end this loop: the section
            // index is bounded by its array as well.
            if (i >= kSections || k + sect_len >= kSections) {
                st.num_sec[g] = i;
                ctx.frame_status = kStatusSectionsOverrun;
                close_fields(ctx.blocks, STREAM_SBN, line);
                return bits;
            }
            st.sect_cb[g][i] = static_cast<std::int32_t>(sect_cb);
            st.sect_start[g][i] = k;
            st.sect_end[g][i] = k + sect_len;
            for (int sfb = k; sfb < k + sect_len; ++sfb) st.sfb_cb[g][sfb] = static_cast<std::int32_t>(sect_cb);
            k += sect_len;
            ++i;
        }
        st.num_sec[g] = i;
    }
    close_fields(ctx.blocks, STREAM_SBN, line);
    return bits;
}
