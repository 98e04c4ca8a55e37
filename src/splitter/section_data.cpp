// Section data. Every codebook number and every length increment, escapes included, goes
// to SBN in bitstream order, so a channel's SBN bits equal its section_data bits.
#include "splitter/section_data.h"

#include "aac/codebooks.h"
#include "splitter/emit.h"

Status read_section_data(StreamSet& set, BitReader& br, ChannelStream& cs) {
    const unsigned sect_bits = cs.window_sequence == EIGHT_SHORT_SEQUENCE ? 3 : 5;
    const unsigned sect_esc_val = (1u << sect_bits) - 1;
    cs.noise_used = 0;
    for (unsigned g = 0; g < cs.num_window_groups; ++g) {
        unsigned k = 0;
        unsigned i = 0;
        // Zero-length sections are legal, so k alone cannot end this loop; the section
        // index is bounded as well, and running off the frame ends it at once.
        while (k < cs.max_sfb) {
            if (reader_exhausted(br)) return kStatusBufferTooSmall;
            const auto sect_cb = static_cast<std::uint8_t>(get_bits(br, 4));
            emit_bits_value(set, sect_cb, 4, STREAM_SBN);
            if (sect_cb == RESERVED_HCB) return kStatusBadSyntax;
            if (sect_cb == NOISE_HCB) cs.noise_used = 1;
            unsigned sect_len = 0;
            unsigned incr = get_bits(br, sect_bits);
            emit_bits_value(set, incr, static_cast<int>(sect_bits), STREAM_SBN);
            while (incr == sect_esc_val) {
                sect_len += incr;
                incr = get_bits(br, sect_bits);
                emit_bits_value(set, incr, static_cast<int>(sect_bits), STREAM_SBN);
            }
            sect_len += incr;
            if (k + sect_len >= kMaxSections || i >= kMaxSections) return kStatusIndexRange;
            cs.sect_cb[g][i] = sect_cb;
            cs.sect_start[g][i] = static_cast<std::uint8_t>(k);
            cs.sect_end[g][i] = static_cast<std::uint8_t>(k + sect_len);
            for (unsigned sfb = k; sfb < k + sect_len; ++sfb) cs.sfb_cb[g][sfb] = sect_cb;
            k += sect_len;
            ++i;
        }
        cs.num_sec[g] = static_cast<std::uint8_t>(i);
        // The sections of a group must end exactly at max_sfb.
        if (k != cs.max_sfb) return kStatusBadSyntax;
    }
    return 0;
}
