// Section data as every generation sees it: a section's codebook in context of the band's
// codebook in the previous frame (and in a pair's partner) and the previous section's; its
// length increments in context of how far the previous frame kept that codebook. How those
// contexts are turned into decisions is the generation's own: its header defines
//
//   code_sect_cb_bits(rc, model, const SectCbContext&, cb)      the 4-bit codebook
//   code_sect_len_bits(rc, model, const SectLenContext&, incr)  one n-bit length increment
#pragma once

#include <cstdint>

#include "pack/model/channel_history.h"
#include "pack/model/frame_io.h"

constexpr unsigned kSectCbs = 17;          // a section codebook 0..15, 16 = none
constexpr unsigned kSectLenExpected = 33;  // expected length increment 0..31, 32 = none
constexpr unsigned kSectCbBits = 4;
constexpr unsigned kSectLenBits = 5;       // the widest sect_len field

struct SectCbContext {
    unsigned before = 0;   // the band's codebook in the previous frame (kSectCbs - 1: none)
    unsigned partner = 0;  // the pair partner's at the band
    unsigned last = 0;     // the previous section's
    unsigned sfb = 0;      // the section's first band
};

struct SectLenContext {
    bool short_windows = false;
    unsigned expected = 0;  // kSectLenExpected
    unsigned cb = 0;        // the section's codebook
    unsigned sfb = 0;       // the band the increment starts at
    unsigned n = 0;         // bits of the increment
};

template <class Model, class Coder>
std::uint32_t io_sect_cb(CoderIo<Model, Coder>& io, const BandPos& pos) {
    std::uint32_t cb = 0;
    if (!take_field(io, cb)) return 0;
    ChannelHistory& h = history_of(*io.m, pos.slot);
    const unsigned prev = prev_frame(h);
    const bool same_shape = (h.window_sequence[prev] == EIGHT_SHORT_SEQUENCE) ==
                            (h.window_sequence[h.cur] == EIGHT_SHORT_SEQUENCE);
    constexpr unsigned kNone = kSectCbs - 1;
    if (pos.sfb == 0) h.last_sect_cb = kNone;
    SectCbContext c;
    c.before = same_shape ? h.band_cb[prev][band_index(pos)] : kNone;
    const ChannelHistory* o = partner_of(*io.m, pos);
    c.partner = o != nullptr ? o->band_cb[o->cur][band_index(pos)] : kNone;
    c.last = h.last_sect_cb;
    c.sfb = pos.sfb;
    cb = code_sect_cb_bits(*io.rc, *io.m, c, cb);
    emit_bits(io, cb, kSectCbBits);
    h.last_sect_cb = static_cast<std::uint8_t>(cb);
    h.sect_band = static_cast<std::uint16_t>(band_index(pos));
    h.sect_len = 0;
    charge(io, FAMILY_SECTIONS);
    return cb;
}

template <class Model, class Coder>
std::uint32_t io_sect_len(CoderIo<Model, Coder>& io, unsigned n, FieldKind, const BandPos& pos, unsigned cb) {
    std::uint32_t incr = 0;
    if (!take_field(io, incr)) return 0;
    ChannelHistory& h = history_of(*io.m, pos.slot);
    const unsigned prev = prev_frame(h);
    SectLenContext c;
    c.short_windows = h.window_sequence[h.cur] == EIGHT_SHORT_SEQUENCE;
    const bool same_shape = (h.window_sequence[prev] == EIGHT_SHORT_SEQUENCE) == c.short_windows;
    c.expected = kSectLenExpected - 1;
    // The previous frame predicts lengths better than a pair's partner does (measured).
    const std::uint8_t* reference = same_shape ? h.band_cb[prev].data() : nullptr;
    if (reference != nullptr) {
        // bands the reference kept this codebook from the section start on, less those coded
        const unsigned start = band_index(pos);
        unsigned run = 0;
        while (pos.sfb + run < kPackMaxBands && reference[start + run] == cb) ++run;
        const unsigned esc = (1u << n) - 1;
        c.expected = run > h.sect_len ? run - h.sect_len : 0;
        if (c.expected > esc) c.expected = esc;
    }
    c.cb = cb;
    c.sfb = pos.sfb + h.sect_len;
    c.n = n;
    const std::uint32_t mask = (1u << n) - 1;
    incr = code_sect_len_bits(*io.rc, *io.m, c, incr & mask);
    emit_bits(io, incr, n);
    h.sect_len = static_cast<std::uint16_t>(h.sect_len + incr);
    if (incr != mask) {
        for (unsigned i = 0; i < h.sect_len && pos.sfb + i < kPackMaxBands; ++i)
            h.band_cb[h.cur][h.sect_band + i] = static_cast<std::uint8_t>(cb);
    }
    charge(io, FAMILY_SECTIONS);
    return incr;
}
