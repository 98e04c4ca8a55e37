// What the models of every generation remember of a channel between its frames, and the small
// measures of it their contexts are built from: the magnitudes, scale factors and codebooks
// of this frame and the two before it, a band's place, a neighbourhood's loudness as a bucket.
// A model generation keeps a LazyTable of these (its `history`), one per channel slot.
#pragma once

#include <array>
#include <cstdint>

#include "pack/frame/frame_record.h"
#include "pack/frame/frame_syntax.h"
#include "pack/model/context_table.h"
#include "aac/codebooks.h"
#include "aac/spectral_codec.h"

constexpr unsigned kFramesKept = 3;     // this frame and the two before it, per channel
constexpr unsigned kHistorySlots = 16;  // channels with a history of their own; later ones share the last
constexpr unsigned kNearBuckets = 13;   // 0..11 from magnitudes, 12 = no such context
constexpr unsigned kNoContext = kNearBuckets - 1;
constexpr unsigned kBandClasses = 8;    // a band's position: six bands a class
constexpr unsigned kFlagViews = 3;      // a flag elsewhere: 0 not set, 1 set, 2 unknown
constexpr unsigned kTwoWays = 2;        // a yes/no context: long or short windows, left/right or mid/side, ...
constexpr unsigned kSfResidual = 10;    // the band before's difference from its partner -4..4, 9 = none
constexpr unsigned kSfBooks = 8;        // a band's codebook: 0 none, 1..6 the pairs 1-2 .. 11, 7 noise or intensity

struct ChannelHistory {
    // Spectral magnitudes (clamped) and scale-factor differences of this frame and the two
    // before it, in a ring; `cur` says which entry is this frame.
    std::array<std::array<std::int16_t, kFrameLength + 2>, kFramesKept> q;
    std::array<std::int8_t, kFrameLength> sign;  // this frame: -1, 0, 1
    std::array<std::array<std::int8_t, 8 * kPackMaxBands>, kFramesKept> sf_diff;
    // Absolute scale factors (noise energies, intensity positions) per band, and what each
    // band held: 0 nothing, else its SfKind + 1.
    std::array<std::array<std::int16_t, 8 * kPackMaxBands>, kFramesKept> sf_abs;
    std::array<std::array<std::uint8_t, 8 * kPackMaxBands>, kFramesKept> sf_kind;
    std::array<std::int16_t, SF_KINDS> sf_running;
    // Codebook of every band; the section being coded (its first band and its length so far).
    std::array<std::array<std::uint8_t, 8 * kPackMaxBands>, kFramesKept> band_cb;
    std::array<std::uint64_t, 8> ms_used;  // per window group, bit sfb; kept from the previous frame
    std::uint8_t last_sect_cb;
    std::uint16_t sect_band;
    std::uint16_t sect_len;
    std::array<std::uint8_t, kFramesKept> window_sequence;
    std::uint8_t cur;
    std::uint8_t last_band_zero;  // the band coded before in this frame: 0 not all zero, 1 all zero, 2 none
    std::int8_t last_sf_diff;  // the previous band's difference in this frame
    std::uint8_t last_sf_residual;  // the previous band's difference from its partner, kSfResidual (version 4 on)
    // The second channel of a pair (version 4 on): how often lately a step was nearer the one
    // that lands on the partner's value than zero (each band +1 or -1, kept within a bound).
    // Encoders that give both channels the same scale factors make it climb, and the channel
    // codes differences from its partner while it is not negative.
    std::int8_t sf_partner_score;
    std::uint16_t last_escape;  // the magnitude of the last line of this frame that escaped, 0 none
};

inline unsigned prev_frame(const ChannelHistory& h) { return (h.cur + kFramesKept - 1u) % kFramesKept; }
inline unsigned prev2_frame(const ChannelHistory& h) { return (h.cur + kFramesKept - 2u) % kFramesKept; }

// The factor (in 1/256) that brings magnitudes of band `band` in frame `from` to this frame's
// quantiser: a scale factor one step higher divides the magnitudes by 2^(3/16).
inline unsigned rescale_factor(const ChannelHistory& h, unsigned band, unsigned from) {
    if (h.sf_kind[h.cur][band] != SF_SCALE + 1 || h.sf_kind[from][band] != SF_SCALE + 1) return 256;
    static constexpr std::uint16_t kPow2Sixteenth[16] = {256, 267, 279, 291, 304, 317, 331, 345,
                                                         362, 378, 394, 411, 431, 449, 470, 490};
    int e = -3 * (h.sf_abs[h.cur][band] - h.sf_abs[from][band]);
    e = e < -96 ? -96 : e > 96 ? 96 : e;
    const int whole = (e >= 0 ? e : e - 15) / 16;  // floor
    const unsigned frac = static_cast<unsigned>(e - 16 * whole);
    return whole >= 0 ? kPow2Sixteenth[frac] << whole : kPow2Sixteenth[frac] >> -whole;
}

// The largest magnitude a line coded with codebook cb can have before an escape.
constexpr unsigned magnitude_top(int cb) {
    return cb == ESC_HCB ? 16u : book_max_magnitude(cb) > 0 ? static_cast<unsigned>(book_max_magnitude(cb)) : 1u;
}

constexpr unsigned bucket_of(unsigned x) {
    if (x < 4) return x;
    if (x < 6) return 4;
    if (x < 8) return 5;
    if (x < 12) return 6;
    if (x < 16) return 7;
    if (x < 24) return 8;
    if (x < 32) return 9;
    if (x < 64) return 10;
    return 11;
}
struct BucketTable {
    std::uint8_t v[64];
};
constexpr BucketTable make_bucket_table() {
    BucketTable t{};
    for (unsigned x = 0; x < 64; ++x) t.v[x] = static_cast<std::uint8_t>(bucket_of(x));
    return t;
}
inline constexpr BucketTable kBucket = make_bucket_table();
// Three contexts a line take a bucket: a lookup instead of a chain of compares.
inline unsigned bucket(unsigned x) { return x < 64 ? kBucket.v[x] : 11u; }

inline unsigned history_slot(unsigned slot) { return clamp_index(slot, kHistorySlots); }

// A channel's history in a model, zeroed when the chunk first meets its slot.
template <class Model>
inline ChannelHistory& history_of(Model& m, unsigned slot) {
    return entry(m.history, history_slot(slot + m.fields.slot_base));
}

// The first channel of a common-window pair, when `slot` is the second one and has its own history.
template <class Model>
inline const ChannelHistory* partner_of(Model& m, unsigned slot, int pair_slot) {
    if (pair_slot < 0) return nullptr;
    const unsigned base = m.fields.slot_base;
    const unsigned other = history_slot(static_cast<unsigned>(pair_slot) + base);
    return other != history_slot(slot + base) ? &entry(m.history, other) : nullptr;
}
template <class Model>
inline const ChannelHistory* partner_of(Model& m, const BandPos& pos) {
    return partner_of(m, pos.slot, pos.pair_slot);
}

inline unsigned band_index(unsigned g, unsigned sfb) { return (g * kPackMaxBands + sfb) % (8 * kPackMaxBands); }
inline unsigned band_index(const BandPos& pos) { return band_index(pos.g, pos.sfb); }

// A scale-factor step d brought into -r..r, as an index 0..2r.
constexpr unsigned step_index(int d, int r) { return static_cast<unsigned>((d < -r ? -r : d > r ? r : d) + r); }

constexpr unsigned sf_book(unsigned cb) {
    return cb == ZERO_HCB ? 0u : cb <= ESC_HCB ? (cb + 1u) / 2u : kSfBooks - 1u;
}
