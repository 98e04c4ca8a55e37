// The context models of the packed form and the coding Io of the frame syntax walk: every
// value of a frame record goes through an adaptive model whose context is built only from what
// the decoder has already seen (earlier values of this frame, the previous frame of the same
// channel, the partner channel of a common-window pair). The encoding Io takes the values from
// a parsed record; the decoding Io reads them from the range decoder and writes the frame's
// bits through the sink it holds as it goes, which is also how it knows where byte alignment
// falls.
//
// A model starts in one state for every chunk (model_priors.h says which). Its large tables are
// LazyTables whose entries are set up on first use, so a chunk of a few small frames does not pay
// for contexts it never reaches. What a model codes may depend on the format version it codes
// for (FrameModel::version): a file of an earlier version is decoded as it was coded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "pack/frame/adts_frame.h"
#include "pack/model/context_table.h"
#include "pack/frame/frame_record.h"
#include "pack/frame/frame_syntax.h"
#include "pack/format/pack_stats.h"
#include "pack/coder/range_coder.h"
#include "aac/bit_sink.h"
#include "aac/spectral_codec.h"

// The first format version whose chunks start from a trained state and code with the models
// that came with it; files of earlier versions are decoded with the models they were coded with.
constexpr unsigned kWarmModelVersion = 4;

constexpr unsigned kFramesKept = 3;     // this frame and the two before it, per channel
constexpr unsigned kHistorySlots = 16;  // channels with a history of their own; later ones share the last
constexpr unsigned kNearBuckets = 13;   // 0..11 from magnitudes, 12 = no such context
constexpr unsigned kNoContext = kNearBuckets - 1;
// From this neighbourhood bucket on (the two lines before weigh 3 or more) a line's magnitude,
// zero included, is one symbol; quieter lines first ask "zero?" with several views mixed. Loud
// lines are rarely zero, and the mixed question cost more time there than it saved bits.
constexpr unsigned kLoudNear = 3;
constexpr unsigned kEscapeContexts = 16;
constexpr unsigned kMagPlaces = 6;  // a band's place: long windows by twelve bands (0..3), short by eight (4, 5)
// Escapes from format version 4 on: the escape value (the magnitude less 16, below 2^16) as its
// bit length, one symbol by the bit length of the neighbourhood, the last escape of this frame
// and the window shapes; then the two bits below its leading one in a tree by the neighbourhood
// and the length, the rest direct.
constexpr unsigned kEscapeLengths = 17;   // bit length of the escape value, 0..16
constexpr unsigned kEscapeShapes = 4;     // short windows or long, previous frame seen or not
constexpr unsigned kEscapeNear = 16;      // bit length of the neighbourhood, 0..15
constexpr unsigned kEscapeBefore = 13;    // 0 no escape before in this frame, else its value's bit length less 4
constexpr unsigned kEscapeTreeBits = 2;   // adaptive bits below the leading one
constexpr unsigned kBandClasses = 8;     // a band's position: six bands a class
constexpr unsigned kLineBooks = ESC_HCB + 1;  // codebooks 0..11, those that carry lines
constexpr unsigned kSectCbs = 17;        // a section codebook 0..15, 16 = none
constexpr unsigned kSectLenExpected = 33;  // expected length increment 0..31, 32 = none
constexpr unsigned kSectBandClasses = 52;  // a section's first band (the last takes the rest)
constexpr unsigned kFlagViews = 3;       // a flag elsewhere: 0 not set, 1 set, 2 unknown
constexpr unsigned kTwoWays = 2;         // a yes/no context: long or short windows, left/right or mid/side, ...
constexpr unsigned kSectCbBits = 4;
constexpr unsigned kSectLenBits = 5;     // the widest sect_len field
constexpr unsigned kByteBits = 8;
// Scale-factor steps, each clamped into a window around 0: `r` steps either side, and one more
// entry for "unknown".
constexpr unsigned kSfExpected = 10;  // expected step -4..4, 9 = unknown
constexpr unsigned kSfBefore = 8;     // the band's step in the previous frame -3..3, 7 = unknown
constexpr unsigned kSfLastStep = 5;   // the step of the band before -2..2
constexpr unsigned kSfTreeBits = 7;   // a scale-factor codeword index 0..120
// Version 4 codes the step itself: zero?, its sign, then its magnitude less one in unary up to
// kSfUnary decisions, a longer one finished by an exact escape. Each decision is one slot of a
// SfSteps: 0 zero, 1 sign, then the unary positions of a positive and of a negative step. The
// second channel of a pair codes, where its partner has a value at the band, the difference from
// the step that lands on the partner's value instead of the step.
constexpr unsigned kSfUnary = 14;
constexpr unsigned kSfSlots = 2 + 2 * kSfUnary;
constexpr unsigned kSfMaxStep = 60;       // the codeword index is the step plus 60
constexpr unsigned kSfExpectedWide = 22;  // expected step -10..10, 21 = unknown
constexpr unsigned kSfTwoBack = 14;       // the step landing on the band's value two frames back -6..6, 13 = unknown
constexpr unsigned kSfLastWide = 13;      // the step of the band before -6..6
constexpr unsigned kSfNear = 9;           // a step -4..4
constexpr unsigned kSfResidual = 10;      // the band before's difference from its partner -4..4, 9 = none
constexpr unsigned kSfBooks = 8;          // a band's codebook: 0 none, 1..6 the pairs 1-2 .. 11, 7 noise or intensity
constexpr unsigned kSfStepViews = 4;
constexpr int kSfPartnerScore = 16;
// Zero flags of quiet lines: the exact small magnitudes of the nearest lines, and of the pair
// partner's.
constexpr unsigned kFineBefore = 3;    // the line before, 0..2
constexpr unsigned kFinePrev = 4;      // the line in the previous frame, 0..3
constexpr unsigned kFineSide = 3;      // its neighbours there, 0..2
constexpr unsigned kPairLine = 9;      // 0 lone, 1..4 left/right partner 0..3, 5..8 mid/side
constexpr unsigned kPairNext = 4;      // the partner's next line (a lone channel: two lines back), 0..3
constexpr unsigned kPairBefore = 4;    // the line before, 0..3
constexpr unsigned kMixViews = 3;      // lone, left/right, mid/side

// A plain field: for widths up to 6 a bit tree chosen by the value this field had last time
// in this channel (FrameModel::field_small); wider fields first ask "same as last time?".
constexpr unsigned kSmallFieldBits = 6;
constexpr unsigned kWideFieldBits = 8;  // wider ones, when not the same as last time, are coded direct
constexpr unsigned kFieldLast = 64;     // the last value, modulo 64
struct FieldModel {
    Bit same;
    Ctx<Bit, 1u << kWideFieldBits> wide;
};

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
    std::uint8_t last_sf_residual;  // version 4: the previous band's difference from its partner, kSfResidual
    // Version 4, the second channel of a pair: how often lately a step was nearer the one that
    // lands on the partner's value than zero (each band +1 or -1, kept within kSfPartnerScore).
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

// Everything the lines of one codebook are coded with, set up when a chunk first codes a band
// with that codebook.
struct LineBookModel {
    // "Every line of this band is zero" by the band before in this frame, the same band in the
    // previous frame and in a pair's partner (each a kFlagViews).
    Table<Bit, kFlagViews, kFlagViews, kFlagViews> band_zero;
    // Zero flags of quiet lines: three views mixed and refined by an Apm: the exact small
    // magnitudes of the nearest lines, the pair partner's line, and the line two frames back
    // (with the previous frame's). A broad context of the band's position and one of the
    // neighbourhood buckets with the partner were mixed in as well; they paid 0.1% of size for
    // a third of the mixing cost. Without the two-frames-back view the mean saving was 0.16
    // points lower for 1.5% less time.
    Table<Bit, kFineBefore, kFinePrev, kFineSide, kFineSide> zero_fine;  // [before][prev][prev right][prev left]
    Table<Bit, kPairLine, kPairNext, kPairBefore> zero_pair;
    Table<Bit, kNearBuckets, kNearBuckets> zero_prev2;  // [two frames back][previous frame]
    Table<Mixer<3>, kMixViews> zero_mix;
    Table<Apm, kNearBuckets> zero_apm;  // by the neighbourhood
    // From format version 4 on the zero flag's views are weighed per neighbourhood bucket as well
    // (+0.017 points of mean saving on the bench music).
    Table<Mixer<3>, kMixViews, kNearBuckets> zero_mix_near;
    // Magnitudes as one symbol, up to the codebook's largest (16 for an escape), by the nearest
    // lines of this frame and the rescaled previous frame: `magnitude` for non-zero quiet lines
    // (the symbol is the magnitude less one), `joint` (zero included) for loud ones. The
    // partner's line as a further context spread the counts too thin (0.16 points lower).
    Table<SymbolModel, kNearBuckets, kNearBuckets> magnitude;  // [near][previous frame]
    Table<SymbolModel, kNearBuckets, kNearBuckets> joint;
    // From version 4, the same by the band's place in the spectrum as well: with a trained
    // start, the counts no longer spread too thin for it.
    Table<SymbolModel, kMagPlaces, kNearBuckets, kNearBuckets> magnitude_at;  // [place][near][previous frame]
    Table<SymbolModel, kMagPlaces, kNearBuckets, kNearBuckets> joint_at;
    Table<Apm, kMagPlaces, kNearBuckets> zero_apm_at;  // version 4: the zero flag's map by place too
    // Signs of a common-window pair's second channel, by mid/side and the first channel's sign.
    Table<Bit, kTwoWays, kTwoWays> sign_pair;
    explicit LineBookModel(unsigned cb) {
        SymbolModel start;
        start_symbols(start, magnitude_top(static_cast<int>(cb)));
        for (auto& by_near : magnitude)
            for (SymbolModel& sm : by_near) sm = start;
        for (auto& at : magnitude_at)
            for (auto& by_near : at)
                for (SymbolModel& sm : by_near) sm = start;
        start_symbols(start, magnitude_top(static_cast<int>(cb)) + 1);
        for (auto& by_near : joint)
            for (SymbolModel& sm : by_near) sm = start;
        for (auto& at : joint_at)
            for (auto& by_near : at)
                for (SymbolModel& sm : by_near) sm = start;
    }
};

using SfTree = BitTree<kSfTreeBits>;
using SfSteps = Ctx<Bit, kSfSlots>;

// The bit length of an escape value, as one symbol.
struct EscapeLength {
    SymbolModel length;
    EscapeLength() { start_symbols(length, kEscapeLengths); }
};

struct FrameModel {
    LazyTable<Ctx<Bit, 1u << kSmallFieldBits>, K_FIELD_KINDS, kFieldLast> field_small;  // [kind][last value & 63]
    LazyTable<FieldModel, K_FIELD_KINDS> field;
    Table<std::uint32_t, K_FIELD_KINDS, kHistorySlots> last;
    SintModel global_gain_delta;
    // Sections: the codebook by the band's codebook in the previous frame [0] and in a pair's
    // partner [1], each with the previous section's, mixed; length increments by how far the
    // previous frame's codebook run reaches.
    LazyTable<BitTree<kSectCbBits>, kTwoWays, kSectCbs, kSectCbs> sect_cb;  // [view][band's codebook there][previous section's]
    LazyTable<BitTree<kSectLenBits>, kTwoWays, kSectLenExpected> sect_len;  // [short windows][expected]
    Table<Mixer<2>, kSectCbBits> sect_cb_mix;
    // From version 4: a third view of the codebook, the band's position with the previous
    // section's; lengths by the codebook too, with a second view by the band's position, mixed.
    LazyTable<BitTree<kSectCbBits>, kSectBandClasses, kSectCbs> sect_cb_band;  // [band class][previous section's]
    Table<Mixer<3>, kSectCbBits> sect_cb_mix3;
    LazyTable<BitTree<kSectLenBits>, kTwoWays, kSectLenExpected, kSectCbs> sect_len_cb;  // [short][expected][codebook]
    LazyTable<BitTree<kSectLenBits>, kTwoWays, kSectBandClasses, kSectCbs> sect_len_band;  // [short][band class][codebook]
    Table<Mixer<2>, kSectLenBits> sect_len_mix;
    // ms_used by the band's flag in the previous frame and the band before's in this one.
    Table<Bit, kBandClasses, kTwoWays, kFlagViews> ms_used;  // [class][previous frame][band before]
    // Scale-factor steps: three views mixed, the expected step with the band's step in the
    // previous frame, the band position, and a pair partner's step at the band; each also sees
    // the step of the band before. (The expected step with the band before alone, a fourth
    // view, saved 0.014 points of the mean saving for an eighth of the time spent on scale factors.)
    LazyTable<SfTree, SF_KINDS, kSfBefore, kSfExpected> sf_before;  // [kind][before][expected]
    LazyTable<SfTree, SF_KINDS, kBandClasses, kSfLastStep> sf_band;  // [kind][class][last step]
    LazyTable<SfTree, SF_KINDS, kSfExpected, kSfLastStep> sf_pair;  // [kind][partner][last step]
    Table<Mixer<3>, SF_KINDS, kSfTreeBits> sf_mix;
    // Version 4, steps: the expected step with the band's codebook in this and the previous
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
    LazyTable<LineBookModel, kLineBooks> line_book;
    Table<UintModel, kEscapeContexts> escape;  // up to version 3
    LazyTable<EscapeLength, kEscapeShapes, kEscapeBefore, kEscapeNear> escape_length;  // [shape][before][near]
    Table<BitTree<kEscapeTreeBits>, kEscapeNear, kEscapeLengths> escape_mantissa;  // [near][bit length]
    LazyTable<ChannelHistory, kHistorySlots> history;  // started zeroed
    // Bytes: order-0 and order-1 bit trees per class, mixed.
    LazyTable<Ctx<Bit, 1u << kByteBits>, BYTE_CLASSES, 1u << kByteBits> byte;  // [class][byte before]
    Table<Bit, BYTE_CLASSES, 1u << kByteBits> byte0;
    Table<Mixer<2>, BYTE_CLASSES, kByteBits> byte_mix;
    Table<std::uint8_t, BYTE_CLASSES> last_byte;
    // Units of the chunk.
    Bit unit_is_frame;
    Bit frame_modelled;
    UintModel run_length;
    UintModel raw_frame_length;
    // The track context of an access unit, coded when it differs from the unit before.
    Bit unit_context_same;
    Bit run_is_sizes;
    SintModel sizes_first;
    UintModel sizes_count;
    UintModel unit_object_type;
    UintModel unit_sf_index;
    // The format version whose models these are.
    std::uint16_t version = 0;

    FrameModel() : last{}, last_byte{} {}
};

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

// Forgets the stream a model has coded (channel histories, last values), keeping what it learnt.
inline void clear_stream_state(FrameModel& m) {
    for (std::uint64_t& word : m.history.started) word = 0;
    m.last = {};
    m.last_byte = {};
}

inline unsigned history_slot(unsigned slot) { return clamp_index(slot, kHistorySlots); }
// A channel's history, zeroed when the chunk first meets its slot.
inline ChannelHistory& history_of(FrameModel& m, unsigned slot) { return entry(m.history, history_slot(slot)); }

inline PackFamily family_of(FieldKind kind) {
    if (kind <= K_CRC) return FAMILY_ADTS;
    if (kind <= K_MS_USED) return FAMILY_STRUCTURE;
    if (kind <= K_SF_GROUPING) return FAMILY_ICS_INFO;
    if (kind <= K_LTP_LONG_USED) return FAMILY_TOOLS;
    if (kind <= K_SECT_LEN_SHORT) return FAMILY_SECTIONS;
    if (kind == K_NOISE_PCM) return FAMILY_SCALEFACTORS;
    if (kind <= K_GAIN_CONTROL_PRESENT) return FAMILY_TOOLS;
    if (kind <= K_PCE) return FAMILY_FILL;
    return FAMILY_STRUCTURE;
}

template <class Coder>
std::uint32_t code_bits_tree(Coder& rc, Bit* tree, std::uint32_t value, unsigned n) {
    std::uint32_t m = 1;
    for (unsigned i = n; i-- > 0;) m = (m << 1) | code_bit(rc, tree[m], (value >> i) & 1u);
    return m - (1u << n);
}

template <class Coder>
std::uint32_t code_field_value(Coder& rc, FrameModel& m, std::uint32_t v, unsigned n, FieldKind kind, unsigned slot) {
    std::uint32_t& last = m.last[kind][history_slot(slot)];
    if (kind == K_GLOBAL_GAIN) {
        const std::int32_t d = code_sint(rc, m.global_gain_delta, static_cast<std::int32_t>(v - last));
        v = last + static_cast<std::uint32_t>(d);
    } else if (n <= kSmallFieldBits) {
        v = code_bits_tree(rc, entry(m.field_small, kind, last & (kFieldLast - 1)).data(), v, n);
    } else {
        FieldModel& fm = entry(m.field, kind);
        if (code_bit(rc, fm.same, v == last ? 1u : 0u)) {
            v = last;
        } else if (n <= kWideFieldBits) {
            v = code_bits_tree(rc, fm.wide.data(), v, n);
        } else {
            v = code_direct(rc, v, n);
        }
    }
    last = v;
    return v;
}

template <class Coder>
std::uint8_t code_byte(Coder& rc, FrameModel& m, ByteClass cls, std::uint8_t value) {
    // Order 0 learns fast on compressed bytes, order 1 wins on text; the mixer picks.
    Bit* order1 = entry(m.byte, cls, m.last_byte[cls]).data();
    Bit* order0 = m.byte0[cls].data();
    std::uint32_t node = 1;
    for (unsigned i = 8; i-- > 0;) {
        Bit* inputs[2] = {&order0[node], &order1[node]};
        node = (node << 1) | code_mixed<2>(rc, m.byte_mix[cls][7 - i], inputs, (value >> i) & 1u);
    }
    const auto v = static_cast<std::uint8_t>(node - 256u);
    m.last_byte[cls] = v;
    return v;
}

// ---------------------------------------------------------------------------------------------
// Where the frame's bits go: the decoding coder writes the frame as it decodes (into the
// BitSink it is created over), the encoding coder has the frame already and writes nothing.
// Every hook hands its bits to the sink its Io holds and leaves the rest to these overloads.

template <bool kWrites>
struct FrameSink;
template <>
struct FrameSink<false> {};
template <>
struct FrameSink<true> : BitSink {
    std::array<std::int32_t, kFrameLength> lines;  // the band being decoded
};

inline bool sink_bits(FrameSink<false>&, std::uint32_t, unsigned) { return true; }
inline bool sink_bits(FrameSink<true>& s, std::uint32_t v, unsigned n) { return bitsink_put(s, v, n) == n; }
inline bool sink_scale_factor(FrameSink<false>&, unsigned) { return true; }
inline bool sink_scale_factor(FrameSink<true>& s, unsigned index) { return put_scale_factor_codeword(s, index); }
inline void sink_line(FrameSink<false>&, std::size_t, std::int32_t) {}
inline void sink_line(FrameSink<true>& s, std::size_t i, std::int32_t v) { s.lines[i] = v; }
inline bool sink_zero_lines(FrameSink<false>&, int, std::size_t) { return true; }
inline bool sink_zero_lines(FrameSink<true>& s, int cb, std::size_t count) {
    std::fill_n(s.lines.data(), count, 0);
    return put_decoded_values(s, cb, s.lines.data(), count);
}
inline bool sink_lines(FrameSink<false>&, int, std::size_t) { return true; }
inline bool sink_lines(FrameSink<true>& s, int cb, std::size_t count) {
    return put_decoded_values(s, cb, s.lines.data(), count);
}

template <class Coder>
struct CoderIo {
    static constexpr bool kDecoding = std::is_same<Coder, RangeDecoder>::value;
    Coder* rc = nullptr;
    FrameModel* m = nullptr;
    const FrameRecord* rec = nullptr;  // encoding: the values to code
    RecordCursor cur;
    FrameSink<kDecoding> sink;         // decoding: the frame being written
    PackStats* stats = nullptr;
    std::uint64_t measure = 0;         // coded size where the last charge ended, in bits
    bool failed = false;
};

template <class Coder>
void emit_bits(CoderIo<Coder>& io, std::uint32_t v, unsigned n) {
    if (!sink_bits(io.sink, v, n)) io.failed = true;
}

// Coded size so far: bytes out plus the bytes the encoder still holds, less what the range
// still has room for. Whole bits are enough for diagnostics.
inline std::uint64_t coded_bits(const RangeEncoder& rc) {
    const unsigned range_bits = 32u - static_cast<unsigned>(__builtin_clz(rc.range));  // range is never 0
    return 8 * (rc.out->size() + rc.cache_size) + 32 - range_bits;
}

template <class Coder>
void charge(CoderIo<Coder>& io, PackFamily family) {
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (io.stats == nullptr) return;
        const std::uint64_t now = coded_bits(*io.rc);
        io.stats->bits[family] += now - io.measure;
        io.measure = now;
    } else {
        (void)io;
        (void)family;
    }
}

// The value of the next plain field: the encoder takes it from the record, the decoder learns
// it from the coder. False once the walk has failed or the record has run out.
template <class Coder>
bool take_field(CoderIo<Coder>& io, std::uint32_t& value) {
    if (io.failed) return false;
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (io.cur.field >= io.rec->n_field) {
            io.failed = true;
            return false;
        }
        value = io.rec->field[io.cur.field++];
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The hooks the frame walk calls (frame_syntax.h lists them).

template <class Coder>
std::uint32_t io_field(CoderIo<Coder>& io, unsigned n, FieldKind kind, unsigned slot) {
    std::uint32_t v = 0;
    if (n == 0 || !take_field(io, v)) return 0;
    v = code_field_value(*io.rc, *io.m, v, n, kind, slot);
    if (n < 32 && (v >> n) != 0) {
        io.failed = true;
        return 0;
    }
    emit_bits(io, v, n);
    charge(io, family_of(kind));
    return io.failed ? 0 : v;
}

template <class Coder>
std::uint32_t io_hidden(CoderIo<Coder>& io, unsigned n, FieldKind kind) {
    std::uint32_t v = 0;
    if (!take_field(io, v)) return 0;
    v = code_field_value(*io.rc, *io.m, v, n, kind, 0);
    if ((v >> n) != 0) io.failed = true;
    charge(io, family_of(kind));
    return io.failed ? 0 : v;
}

// Alignment widths are not coded: the encoder has them from the parse, the decoder from the
// position of what it has written.
template <class Coder>
unsigned io_align_width(CoderIo<Coder>& io) {
    if (io.failed) return 0;
    if constexpr (CoderIo<Coder>::kDecoding) {
        return static_cast<unsigned>((8 - (io.sink.bit_position & 7)) & 7);
    } else {
        if (io.cur.field >= io.rec->n_field || io.rec->field[io.cur.field] > 7) {
            io.failed = true;
            return 0;
        }
        return io.rec->field[io.cur.field++];
    }
}

// The frame length is not coded either: the decoder leaves room for it and fills it in at the end.
template <class Coder>
void io_frame_length(CoderIo<Coder>& io) {
    emit_bits(io, 0, 13);
}

template <class Coder>
void io_begin_channel(CoderIo<Coder>& io, unsigned slot, std::uint8_t window_sequence) {
    ChannelHistory& h = history_of(*io.m, slot);
    h.cur = static_cast<std::uint8_t>((h.cur + 1u) % kFramesKept);
    h.q[h.cur].fill(0);
    h.sign.fill(0);
    h.sf_diff[h.cur].fill(0);
    h.sf_kind[h.cur].fill(0);
    h.sf_running.fill(0);
    h.band_cb[h.cur].fill(0);
    h.last_sect_cb = 16;
    h.sf_running[SF_SCALE] = static_cast<std::int16_t>(io.m->last[K_GLOBAL_GAIN][history_slot(slot)]);
    h.window_sequence[h.cur] = window_sequence;
    h.last_sf_diff = 0;
    h.last_sf_residual = kSfResidual - 1;
    h.last_band_zero = 2;
    h.last_escape = 0;
}

inline unsigned band_index(unsigned g, unsigned sfb) { return (g * kPackMaxBands + sfb) % (8 * kPackMaxBands); }
inline unsigned band_index(const BandPos& pos) { return band_index(pos.g, pos.sfb); }

// The first channel of a common-window pair, when `slot` is the second one and has its own history.
inline const ChannelHistory* partner_of(FrameModel& m, unsigned slot, int pair_slot) {
    if (pair_slot < 0) return nullptr;
    const unsigned other = history_slot(static_cast<unsigned>(pair_slot));
    return other != history_slot(slot) ? &history_of(m, other) : nullptr;
}
inline const ChannelHistory* partner_of(FrameModel& m, const BandPos& pos) {
    return partner_of(m, pos.slot, pos.pair_slot);
}

template <class Coder>
std::uint32_t io_sect_cb(CoderIo<Coder>& io, const BandPos& pos) {
    std::uint32_t cb = 0;
    if (!take_field(io, cb)) return 0;
    ChannelHistory& h = history_of(*io.m, pos.slot);
    const unsigned prev = prev_frame(h);
    const bool same_shape = (h.window_sequence[prev] == EIGHT_SHORT_SEQUENCE) ==
                            (h.window_sequence[h.cur] == EIGHT_SHORT_SEQUENCE);
    constexpr unsigned kNone = kSectCbs - 1;
    const unsigned before = same_shape ? h.band_cb[prev][band_index(pos)] : kNone;
    const ChannelHistory* o = partner_of(*io.m, pos);
    const unsigned partner = o != nullptr ? o->band_cb[o->cur][band_index(pos)] : kNone;
    if (pos.sfb == 0) h.last_sect_cb = kNone;
    BitTree<kSectCbBits>& by_before = entry(io.m->sect_cb, 0, before, h.last_sect_cb);
    BitTree<kSectCbBits>& by_partner = entry(io.m->sect_cb, 1, partner, h.last_sect_cb);
    std::uint32_t node = 1;
    if (io.m->version >= kWarmModelVersion) {
        BitTree<kSectCbBits>& by_band =
            entry(io.m->sect_cb_band, clamp_index(pos.sfb, kSectBandClasses), before);
        for (unsigned i = kSectCbBits; i-- > 0;) {
            Bit* inputs[3] = {&by_before.b[node], &by_partner.b[node], &by_band.b[node]};
            node = (node << 1) |
                   code_mixed<3>(*io.rc, io.m->sect_cb_mix3[kSectCbBits - 1 - i], inputs, (cb >> i) & 1u);
        }
    } else {
        for (unsigned i = kSectCbBits; i-- > 0;) {
            Bit* inputs[2] = {&by_before.b[node], &by_partner.b[node]};
            node = (node << 1) |
                   code_mixed<2>(*io.rc, io.m->sect_cb_mix[kSectCbBits - 1 - i], inputs, (cb >> i) & 1u);
        }
    }
    cb = node - (1u << kSectCbBits);
    emit_bits(io, cb, kSectCbBits);
    h.last_sect_cb = static_cast<std::uint8_t>(cb);
    h.sect_band = static_cast<std::uint16_t>(band_index(pos));
    h.sect_len = 0;
    charge(io, FAMILY_SECTIONS);
    return cb;
}

template <class Coder>
std::uint32_t io_ms_used(CoderIo<Coder>& io, const BandPos& pos) {
    std::uint32_t used = 0;
    if (!take_field(io, used)) return 0;
    ChannelHistory& h = history_of(*io.m, pos.slot);
    const unsigned g = pos.g % 8;
    const std::uint64_t bit = std::uint64_t{1} << (pos.sfb % 64);
    const unsigned before = (h.ms_used[g] & bit) ? 1u : 0u;
    const unsigned left = pos.sfb == 0 ? 2u : ((h.ms_used[g] & (bit >> 1)) ? 1u : 0u);
    used = code_bit(*io.rc, io.m->ms_used[clamp_index(pos.sfb / 6u, kBandClasses)][before][left], used & 1u);
    // the band before has been replaced by this frame's flag already, which is what `left` wants
    h.ms_used[g] = used ? (h.ms_used[g] | bit) : (h.ms_used[g] & ~bit);
    emit_bits(io, used, 1);
    charge(io, FAMILY_STRUCTURE);
    return used;
}

template <class Coder>
std::uint32_t io_sect_len(CoderIo<Coder>& io, unsigned n, FieldKind, const BandPos& pos, unsigned cb) {
    std::uint32_t incr = 0;
    if (!take_field(io, incr)) return 0;
    ChannelHistory& h = history_of(*io.m, pos.slot);
    const unsigned prev = prev_frame(h);
    const bool short_windows = h.window_sequence[h.cur] == EIGHT_SHORT_SEQUENCE;
    const bool same_shape = (h.window_sequence[prev] == EIGHT_SHORT_SEQUENCE) == short_windows;
    unsigned expected = kSectLenExpected - 1;
    // The previous frame predicts lengths better than a pair's partner does (measured).
    const std::uint8_t* reference = same_shape ? h.band_cb[prev].data() : nullptr;
    if (reference != nullptr) {
        // bands the reference kept this codebook from the section start on, less those coded
        const unsigned start = band_index(pos);
        unsigned run = 0;
        while (pos.sfb + run < kPackMaxBands && reference[start + run] == cb) ++run;
        const unsigned esc = (1u << n) - 1;
        expected = run > h.sect_len ? run - h.sect_len : 0;
        if (expected > esc) expected = esc;
    }
    const std::uint32_t mask = (1u << n) - 1;
    if (io.m->version >= kWarmModelVersion) {
        const unsigned w = short_windows ? 1 : 0;
        const unsigned book = clamp_index(cb, kSectCbs);
        BitTree<kSectLenBits>& by_expected = entry(io.m->sect_len_cb, w, expected, book);
        BitTree<kSectLenBits>& by_band =
            entry(io.m->sect_len_band, w, clamp_index(pos.sfb + h.sect_len, kSectBandClasses), book);
        std::uint32_t node = 1;
        for (unsigned i = n; i-- > 0;) {
            Bit* inputs[2] = {&by_expected.b[node], &by_band.b[node]};
            node = (node << 1) | code_mixed<2>(*io.rc, io.m->sect_len_mix[n - 1 - i], inputs, ((incr & mask) >> i) & 1u);
        }
        incr = node - (1u << n);
    } else {
        incr = code_bits_tree(*io.rc, entry(io.m->sect_len, short_windows ? 1 : 0, expected).b, incr & mask, n);
    }
    emit_bits(io, incr, n);
    h.sect_len = static_cast<std::uint16_t>(h.sect_len + incr);
    if (incr != mask) {
        for (unsigned i = 0; i < h.sect_len && pos.sfb + i < kPackMaxBands; ++i)
            h.band_cb[h.cur][h.sect_band + i] = static_cast<std::uint8_t>(cb);
    }
    charge(io, FAMILY_SECTIONS);
    return incr;
}

// A scale-factor step d brought into -r..r, as an index 0..2r.
constexpr unsigned step_index(int d, int r) { return static_cast<unsigned>((d < -r ? -r : d > r ? r : d) + r); }

// What a scale-factor step is coded against, from the band's past and its neighbours.
struct SfContext {
    bool expected_known = false;
    int expected = 0;        // the step that lands on the band's last value
    unsigned before = 0;     // the band's step in the previous frame, kSfBefore
    unsigned partner = 0;    // the pair partner's step at the band, kSfExpected
    unsigned two_back = 0;   // kSfTwoBack
    bool partner_known = false;
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

constexpr unsigned sf_book(unsigned cb) {
    return cb == ZERO_HCB ? 0u : cb <= ESC_HCB ? (cb + 1u) / 2u : kSfBooks - 1u;
}

// Version 2 and 3: the codeword index as a bit tree, three views mixed.
template <class Coder>
std::uint32_t code_sf_index_tree(Coder& rc, FrameModel& m, SfKind kind, const SfContext& c, std::uint32_t index) {
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

// Version 4: a step, or a difference from the partner's step, as zero?, sign and magnitude in
// unary, every decision mixed from the four views. False when the decoded magnitude exceeds
// `limit` (the encoder's never does). A probability map over the size of the expected step
// saved 0.46% of the scale-factor bits for 3-4% of the unpacking time of a 128 kbit/s file.
template <class Coder>
bool code_sf_value(Coder& rc, FrameModel& m, SfKind kind, const SfContext& c, int& value, unsigned limit) {
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
std::uint32_t code_sf_step(Coder& rc, FrameModel& m, SfKind kind, const SfContext& c, std::uint32_t index) {
    constexpr std::uint32_t kNoIndex = 2 * kSfMaxStep + 1;
    const int base = c.partner_known ? c.partner_land : 0;
    int value = static_cast<int>(index) - static_cast<int>(kSfMaxStep) - base;
    const unsigned limit = kSfMaxStep + static_cast<unsigned>(base < 0 ? -base : base);
    if (!code_sf_value(rc, m, kind, c, value, limit)) return kNoIndex;
    const int d = value + base;
    if (d < -static_cast<int>(kSfMaxStep) || d > static_cast<int>(kSfMaxStep)) return kNoIndex;
    return static_cast<std::uint32_t>(d + static_cast<int>(kSfMaxStep));
}

template <class Coder>
void io_scale_factor(CoderIo<Coder>& io, SfKind kind, const BandPos& pos) {
    if (io.failed) return;
    std::uint32_t index = 0;
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (io.cur.sf >= io.rec->n_sf) {
            io.failed = true;
            return;
        }
        index = io.rec->sf[io.cur.sf++];
    }
    FrameModel& m = *io.m;
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
    c.before = prev_has ? step_index(h.sf_diff[prev][band], 3) : kSfBefore - 1;
    // The partner of a pair usually has the same envelope: its step at the band, and the step
    // that lands on its value there.
    c.partner = kSfExpected - 1;
    const ChannelHistory* o = partner_of(m, pos);
    const bool partner_has = o != nullptr && o->sf_kind[o->cur][band] == kind + 1;
    if (partner_has) {
        c.partner = step_index(o->sf_diff[o->cur][band], 4);
        c.partner_land = o->sf_abs[o->cur][band] - h.sf_running[kind];
    }
    c.last_diff = h.last_sf_diff;
    c.last_residual = h.last_sf_residual;
    c.last_step = step_index(h.last_sf_diff, 2);
    c.band_class = clamp_index(pos.sfb / 6u, kBandClasses);
    const bool warm = m.version >= kWarmModelVersion;
    if (warm) {
        c.partner_known = partner_has && h.sf_partner_score >= 0;
        c.book = sf_book(h.band_cb[h.cur][band]);
        c.prev_book = prev_has ? sf_book(h.band_cb[prev][band]) : 0u;
        c.last_book = pos.sfb > 0 ? sf_book(h.band_cb[h.cur][band - 1]) : 0u;
        c.partner_book = o != nullptr ? sf_book(o->band_cb[o->cur][band]) : 0u;
        const unsigned back2 = prev2_frame(h);
        c.two_back = h.sf_kind[back2][band] == kind + 1 ? step_index(h.sf_abs[back2][band] - h.sf_running[kind], (kSfTwoBack - 2) / 2)
                                                         : kSfTwoBack - 1;
        index = code_sf_step(*io.rc, m, kind, c, index);
    } else {
        index = code_sf_index_tree(*io.rc, m, kind, c, index);
    }
    if (index > 2 * kSfMaxStep) {
        io.failed = true;
        return;
    }
    const int d = static_cast<int>(index) - static_cast<int>(kSfMaxStep);
    h.sf_diff[h.cur][band] = static_cast<std::int8_t>(d);
    h.last_sf_diff = static_cast<std::int8_t>(d);
    h.last_sf_residual = static_cast<std::uint8_t>(c.partner_known ? step_index(d - c.partner_land, 4) : kSfResidual - 1);
    if (warm && partner_has) {
        const int from_zero = d < 0 ? -d : d;
        const int from_partner = d > c.partner_land ? d - c.partner_land : c.partner_land - d;
        const int score = h.sf_partner_score + (from_partner < from_zero ? 1 : from_partner > from_zero ? -1 : 0);
        h.sf_partner_score = static_cast<std::int8_t>(score > kSfPartnerScore ? kSfPartnerScore : score < -kSfPartnerScore ? -kSfPartnerScore : score);
    }
    h.sf_running[kind] = static_cast<std::int16_t>(h.sf_running[kind] + d);
    h.sf_abs[h.cur][band] = h.sf_running[kind];
    h.sf_kind[h.cur][band] = static_cast<std::uint8_t>(kind + 1);
    if (!sink_scale_factor(io.sink, index)) io.failed = true;
    charge(io, FAMILY_SCALEFACTORS);
}

// ---------------------------------------------------------------------------------------------
// Spectral lines, in four steps: the band's context (and whether every line of it is zero),
// each line's context, the line's magnitude, its sign.

// What a band's lines are coded against: this frame so far, the previous frame rescaled to
// this frame's quantiser, two frames back, and a pair's first channel.
struct BandContext {
    LineBookModel* book = nullptr;
    ChannelHistory* h = nullptr;          // the channel's history
    const std::int16_t* q = nullptr;      // this frame, offset by one so that lines -1 and 1024 exist
    const std::int16_t* prev = nullptr;   // the previous frame
    const std::int16_t* prev2 = nullptr;  // two frames back
    bool prev_ok = false;                 // each when its windows have this frame's shape
    bool prev2_ok = false;
    std::uint64_t prev2_scale = 0;
    const std::int16_t* other = nullptr;  // the pair's first channel, if any
    // From format version 4 on, the first channel of a pair counts in each line's neighbourhood:
    // in full when the pair is coded left/right (the same sound on both sides), a quarter of it
    // coded mid/side (the side is mostly much quieter than the mid).
    const std::int16_t* other_near = nullptr;
    const std::int8_t* other_sign = nullptr;
    unsigned mix_ctx = 0;  // lone, left/right, mid/side
    unsigned place = 0;    // the band's place in the spectrum, kMagPlaces
    // The tables this band's lines are coded with, chosen once for the band by the format
    // version (from version 4, those of the band's place).
    Table<SymbolModel, kNearBuckets, kNearBuckets>* magnitude = nullptr;
    Table<SymbolModel, kNearBuckets, kNearBuckets>* joint = nullptr;
    Table<Apm, kNearBuckets>* zero_apm = nullptr;
    // The zero flag's mixers: from version 4 one per neighbourhood bucket (stride 1), before
    // one for all (stride 0).
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

inline void start_band_context(FrameModel& m, ChannelHistory& h, int cb, const LineRun& run, BandContext& c) {
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
    c.other_near = m.version >= kWarmModelVersion ? c.other : nullptr;
    c.mix_ctx = c.other == nullptr ? 0u : run.ms ? 2u : 1u;
    c.place = run.short_windows ? 4u + (run.sfb >= 8 ? 1u : 0u) : clamp_index(run.sfb / 12u, 4);
    LineBookModel& b = *c.book;
    if (m.version >= kWarmModelVersion) {
        c.magnitude = &b.magnitude_at[c.place];
        c.joint = &b.joint_at[c.place];
        c.zero_apm = &b.zero_apm_at[c.place];
        c.zero_mix = b.zero_mix_near[c.mix_ctx].data();
        c.zero_mix_stride = 1;
    } else {
        c.magnitude = &b.magnitude;
        c.joint = &b.joint;
        c.zero_apm = &b.zero_apm;
        c.zero_mix = &b.zero_mix[c.mix_ctx];
    }
    c.pair_base = 1u + (run.ms ? 4u : 0u);
}

// "Every line of this band is zero", by the band before, the previous frame and the partner.
template <class Coder>
unsigned code_band_zero(CoderIo<Coder>& io, ChannelHistory& h, const BandContext& c, const LineRun& run,
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
inline void view_previous_frame(const ChannelHistory& h, unsigned band, const LineRun& run, std::size_t count,
                                BandContext& c) {
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

inline LineContext line_context(const BandContext& c, unsigned k, std::size_t i) {
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

// The escape value v (the magnitude less 16) of line k, from format version 4 on. An escape is
// loud among loud lines: its neighbourhood's size (this frame's lines, the partner's and the previous frame's
// together) and the escape before it tell its length; the bits under the length's top are
// nearly even, all but the first two. Mixing two views of each unary length decision saved as
// much as the symbol does for several times its time; escapes are rare enough to be coded out
// of line.
template <class Coder>
[[gnu::noinline]] std::uint32_t code_escape(CoderIo<Coder>& io, const BandContext& c, const LineContext& l, unsigned k,
                                            std::uint32_t v) {
    const unsigned q2 = k >= 2 ? c.q[k - 2] : 0u;
    const unsigned near = clamp_index(bit_length(2u * l.q1 + q2 + 2u * l.p0 + l.pl + l.pr + l.partner), kEscapeNear);
    const unsigned before = bit_length(c.h->last_escape >> 4u);
    const unsigned len = bit_length(v);
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (len >= kEscapeLengths) {  // past the largest escape
            io.failed = true;
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

// The magnitude of line k, escape included; `implied` when the line cannot be zero.
template <class Coder>
std::uint32_t code_line(CoderIo<Coder>& io, const BandContext& c, const LineContext& l, unsigned k, bool implied,
                        std::uint32_t mag) {
    LineBookModel& b = *c.book;
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
        if (io.m->version >= kWarmModelVersion) {
            t = 16u + code_escape(io, c, l, k, mag - 16u);
        } else {
            const unsigned size = bit_length(l.q1 + static_cast<unsigned>(c.prev[k]));  // of the neighbourhood
            t = 16u + code_uint(*io.rc, io.m->escape[clamp_index(size, kEscapeContexts)], mag - 16u);
        }
        c.h->last_escape = static_cast<std::uint16_t>(t < 0xFFFFu ? t : 0xFFFFu);
        charge(io, FAMILY_ESCAPES);
    } else {
        charge(io, FAMILY_MAGNITUDES);
    }
    return t;
}

// The sign of a non-zero line k: correlated channels coded left/right share their phase;
// anything else has signs no context predicts.
template <class Coder>
unsigned code_sign(CoderIo<Coder>& io, const BandContext& c, unsigned k, unsigned negative) {
    if (c.other_sign != nullptr && c.other_sign[k] != 0)
        negative = code_bit(*io.rc, c.book->sign_pair[c.ms ? 1 : 0][c.other_sign[k] < 0 ? 1 : 0], negative);
    else
        negative = code_direct(*io.rc, negative, 1);
    charge(io, FAMILY_SIGNS);
    return negative;
}

template <class Coder>
void io_spectral(CoderIo<Coder>& io, int cb, std::size_t count, const LineRun& run) {
    if (io.failed || run.first + count > kFrameLength) {
        io.failed = true;
        return;
    }
    const std::int32_t* values = nullptr;  // encoding: the lines to code
    unsigned all_zero = 1;
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (io.cur.line + count > io.rec->n_line) {
            io.failed = true;
            return;
        }
        values = &io.rec->line[io.cur.line];
        io.cur.line += count;
        for (std::size_t i = 0; i < count; ++i) all_zero &= values[i] == 0 ? 1u : 0u;
    }
    FrameModel& m = *io.m;
    ChannelHistory& h = history_of(m, run.slot);
    BandContext c;
    start_band_context(m, h, cb, run, c);
    if (code_band_zero(io, h, c, run, count, all_zero)) {
        // q of this frame starts zeroed
        charge(io, FAMILY_MAGNITUDES);
        if (!sink_zero_lines(io.sink, cb, count)) io.failed = true;
        return;
    }
    view_previous_frame(h, band_index(run.g, run.sfb), run, count, c);
    std::int16_t* q = h.q[h.cur].data() + 1;
    bool seen_nonzero = false;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned k = run.first + static_cast<unsigned>(i);
        std::int32_t v = 0;
        if constexpr (!CoderIo<Coder>::kDecoding) v = values[i];
        // in a band that is not all zero, a last line after only zeros is not zero
        const bool implied = i + 1 == count && !seen_nonzero;
        const std::uint32_t coded = code_line(io, c, line_context(c, k, i), k, implied,
                                              static_cast<std::uint32_t>(v < 0 ? -v : v));
        if (coded != 0) {
            seen_nonzero = true;
            const unsigned negative = code_sign(io, c, k, v < 0 ? 1u : 0u);
            h.sign[k] = negative ? -1 : 1;
            if (coded > static_cast<std::uint32_t>(kMaxEscapeMagnitude)) {
                io.failed = true;
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
    if (!sink_lines(io.sink, cb, count)) io.failed = true;
}

template <class Coder>
void io_bytes(CoderIo<Coder>& io, std::size_t count, ByteClass cls) {
    if (io.failed) return;
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (io.cur.byte + count > io.rec->n_byte) {
            io.failed = true;
            return;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t b = 0;
        if constexpr (!CoderIo<Coder>::kDecoding) b = io.rec->byte[io.cur.byte++];
        b = code_byte(*io.rc, *io.m, cls, b);
        if (!sink_bits(io.sink, b, 8)) {
            io.failed = true;
            return;
        }
    }
    charge(io, cls == BYTES_PAYLOAD ? FAMILY_FILL : cls == BYTES_RAW ? FAMILY_RAW : FAMILY_CONTAINER);
}
