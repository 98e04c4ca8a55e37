// The models of format version 4: every chunk starts them from a state trained offline
// (trained_state.h), and their contexts are the finer ones such a start makes affordable:
// sections by the band's place and codebook, scale-factor steps as unary decisions mixed from
// four views (or differences from a pair partner's), magnitudes by the band's place, the zero
// flag's mixers by the neighbourhood, escapes by their bit length. Frozen: the files version 4
// wrote are decoded by exactly this, so nothing here changes again (a later generation is a
// folder of its own). The frame walk, the fields, bytes and units, and what the generations
// share of sections, scale factors and lines are in model/.
#pragma once

#include <cstdint>

#include "pack/model/adaptive.h"
#include "pack/model/channel_history.h"
#include "pack/model/common_models.h"
#include "pack/model/context_table.h"
#include "pack/model/frame_io.h"
#include "pack/model/line_coding.h"
#include "pack/model/section_coding.h"
#include "pack/model/sf_coding.h"

namespace gen4 {

constexpr unsigned kMagPlaces = 6;  // a band's place: long windows by twelve bands (0..3), short by eight (4, 5)
// Escapes: the escape value (the magnitude less 16, below 2^16) as its bit length, one symbol
// by the bit length of the neighbourhood, the last escape of this frame and the window shapes;
// then the two bits below its leading one in a tree by the neighbourhood and the length, the
// rest direct.
constexpr unsigned kEscapeLengths = 17;   // bit length of the escape value, 0..16
constexpr unsigned kEscapeShapes = 4;     // short windows or long, previous frame seen or not
constexpr unsigned kEscapeNear = 16;      // bit length of the neighbourhood, 0..15
constexpr unsigned kEscapeBefore = 13;    // 0 no escape before in this frame, else its value's bit length less 4
constexpr unsigned kEscapeTreeBits = 2;   // adaptive bits below the leading one
constexpr unsigned kSectBandClasses = 52;  // a section's first band (the last takes the rest)
// A scale-factor step is coded as zero?, its sign, then its magnitude less one in unary up to
// kSfUnary decisions, a longer one finished by an exact escape. Each decision is one slot of a
// SfSteps: 0 zero, 1 sign, then the unary positions of a positive and of a negative step. The
// second channel of a pair codes, where its partner has a value at the band, the difference from
// the step that lands on the partner's value instead of the step.
constexpr unsigned kSfUnary = 14;
constexpr unsigned kSfSlots = 2 + 2 * kSfUnary;
constexpr unsigned kSfExpectedWide = 22;  // expected step -10..10, 21 = unknown
constexpr unsigned kSfTwoBack = 14;       // the step landing on the band's value two frames back -6..6, 13 = unknown
constexpr unsigned kSfLastWide = 13;      // the step of the band before -6..6
constexpr unsigned kSfNear = 9;           // a step -4..4
constexpr unsigned kSfStepViews = 4;
constexpr int kSfPartnerScore = 16;

using SfSteps = Ctx<Bit, kSfSlots>;

// Everything the lines of one codebook are coded with, set up (from the trained state, when
// it has the codebook) when a chunk first codes a band with that codebook.
struct LineBook {
    // "Every line of this band is zero" by the band before in this frame, the same band in the
    // previous frame and in a pair's partner (each a kFlagViews).
    Table<Bit, kFlagViews, kFlagViews, kFlagViews> band_zero;
    // Zero flags of quiet lines: three views mixed and refined by an Apm: the exact small
    // magnitudes of the nearest lines, the pair partner's line, and the line two frames back
    // (with the previous frame's). The views are weighed per neighbourhood bucket, and the
    // refinement is kept by the band's place.
    Table<Bit, kFineBefore, kFinePrev, kFineSide, kFineSide> zero_fine;  // [before][prev][prev right][prev left]
    Table<Bit, kPairLine, kPairNext, kPairBefore> zero_pair;
    Table<Bit, kNearBuckets, kNearBuckets> zero_prev2;  // [two frames back][previous frame]
    Table<Mixer<3>, kMixViews, kNearBuckets> zero_mix_near;
    // Magnitudes as one symbol, up to the codebook's largest (16 for an escape), by the band's
    // place and the nearest lines of this frame and the rescaled previous frame: `magnitude_at`
    // for non-zero quiet lines (the symbol is the magnitude less one), `joint_at` (zero
    // included) for loud ones.
    Table<SymbolModel, kMagPlaces, kNearBuckets, kNearBuckets> magnitude_at;  // [place][near][previous frame]
    Table<SymbolModel, kMagPlaces, kNearBuckets, kNearBuckets> joint_at;
    Table<Apm, kMagPlaces, kNearBuckets> zero_apm_at;
    // Signs of a common-window pair's second channel, by mid/side and the first channel's sign.
    Table<Bit, kTwoWays, kTwoWays> sign_pair;
    explicit LineBook(unsigned cb) {
        SymbolModel start;
        start_symbols(start, magnitude_top(static_cast<int>(cb)));
        for (auto& at : magnitude_at)
            for (auto& by_near : at)
                for (SymbolModel& sm : by_near) sm = start;
        start_symbols(start, magnitude_top(static_cast<int>(cb)) + 1);
        for (auto& at : joint_at)
            for (auto& by_near : at)
                for (SymbolModel& sm : by_near) sm = start;
    }
};

// The bit length of an escape value, as one symbol.
struct EscapeLength {
    SymbolModel length;
    EscapeLength() { start_symbols(length, kEscapeLengths); }
};

struct Model {
    using LineBook = gen4::LineBook;
    FieldModels fields;
    // Sections: the codebook mixed from three views, the band's codebook in the previous frame
    // and in a pair's partner (each with the previous section's), and the band's position with
    // the band's codebook in the previous frame; length increments by how far the previous
    // frame's codebook run reaches and by the band's position, each with the codebook, mixed.
    LazyTable<BitTree<kSectCbBits>, kTwoWays, kSectCbs, kSectCbs> sect_cb;  // [view][band's codebook there][previous section's]
    LazyTable<BitTree<kSectCbBits>, kSectBandClasses, kSectCbs> sect_cb_band;  // [band class][previous section's]
    Table<Mixer<3>, kSectCbBits> sect_cb_mix3;
    LazyTable<BitTree<kSectLenBits>, kTwoWays, kSectLenExpected, kSectCbs> sect_len_cb;  // [short][expected][codebook]
    LazyTable<BitTree<kSectLenBits>, kTwoWays, kSectBandClasses, kSectCbs> sect_len_band;  // [short][band class][codebook]
    Table<Mixer<2>, kSectLenBits> sect_len_mix;
    // ms_used by the band's flag in the previous frame and the band before's in this one.
    Table<Bit, kBandClasses, kTwoWays, kFlagViews> ms_used;  // [class][previous frame][band before]
    // Scale-factor steps: the expected step with the band's codebook in this and the previous
    // frame, the step before with the codebooks of its band and this one, the expected step
    // with the one that lands on the band's value two frames back, the expected step with the
    // step before and the band position; mixed by slot and whether the expected step is known.
    LazyTable<SfSteps, SF_KINDS, kSfExpectedWide, kSfBooks, kSfBooks> sfs_expected;
    LazyTable<SfSteps, SF_KINDS, kSfLastWide, kSfBooks, kSfBooks> sfs_last;
    LazyTable<SfSteps, SF_KINDS, kSfExpectedWide, kSfTwoBack> sfs_two_back;
    LazyTable<SfSteps, SF_KINDS, kSfExpectedWide, kSfLastStep, kBandClasses> sfs_band;
    // Differences from the partner: the expected step against the partner's with the codebooks
    // of both channels, the band before's difference with the codebooks, the step before with
    // the partner's and the codebook, the expected step's and the band before's differences
    // with the position.
    LazyTable<SfSteps, SF_KINDS, kSfExpectedWide, kSfBooks, kSfBooks> sfr_expected;
    LazyTable<SfSteps, SF_KINDS, kSfResidual, kSfBooks, kSfBooks> sfr_last;
    LazyTable<SfSteps, SF_KINDS, kSfNear, kSfNear, kSfBooks> sfr_partner;
    LazyTable<SfSteps, SF_KINDS, kSfExpectedWide, kSfResidual, kBandClasses> sfr_band;
    Table<Mixer<kSfStepViews>, kTwoWays, SF_KINDS, kTwoWays, kSfSlots> sfs_mix;  // [difference][kind][expected known][slot]
    Table<UintModel, kTwoWays, SF_KINDS> sfs_escape;
    LazyTable<LineBook, kLineBooks> line_book;
    LazyTable<EscapeLength, kEscapeShapes, kEscapeBefore, kEscapeNear> escape_length;  // [shape][before][near]
    Table<BitTree<kEscapeTreeBits>, kEscapeNear, kEscapeLengths> escape_mantissa;  // [near][bit length]
    LazyTable<ChannelHistory, kHistorySlots> history;  // started zeroed
    ByteModels bytes;
    UnitModels units;
    // Made per chunk: the large tables are set up entry by entry when first used, never zeroed whole.
    Model() {}
};

// A step, or a difference from the partner's step, as zero?, sign and magnitude in unary,
// every decision mixed from the four views. False when the decoded magnitude exceeds `limit`
// (the encoder's never does).
template <class Coder>
bool code_sf_value(Coder& rc, Model& m, SfKind kind, const SfContext& c, int& value, unsigned limit) {
    const unsigned relative = c.partner_known ? 1u : 0u;
    constexpr int kExpectedReach = (kSfExpectedWide - 2) / 2;
    const unsigned expected = c.expected_known ? step_index(c.expected, kExpectedReach) : kSfExpectedWide - 1;
    SfSteps* views[kSfStepViews];
    if (relative) {
        const unsigned against = c.expected_known ? step_index(c.expected - c.partner_land, kExpectedReach) : kSfExpectedWide - 1;
        constexpr int kNearReach = (kSfNear - 1) / 2;
        views[0] = &entry(m.sfr_expected, kind, against, c.book, c.partner_book);
        views[1] = &entry(m.sfr_last, kind, c.last_residual, c.book, c.last_book);
        views[2] = &entry(m.sfr_partner, kind, step_index(c.last_diff, kNearReach), step_index(c.partner_land, kNearReach), c.book);
        views[3] = &entry(m.sfr_band, kind, against, c.last_residual, c.band_class);
    } else {
        views[0] = &entry(m.sfs_expected, kind, expected, c.book, c.prev_book);
        views[1] = &entry(m.sfs_last, kind, step_index(c.last_diff, (kSfLastWide - 1) / 2), c.book, c.last_book);
        views[2] = &entry(m.sfs_two_back, kind, expected, c.two_back);
        views[3] = &entry(m.sfs_band, kind, expected, c.last_step, c.band_class);
    }
    Ctx<Mixer<kSfStepViews>, kSfSlots>& mixers = m.sfs_mix[relative][kind][c.expected_known ? 1 : 0];
    const auto decide = [&](unsigned slot, unsigned bit) {
        Bit* inputs[kSfStepViews] = {&(*views[0])[slot], &(*views[1])[slot], &(*views[2])[slot], &(*views[3])[slot]};
        return code_mixed<kSfStepViews>(rc, mixers[slot], inputs, bit);
    };
    const int v = value;
    if (!decide(0, v != 0 ? 1u : 0u)) {
        value = 0;
        return true;
    }
    const unsigned negative = decide(1, v < 0 ? 1u : 0u);
    const std::uint32_t mag = v < 0 ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v);  // the encoder's
    const unsigned base = 2 + negative * kSfUnary;
    std::uint32_t coded = 1;
    while (coded <= kSfUnary && decide(base + coded - 1, mag > coded ? 1u : 0u)) ++coded;
    if (coded > kSfUnary) {
        const std::uint32_t rest = code_uint(rc, m.sfs_escape[relative][kind], mag - coded);
        if (rest > limit) return false;
        coded += rest;
    }
    if (coded > limit) return false;
    value = negative ? -static_cast<int>(coded) : static_cast<int>(coded);
    return true;
}

template <class Coder>
std::uint32_t code_sf_step(Coder& rc, Model& m, SfKind kind, const SfContext& c, std::uint32_t index) {
    constexpr std::uint32_t kNoIndex = 2 * kSfMaxStep + 1;
    const int base = c.partner_known ? c.partner_land : 0;
    int value = static_cast<int>(index) - static_cast<int>(kSfMaxStep) - base;
    const unsigned limit = kSfMaxStep + static_cast<unsigned>(base < 0 ? -base : base);
    if (!code_sf_value(rc, m, kind, c, value, limit)) return kNoIndex;
    const int d = value + base;
    if (d < -static_cast<int>(kSfMaxStep) || d > static_cast<int>(kSfMaxStep)) return kNoIndex;
    return static_cast<std::uint32_t>(d + static_cast<int>(kSfMaxStep));
}

}  // namespace gen4

// ---------------------------------------------------------------------------------------------
// The decisions of this generation, as the shared walk asks for them.

template <class Coder>
std::uint32_t code_sect_cb_bits(Coder& rc, gen4::Model& m, const SectCbContext& c, std::uint32_t cb) {
    BitTree<kSectCbBits>& by_before = entry(m.sect_cb, 0, c.before, c.last);
    BitTree<kSectCbBits>& by_partner = entry(m.sect_cb, 1, c.partner, c.last);
    BitTree<kSectCbBits>& by_band = entry(m.sect_cb_band, clamp_index(c.sfb, gen4::kSectBandClasses), c.before);
    std::uint32_t node = 1;
    for (unsigned i = kSectCbBits; i-- > 0;) {
        Bit* inputs[3] = {&by_before.b[node], &by_partner.b[node], &by_band.b[node]};
        node = (node << 1) | code_mixed<3>(rc, m.sect_cb_mix3[kSectCbBits - 1 - i], inputs, (cb >> i) & 1u);
    }
    return node - (1u << kSectCbBits);
}

template <class Coder>
std::uint32_t code_sect_len_bits(Coder& rc, gen4::Model& m, const SectLenContext& c, std::uint32_t incr) {
    const unsigned w = c.short_windows ? 1 : 0;
    const unsigned book = clamp_index(c.cb, kSectCbs);
    BitTree<kSectLenBits>& by_expected = entry(m.sect_len_cb, w, c.expected, book);
    BitTree<kSectLenBits>& by_band = entry(m.sect_len_band, w, clamp_index(c.sfb, gen4::kSectBandClasses), book);
    const unsigned n = c.n;
    std::uint32_t node = 1;
    for (unsigned i = n; i-- > 0;) {
        Bit* inputs[2] = {&by_expected.b[node], &by_band.b[node]};
        node = (node << 1) | code_mixed<2>(rc, m.sect_len_mix[n - 1 - i], inputs, (incr >> i) & 1u);
    }
    return node - (1u << n);
}

// The step, or its difference from the partner's while the channel's steps have lately been
// nearer that than zero, in context of the codebooks around the band and two frames back.
template <class Coder>
std::uint32_t code_scale_factor(Coder& rc, gen4::Model& m, SfKind kind, SfContext& c, const SfSide& s,
                                std::uint32_t index) {
    const ChannelHistory& h = s.h;
    c.partner_known = s.partner_has && h.sf_partner_score >= 0;
    c.book = sf_book(h.band_cb[h.cur][s.band]);
    c.prev_book = s.prev_has ? sf_book(h.band_cb[s.prev][s.band]) : 0u;
    c.last_book = s.sfb > 0 ? sf_book(h.band_cb[h.cur][s.band - 1]) : 0u;
    c.partner_book = s.o != nullptr ? sf_book(s.o->band_cb[s.o->cur][s.band]) : 0u;
    const unsigned back2 = prev2_frame(h);
    c.two_back = h.sf_kind[back2][s.band] == kind + 1
                     ? step_index(h.sf_abs[back2][s.band] - h.sf_running[kind], (gen4::kSfTwoBack - 2) / 2)
                     : gen4::kSfTwoBack - 1;
    return gen4::code_sf_step(rc, m, kind, c, index);
}

// The second channel of a pair learns whether its steps follow its partner's.
inline void after_scale_factor(gen4::Model&, ChannelHistory& h, const SfContext& c, int d, bool partner_has) {
    if (!partner_has) return;
    const int from_zero = d < 0 ? -d : d;
    const int from_partner = d > c.partner_land ? d - c.partner_land : c.partner_land - d;
    const int score = h.sf_partner_score + (from_partner < from_zero ? 1 : from_partner > from_zero ? -1 : 0);
    h.sf_partner_score = static_cast<std::int8_t>(score > gen4::kSfPartnerScore    ? gen4::kSfPartnerScore
                                                  : score < -gen4::kSfPartnerScore ? -gen4::kSfPartnerScore
                                                                                   : score);
}

// The band's tables by its place in the spectrum, and a pair's partner in the neighbourhood.
inline void choose_band_tables(gen4::Model&, BandContext<gen4::LineBook>& c, const LineRun& run) {
    gen4::LineBook& b = *c.book;
    c.other_near = c.other;
    c.place = run.short_windows ? 4u + (run.sfb >= 8 ? 1u : 0u) : clamp_index(run.sfb / 12u, 4);
    c.magnitude = &b.magnitude_at[c.place];
    c.joint = &b.joint_at[c.place];
    c.zero_apm = &b.zero_apm_at[c.place];
    c.zero_mix = b.zero_mix_near[c.mix_ctx].data();
    c.zero_mix_stride = 1;
}

// The escape value v (the magnitude less 16) of line k. An escape is
// loud among loud lines: its neighbourhood's size (this frame's lines, the partner's and the previous frame's
// together) and the escape before it tell its length; the bits under the length's top are
// nearly even, all but the first two. Mixing two views of each unary length decision saved as
// much as the symbol does for several times its time; escapes are rare enough to be coded out
// of line.
template <class Coder>
[[gnu::noinline]] std::uint32_t code_escape_value(CoderIo<gen4::Model, Coder>& io, const BandContext<gen4::LineBook>& c,
                                                  const LineContext& l, unsigned k, std::uint32_t v) {
    using namespace gen4;
    const unsigned q2 = k >= 2 ? c.q[k - 2] : 0u;
    const unsigned near = clamp_index(bit_length(2u * l.q1 + q2 + 2u * l.p0 + l.pl + l.pr + l.partner), kEscapeNear);
    const unsigned before = bit_length(c.h->last_escape >> 4u);
    const unsigned len = bit_length(v);
    if constexpr (!CoderIo<gen4::Model, Coder>::kDecoding) {
        if (len >= kEscapeLengths) {  // past the largest escape
            fail(io, PACK_NOT_DESCRIBED);
            return 0;
        }
    }
    const unsigned shape = (c.prev_ok ? 1u : 0u) + (c.short_windows ? 2u : 0u);
    SymbolModel& lengths = entry(io.m->escape_length, shape, clamp_index(before, kEscapeBefore), near).length;
    const unsigned n = code_symbol(*io.rc, lengths, len);
    if (n == 0) return 0;
    const unsigned below = n - 1;  // bits under the leading one
    const unsigned tree_bits = below < kEscapeTreeBits ? below : kEscapeTreeBits;
    std::uint32_t node = 1;
    for (unsigned i = 0; i < tree_bits; ++i)
        node = (node << 1) | code_bit(*io.rc, io.m->escape_mantissa[near][n].b[node], (v >> (below - 1 - i)) & 1u);
    const unsigned rest = below - tree_bits;
    std::uint32_t value = node;  // the leading one and the bits the tree coded
    if (rest > 0) value = (value << rest) | code_direct(*io.rc, v & ((1u << rest) - 1u), rest);
    return value;
}

