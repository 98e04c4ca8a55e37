// Scale factors, noise energies and intensity positions as every generation sees them: the
// codeword index AAC stores is a step from the value before, and what predicts it is the band's
// past (the step that would land it back on its value in the previous frame, or in the window
// group before), the band before in this frame, and a pair's partner at the band. How that is
// turned into decisions is the generation's own: its header defines
//
//   code_scale_factor(rc, model, kind, SfContext&, const SfSide&, index)  the index coded, or
//                                        anything above 2 * kSfMaxStep when it cannot be one
//   after_scale_factor(model, history, const SfContext&, step, partner_has)  what it learns of
//                                        the channel from the step coded
#pragma once

#include <cstdint>

#include "pack/model/channel_history.h"
#include "pack/model/frame_io.h"

constexpr unsigned kSfMaxStep = 60;  // the codeword index is the step plus 60
constexpr unsigned kSfLastStep = 5;  // the step of the band before -2..2

// What a scale-factor step is coded against, from the band's past and its neighbours. The
// shared part is filled in by io_scale_factor; a generation fills in what else it uses.
struct SfContext {
    bool expected_known = false;
    int expected = 0;        // the step that lands on the band's last value
    unsigned before = 0;     // the band's step in the previous frame
    unsigned partner = 0;    // the pair partner's step at the band
    unsigned two_back = 0;   // the step landing on the band's value two frames back
    bool partner_known = false;  // the step is coded as a difference from partner_land
    int partner_land = 0;    // the step that lands on the partner's value at the band
    int last_diff = 0;       // the step of the band before
    unsigned last_residual = 0;  // kSfResidual
    unsigned last_step = 0;  // the step of the band before, kSfLastStep
    unsigned band_class = 0;
    // Codebooks as kSfBooks: this band's, the band's in the previous frame, the band before's,
    // the partner's at the band.
    unsigned book = 0;
    unsigned prev_book = 0;
    unsigned last_book = 0;
    unsigned partner_book = 0;
};

// Where the band is, for a generation that looks further.
struct SfSide {
    const ChannelHistory& h;
    const ChannelHistory* o;  // the pair's first channel, if any
    unsigned band = 0;
    unsigned sfb = 0;
    unsigned prev = 0;         // the previous frame's entry
    bool prev_has = false;     // the band held this kind in the previous frame
    bool partner_has = false;  // the partner's band holds this kind
};

template <class Model, class Coder>
void io_scale_factor(CoderIo<Model, Coder>& io, SfKind kind, const BandPos& pos) {
    if (io.failed) return;
    std::uint32_t index = 0;
    if constexpr (!CoderIo<Model, Coder>::kDecoding) {
        if (io.cur.sf >= io.rec->n_sf) {
            fail(io, PACK_NOT_DESCRIBED);
            return;
        }
        index = io.rec->sf[io.cur.sf++];
    }
    Model& m = *io.m;
    ChannelHistory& h = history_of(m, pos.slot);
    const unsigned band = band_index(pos);
    const unsigned prev = prev_frame(h);
    const bool prev_has = h.sf_kind[prev][band] == kind + 1;
    SfContext c;
    // The step that would bring this band back to where it was in the previous frame is the
    // best guess at this one; in a later window group the same band of the group before is
    // closer than the last frame.
    const unsigned above = band - (pos.g > 0 ? kPackMaxBands : 0u);
    if (pos.g > 0 && h.sf_kind[h.cur][above] == kind + 1) {
        c.expected_known = true;
        c.expected = h.sf_abs[h.cur][above] - h.sf_running[kind];
    } else if (prev_has) {
        c.expected_known = true;
        c.expected = h.sf_abs[prev][band] - h.sf_running[kind];
    }
    // The partner of a pair usually has the same envelope: the step that lands on its value.
    const ChannelHistory* o = partner_of(m, pos);
    const bool partner_has = o != nullptr && o->sf_kind[o->cur][band] == kind + 1;
    if (partner_has) c.partner_land = o->sf_abs[o->cur][band] - h.sf_running[kind];
    c.last_diff = h.last_sf_diff;
    c.last_residual = h.last_sf_residual;
    c.last_step = step_index(h.last_sf_diff, 2);
    c.band_class = clamp_index(pos.sfb / 6u, kBandClasses);
    index = code_scale_factor(*io.rc, m, kind, c, SfSide{h, o, band, pos.sfb, prev, prev_has, partner_has}, index);
    if (index > 2 * kSfMaxStep) {
        fail(io, PACK_SCALE_FACTOR_PAST_RANGE);
        return;
    }
    const int d = static_cast<int>(index) - static_cast<int>(kSfMaxStep);
    h.sf_diff[h.cur][band] = static_cast<std::int8_t>(d);
    h.last_sf_diff = static_cast<std::int8_t>(d);
    h.last_sf_residual = static_cast<std::uint8_t>(c.partner_known ? step_index(d - c.partner_land, 4) : kSfResidual - 1);
    after_scale_factor(m, h, c, d, partner_has);
    h.sf_running[kind] = static_cast<std::int16_t>(h.sf_running[kind] + d);
    h.sf_abs[h.cur][band] = h.sf_running[kind];
    h.sf_kind[h.cur][band] = static_cast<std::uint8_t>(kind + 1);
    if (!sink_scale_factor(io.sink, index)) fail(io, PACK_FRAME_TOO_LONG);
    charge(io, FAMILY_SCALEFACTORS);
}
