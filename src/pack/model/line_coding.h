// Spectral lines as every generation codes them, in four steps: the band's context (and
// whether every line of it is zero), each line's context, the line's magnitude, its sign. The
// tables a band's lines are coded with, and how an escape is coded, are the generation's own:
// its header defines
//
//   choose_band_tables(model, BandContext<LineBook>&, const LineRun&)  the band's tables, and
//                                        whether a pair's partner counts in the neighbourhood
//   code_escape_value(io, const BandContext&, const LineContext&, k, v)  an escape's value
//                                        (the magnitude less 16)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "pack/model/channel_history.h"
#include "pack/model/frame_io.h"

// From this neighbourhood bucket on (the two lines before weigh 3 or more) a line's magnitude,
// zero included, is one symbol; quieter lines first ask "zero?" with several views mixed. Loud
// lines are rarely zero, and the mixed question cost more time there than it saved bits.
constexpr unsigned kLoudNear = 3;
constexpr unsigned kLineBooks = ESC_HCB + 1;  // codebooks 0..11, those that carry lines
// Zero flags of quiet lines: the exact small magnitudes of the nearest lines, and of the pair
// partner's.
constexpr unsigned kFineBefore = 3;    // the line before, 0..2
constexpr unsigned kFinePrev = 4;      // the line in the previous frame, 0..3
constexpr unsigned kFineSide = 3;      // its neighbours there, 0..2
constexpr unsigned kPairLine = 9;      // 0 lone, 1..4 left/right partner 0..3, 5..8 mid/side
constexpr unsigned kPairNext = 4;      // the partner's next line (a lone channel: two lines back), 0..3
constexpr unsigned kPairBefore = 4;    // the line before, 0..3
constexpr unsigned kMixViews = 3;      // lone, left/right, mid/side

// What a band's lines are coded against: this frame so far, the previous frame rescaled to
// this frame's quantiser, two frames back, and a pair's first channel.
template <class LineBook>
struct BandContext {
    LineBook* book = nullptr;
    ChannelHistory* h = nullptr;          // the channel's history
    const std::int16_t* q = nullptr;      // this frame, offset by one so that lines -1 and 1024 exist
    const std::int16_t* prev = nullptr;   // the previous frame
    const std::int16_t* prev2 = nullptr;  // two frames back
    bool prev_ok = false;                 // each when its windows have this frame's shape
    bool prev2_ok = false;
    std::uint64_t prev2_scale = 0;
    const std::int16_t* other = nullptr;  // the pair's first channel, if any
    // The pair's first channel where it counts in each line's neighbourhood (a generation's
    // choice): in full when the pair is coded left/right, a quarter of it coded mid/side.
    const std::int16_t* other_near = nullptr;
    const std::int8_t* other_sign = nullptr;
    unsigned mix_ctx = 0;  // lone, left/right, mid/side
    unsigned place = 0;    // the band's place in the spectrum (a generation's measure)
    // The tables this band's lines are coded with, chosen once for the band by the generation.
    Table<SymbolModel, kNearBuckets, kNearBuckets>* magnitude = nullptr;
    Table<SymbolModel, kNearBuckets, kNearBuckets>* joint = nullptr;
    Table<Apm, kNearBuckets>* zero_apm = nullptr;
    // The zero flag's mixers: one per neighbourhood bucket (stride 1) or one for all (stride 0).
    Mixer<3>* zero_mix = nullptr;
    unsigned zero_mix_stride = 0;
    unsigned pair_base = 0;
    unsigned top = 0;      // magnitude_top of the codebook
    int cb = 0;
    bool ms = false;
    bool short_windows = false;
    // What the previous frame says about each line of the band, worked out before the band is
    // coded: none of it depends on the lines being coded. `prev_near` is the rescaled previous
    // frame at lines first-1..first+count, `prev_ctx` the bucket of its neighbourhood at each line.
    std::array<std::uint32_t, kFrameLength + 2> prev_near;
    std::array<std::uint8_t, kFrameLength> prev_ctx;
};

// Sets up what every generation's band context holds, then lets the generation choose its tables.
template <class Model, class LineBook>
inline void start_band_context(Model& m, ChannelHistory& h, int cb, const LineRun& run, BandContext<LineBook>& c) {
    c.cb = cb;
    c.ms = run.ms;
    c.short_windows = run.short_windows;
    c.top = magnitude_top(cb);
    c.h = &h;
    c.book = &entry_with(m.line_book, static_cast<unsigned>(cb), static_cast<unsigned>(cb));  // started for this codebook
    c.q = h.q[h.cur].data() + 1;
    c.prev = h.q[prev_frame(h)].data() + 1;
    c.prev2 = h.q[prev2_frame(h)].data() + 1;
    c.prev_ok = (h.window_sequence[prev_frame(h)] == EIGHT_SHORT_SEQUENCE) == run.short_windows;
    c.prev2_ok = (h.window_sequence[prev2_frame(h)] == EIGHT_SHORT_SEQUENCE) == run.short_windows;
    if (const ChannelHistory* o = partner_of(m, run.slot, run.pair_slot)) {
        c.other = o->q[o->cur].data() + 1;
        c.other_sign = o->sign.data();
    }
    c.mix_ctx = c.other == nullptr ? 0u : run.ms ? 2u : 1u;
    c.pair_base = 1u + (run.ms ? 4u : 0u);
    choose_band_tables(m, c, run);
}


// "Every line of this band is zero", by the band before, the previous frame and the partner.
template <class Model, class Coder>
unsigned code_band_zero(CoderIo<Model, Coder>& io, ChannelHistory& h, const BandContext<typename Model::LineBook>& c, const LineRun& run,
                        std::size_t count, unsigned all_zero) {
    const auto zero_band = [count](const std::int16_t* lines) {
        unsigned any = 0;
        for (std::size_t i = 0; i < count; ++i) any |= static_cast<unsigned>(lines[i]);
        return any == 0 ? 1u : 0u;
    };
    const unsigned prev_zero = c.prev_ok ? zero_band(c.prev + run.first) : 2u;
    const unsigned pair_zero = c.other != nullptr ? zero_band(c.other + run.first) : 2u;
    all_zero = code_bit(*io.rc, c.book->band_zero[h.last_band_zero][prev_zero][pair_zero], all_zero);
    h.last_band_zero = static_cast<std::uint8_t>(all_zero);
    return all_zero;
}

// The previous frame's view of each line of the band, and the factor for two frames back.
template <class LineBook>
inline void view_previous_frame(const ChannelHistory& h, unsigned band, const LineRun& run, std::size_t count,
                                BandContext<LineBook>& c) {
    const int first = static_cast<int>(run.first);
    const int n = static_cast<int>(count);
    if (c.prev_ok) {
        const std::uint64_t scale = rescale_factor(h, band, prev_frame(h));
        const std::int16_t* prev = c.prev;
        for (int i = -1; i <= n; ++i)
            c.prev_near[static_cast<unsigned>(i + 1)] = static_cast<std::uint32_t>((static_cast<std::uint64_t>(prev[first + i]) * scale + 128) >> 8);
        for (int i = 0; i < n; ++i) {
            const int ki = first + i;
            c.prev_ctx[static_cast<unsigned>(i)] = static_cast<std::uint8_t>(bucket(static_cast<unsigned>(
                (static_cast<std::uint64_t>(2 * prev[ki] + prev[ki - 1] + prev[ki + 1]) * scale + 128) >> 8)));
        }
    } else {
        for (int i = -1; i <= n; ++i) c.prev_near[static_cast<unsigned>(i + 1)] = 0;
        for (int i = 0; i < n; ++i) c.prev_ctx[static_cast<unsigned>(i)] = kNoContext;
    }
    c.prev2_scale = c.prev2_ok ? rescale_factor(h, band, prev2_frame(h)) : 0;
}

// The context of line k (the i-th of its band): its two lines before in this frame, and the
// previous frame at the line and either side of it.
struct LineContext {
    unsigned near = kNoContext;  // bucket of the lines before
    unsigned prev = kNoContext;  // bucket of the previous frame's neighbourhood
    unsigned q1 = 0;             // the line before
    unsigned pl = 0, p0 = 0, pr = 0;
    unsigned partner = 0;        // what the pair's first channel adds to the neighbourhood
};

template <class LineBook>
inline LineContext line_context(const BandContext<LineBook>& c, unsigned k, std::size_t i) {
    LineContext l;
    const std::int16_t* q = c.q;
    // a left/right partner's line weighs as much as the line two before, a mid/side one a quarter
    if (c.other_near != nullptr) l.partner = static_cast<unsigned>(c.other_near[k]) >> (c.ms ? 2 : 0);
    l.near = k >= 2 ? bucket(2u * q[k - 1] + q[k - 2] + l.partner) : k == 1 ? bucket(2u * q[0] + l.partner) : kNoContext;
    l.prev = c.prev_ctx[i];
    l.pl = c.prev_near[i];
    l.p0 = c.prev_near[i + 1];
    l.pr = c.prev_near[i + 2];
    l.q1 = k >= 1 ? q[k - 1] : 0u;
    return l;
}

// The magnitude of line k, escape included; `implied` when the line cannot be zero.
template <class Model, class Coder>
std::uint32_t code_line(CoderIo<Model, Coder>& io, const BandContext<typename Model::LineBook>& c, const LineContext& l,
                        unsigned k, bool implied, std::uint32_t mag) {
    typename Model::LineBook& b = *c.book;
    const unsigned top = c.top;
    unsigned t = 0;
    if (!implied && l.near >= kLoudNear && l.near != kNoContext) {
        // among loud neighbours a zero is one magnitude among others
        t = code_symbol(*io.rc, (*c.joint)[l.near][l.prev], mag < top ? mag : top);
    } else {
        // the partner's line and its neighbour, or for a lone channel two lines back
        const int ki = static_cast<int>(k);  // the neighbours of line 0 and 1023 are the zero margins
        const unsigned q2 = k >= 2 ? c.q[k - 2] : 0u;
        const unsigned pair_ctx = c.other != nullptr ? c.pair_base + clamp_index(static_cast<unsigned>(c.other[ki]), 4) : 0u;
        const unsigned pair_next = clamp_index(c.other != nullptr ? static_cast<unsigned>(c.other[ki + 1]) : q2, kPairNext);
        // two frames back, for sounds that hold longer than a frame
        const unsigned prev2_ctx = c.prev2_ok ? bucket(static_cast<unsigned>(
            (static_cast<std::uint64_t>(2 * c.prev2[ki] + c.prev2[ki - 1] + c.prev2[ki + 1]) * c.prev2_scale + 128) >> 8))
                                              : kNoContext;
        Bit* zero_inputs[3] = {&b.zero_fine[clamp_index(l.q1, kFineBefore)][clamp_index(l.p0, kFinePrev)]
                                           [clamp_index(l.pr, kFineSide)][clamp_index(l.pl, kFineSide)],
                               &b.zero_pair[pair_ctx][pair_next][clamp_index(l.q1, kPairBefore)],
                               &b.zero_prev2[prev2_ctx][l.prev]};
        if (implied || code_mixed<3>(*io.rc, c.zero_mix[l.near * c.zero_mix_stride], zero_inputs, mag != 0 ? 1u : 0u, &(*c.zero_apm)[l.near])) {
            t = 1;
            if (top > 1) t = 1u + code_symbol(*io.rc, (*c.magnitude)[l.near][l.prev], (mag < top ? mag : top) - 1u);
        }
    }
    if (c.cb == ESC_HCB && t == 16) {
        // the symbol 16 says "escape" as the codeword does in the frame: a magnitude; what
        // follows is the escape sequence's part
        charge(io, FAMILY_MAGNITUDES);
        t = 16u + code_escape_value(io, c, l, k, mag - 16u);
        c.h->last_escape = static_cast<std::uint16_t>(t < 0xFFFFu ? t : 0xFFFFu);
        charge(io, FAMILY_ESCAPES);
    } else {
        charge(io, FAMILY_MAGNITUDES);
    }
    return t;
}

// The sign of a non-zero line k: correlated channels coded left/right share their phase;
// anything else has signs no context predicts.
template <class Model, class Coder>
unsigned code_sign(CoderIo<Model, Coder>& io, const BandContext<typename Model::LineBook>& c, unsigned k,
                   unsigned negative) {
    if (c.other_sign != nullptr && c.other_sign[k] != 0)
        negative = code_bit(*io.rc, c.book->sign_pair[c.ms ? 1 : 0][c.other_sign[k] < 0 ? 1 : 0], negative);
    else
        negative = code_direct(*io.rc, negative, 1);
    charge(io, FAMILY_SIGNS);
    return negative;
}

template <class Model, class Coder>
void io_spectral(CoderIo<Model, Coder>& io, int cb, std::size_t count, const LineRun& run) {
    if (io.failed || run.first + count > kFrameLength) {
        fail(io, PACK_FRAME_SYNTAX);
        return;
    }
    const std::int32_t* values = nullptr;  // encoding: the lines to code
    unsigned all_zero = 1;
    if constexpr (!CoderIo<Model, Coder>::kDecoding) {
        if (io.cur.line + count > io.rec->n_line) {
            fail(io, PACK_NOT_DESCRIBED);
            return;
        }
        values = &io.rec->line[io.cur.line];
        io.cur.line += count;
        for (std::size_t i = 0; i < count; ++i) all_zero &= values[i] == 0 ? 1u : 0u;
    }
    Model& m = *io.m;
    ChannelHistory& h = history_of(m, run.slot);
    BandContext<typename Model::LineBook> c;
    start_band_context(m, h, cb, run, c);
    if (code_band_zero(io, h, c, run, count, all_zero)) {
        // q of this frame starts zeroed
        charge(io, FAMILY_MAGNITUDES);
        if (!sink_zero_lines(io.sink, cb, count)) fail(io, PACK_FRAME_TOO_LONG);
        return;
    }
    view_previous_frame(h, band_index(run.g, run.sfb), run, count, c);
    std::int16_t* q = h.q[h.cur].data() + 1;
    bool seen_nonzero = false;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned k = run.first + static_cast<unsigned>(i);
        std::int32_t v = 0;
        if constexpr (!CoderIo<Model, Coder>::kDecoding) v = values[i];
        // in a band that is not all zero, a last line after only zeros is not zero
        const bool implied = i + 1 == count && !seen_nonzero;
        const std::uint32_t coded = code_line(io, c, line_context(c, k, i), k, implied,
                                              static_cast<std::uint32_t>(v < 0 ? -v : v));
        if (coded != 0) {
            seen_nonzero = true;
            const unsigned negative = code_sign(io, c, k, v < 0 ? 1u : 0u);
            h.sign[k] = negative ? -1 : 1;
            if (coded > static_cast<std::uint32_t>(kMaxEscapeMagnitude)) {
                fail(io, PACK_LINE_PAST_RANGE);
                return;
            }
            v = negative ? -static_cast<std::int32_t>(coded) : static_cast<std::int32_t>(coded);
            q[k] = static_cast<std::int16_t>(coded < 0x7FFF ? coded : 0x7FFF);
        } else {
            v = 0;
            q[k] = 0;
        }
        sink_line(io.sink, i, v);
    }
    if (!sink_lines(io.sink, cb, count)) fail(io, PACK_FRAME_TOO_LONG);
}

