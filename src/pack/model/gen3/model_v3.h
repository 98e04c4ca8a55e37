// The models of format versions 2 and 3: every chunk starts them from nothing. Frozen: the
// files those versions wrote are decoded by exactly this, so nothing here changes again (a
// later generation is a folder of its own). The frame walk, the fields, bytes and units, and
// what the generations share of sections, scale factors and lines are in model/.
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

namespace gen3 {

constexpr unsigned kSfExpected = 10;  // expected step -4..4, 9 = unknown
constexpr unsigned kSfBefore = 8;     // the band's step in the previous frame -3..3, 7 = unknown
constexpr unsigned kSfTreeBits = 7;   // a scale-factor codeword index 0..120
constexpr unsigned kEscapeContexts = 16;

using SfTree = BitTree<kSfTreeBits>;

// Everything the lines of one codebook are coded with, set up when a chunk first codes a band
// with that codebook.
struct LineBook {
    // "Every line of this band is zero" by the band before in this frame, the same band in the
    // previous frame and in a pair's partner (each a kFlagViews).
    Table<Bit, kFlagViews, kFlagViews, kFlagViews> band_zero;
    // Zero flags of quiet lines: three views mixed and refined by an Apm: the exact small
    // magnitudes of the nearest lines, the pair partner's line, and the line two frames back
    // (with the previous frame's).
    Table<Bit, kFineBefore, kFinePrev, kFineSide, kFineSide> zero_fine;  // [before][prev][prev right][prev left]
    Table<Bit, kPairLine, kPairNext, kPairBefore> zero_pair;
    Table<Bit, kNearBuckets, kNearBuckets> zero_prev2;  // [two frames back][previous frame]
    Table<Mixer<3>, kMixViews> zero_mix;
    Table<Apm, kNearBuckets> zero_apm;  // by the neighbourhood
    // Magnitudes as one symbol, up to the codebook's largest (16 for an escape), by the nearest
    // lines of this frame and the rescaled previous frame: `magnitude` for non-zero quiet lines
    // (the symbol is the magnitude less one), `joint` (zero included) for loud ones.
    Table<SymbolModel, kNearBuckets, kNearBuckets> magnitude;  // [near][previous frame]
    Table<SymbolModel, kNearBuckets, kNearBuckets> joint;
    // Signs of a common-window pair's second channel, by mid/side and the first channel's sign.
    Table<Bit, kTwoWays, kTwoWays> sign_pair;
    explicit LineBook(unsigned cb) {
        SymbolModel start;
        start_symbols(start, magnitude_top(static_cast<int>(cb)));
        for (auto& by_near : magnitude)
            for (SymbolModel& sm : by_near) sm = start;
        start_symbols(start, magnitude_top(static_cast<int>(cb)) + 1);
        for (auto& by_near : joint)
            for (SymbolModel& sm : by_near) sm = start;
    }
};

struct Model {
    using LineBook = gen3::LineBook;
    FieldModels fields;
    // Sections: the codebook by the band's codebook in the previous frame [0] and in a pair's
    // partner [1], each with the previous section's, mixed; length increments by how far the
    // previous frame's codebook run reaches.
    LazyTable<BitTree<kSectCbBits>, kTwoWays, kSectCbs, kSectCbs> sect_cb;  // [view][band's codebook there][previous section's]
    LazyTable<BitTree<kSectLenBits>, kTwoWays, kSectLenExpected> sect_len;  // [short windows][expected]
    Table<Mixer<2>, kSectCbBits> sect_cb_mix;
    // ms_used by the band's flag in the previous frame and the band before's in this one.
    Table<Bit, kBandClasses, kTwoWays, kFlagViews> ms_used;  // [class][previous frame][band before]
    // Scale-factor codeword indices: three views mixed, the expected step with the band's step
    // in the previous frame, the band position, and a pair partner's step at the band; each
    // also sees the step of the band before.
    LazyTable<SfTree, SF_KINDS, kSfBefore, kSfExpected> sf_before;  // [kind][before][expected]
    LazyTable<SfTree, SF_KINDS, kBandClasses, kSfLastStep> sf_band;  // [kind][class][last step]
    LazyTable<SfTree, SF_KINDS, kSfExpected, kSfLastStep> sf_pair;  // [kind][partner][last step]
    Table<Mixer<3>, SF_KINDS, kSfTreeBits> sf_mix;
    LazyTable<LineBook, kLineBooks> line_book;
    Table<UintModel, kEscapeContexts> escape;  // by the neighbourhood's bit length
    LazyTable<ChannelHistory, kHistorySlots> history;  // started zeroed
    ByteModels bytes;
    UnitModels units;
    // Made per chunk: the large tables are set up entry by entry when first used, never zeroed whole.
    Model() {}
};

}  // namespace gen3

// ---------------------------------------------------------------------------------------------
// The decisions of this generation, as the shared walk asks for them.

template <class Coder>
std::uint32_t code_sect_cb_bits(Coder& rc, gen3::Model& m, const SectCbContext& c, std::uint32_t cb) {
    BitTree<kSectCbBits>& by_before = entry(m.sect_cb, 0, c.before, c.last);
    BitTree<kSectCbBits>& by_partner = entry(m.sect_cb, 1, c.partner, c.last);
    std::uint32_t node = 1;
    for (unsigned i = kSectCbBits; i-- > 0;) {
        Bit* inputs[2] = {&by_before.b[node], &by_partner.b[node]};
        node = (node << 1) | code_mixed<2>(rc, m.sect_cb_mix[kSectCbBits - 1 - i], inputs, (cb >> i) & 1u);
    }
    return node - (1u << kSectCbBits);
}

template <class Coder>
std::uint32_t code_sect_len_bits(Coder& rc, gen3::Model& m, const SectLenContext& c, std::uint32_t incr) {
    return code_bits_tree(rc, entry(m.sect_len, c.short_windows ? 1 : 0, c.expected).b, incr, c.n);
}

// The codeword index as a bit tree, three views mixed.
template <class Coder>
std::uint32_t code_scale_factor(Coder& rc, gen3::Model& m, SfKind kind, SfContext& c, const SfSide& s,
                                std::uint32_t index) {
    using namespace gen3;
    c.before = s.prev_has ? step_index(s.h.sf_diff[s.prev][s.band], 3) : kSfBefore - 1;
    c.partner = s.partner_has ? step_index(s.o->sf_diff[s.o->cur][s.band], 4) : kSfExpected - 1;
    const unsigned expected = c.expected_known ? step_index(c.expected, 4) : kSfExpected - 1;
    SfTree& tree_b = entry(m.sf_before, kind, c.before, expected);
    SfTree& tree_c = entry(m.sf_band, kind, c.band_class, c.last_step);
    SfTree& tree_d = entry(m.sf_pair, kind, c.partner, c.last_step);
    std::uint32_t node = 1;
    for (unsigned i = kSfTreeBits; i-- > 0;) {
        Bit* inputs[3] = {&tree_b.b[node], &tree_c.b[node], &tree_d.b[node]};
        node = (node << 1) | code_mixed<3>(rc, m.sf_mix[kind][kSfTreeBits - 1 - i], inputs, (index >> i) & 1u);
    }
    return node - (1u << kSfTreeBits);
}

inline void after_scale_factor(gen3::Model&, ChannelHistory&, const SfContext&, int, bool) {}

inline void choose_band_tables(gen3::Model&, BandContext<gen3::LineBook>& c, const LineRun&) {
    gen3::LineBook& b = *c.book;
    c.magnitude = &b.magnitude;
    c.joint = &b.joint;
    c.zero_apm = &b.zero_apm;
    c.zero_mix = &b.zero_mix[c.mix_ctx];
    c.zero_mix_stride = 0;
}

// An escape by the bit length of its neighbourhood (the line before and the previous frame's).
template <class Coder>
std::uint32_t code_escape_value(CoderIo<gen3::Model, Coder>& io, const BandContext<gen3::LineBook>& c,
                                const LineContext& l, unsigned k, std::uint32_t v) {
    const unsigned size = bit_length(l.q1 + static_cast<unsigned>(c.prev[k]));
    return code_uint(*io.rc, io.m->escape[clamp_index(size, gen3::kEscapeContexts)], v);
}
