// The context models of the packed form and the coding Io of the frame syntax walk: every
// value of a frame record goes through an adaptive model whose context is built only from what
// the decoder has already seen (earlier values of this frame, the previous frame of the same
// channel, the partner channel of a common-window pair). The encoding Io takes the values from
// a parsed record; the decoding Io reads them from the range decoder and writes the frame's
// bits as it goes, which is also how it knows where byte alignment falls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "pack/adts_frame.h"
#include "pack/frame_record.h"
#include "pack/frame_syntax.h"
#include "pack/pack_stats.h"
#include "pack/range_coder.h"
#include "aac/bit_sink.h"

constexpr unsigned kFramesKept = 3;     // this frame and the two before it, per channel
constexpr unsigned kHistorySlots = 16;  // channels with a history of their own; later ones share the last
constexpr unsigned kNearBuckets = 13;   // 0..11 from magnitudes, 12 = no such context
constexpr unsigned kNoContext = kNearBuckets - 1;
// From this neighbourhood bucket on (the two lines before weigh 4 or more) a line's magnitude,
// zero included, is one symbol; quieter lines first ask "zero?" with several views mixed. Loud
// lines are rarely zero, and the mixed question cost more time there than it saved bits.
constexpr unsigned kLoudNear = 3;
constexpr unsigned kSfExpected = 10;    // expected scale-factor step -4..4, 9 = unknown
constexpr unsigned kEscapeContexts = 16;
constexpr unsigned kBandClasses = 8;

// A plain field: for widths up to 6 a bit tree chosen by the value this field had last time
// in this channel; wider fields first ask "same as last time?".
struct FieldModel {
    Bit same;
    std::array<std::array<Bit, 64>, 64> small;
    std::array<Bit, 256> wide;
};

struct ChannelHistory {
    // Spectral magnitudes (clamped) and scale-factor differences of this frame and the two
    // before it, in a ring; `cur` says which entry is this frame.
    std::array<std::array<std::int16_t, kPackFrameLength + 2>, kFramesKept> q;
    std::array<std::int8_t, kPackFrameLength> sign;  // this frame: -1, 0, 1
    std::array<std::array<std::int8_t, 8 * kPackMaxBands>, kFramesKept> sf_diff;
    // Absolute scale factors (noise energies, intensity positions) per band, and what each
    // band held: 0 nothing, else its SfKind + 1.
    std::array<std::array<std::int16_t, 8 * kPackMaxBands>, kFramesKept> sf_abs;
    std::array<std::array<std::uint8_t, 8 * kPackMaxBands>, kFramesKept> sf_kind;
    std::array<std::int16_t, SF_KINDS> sf_running;
    // Codebook of every band; the section being coded (its start, codebook, length so far).
    std::array<std::array<std::uint8_t, 8 * kPackMaxBands>, kFramesKept> band_cb;
    std::array<std::uint64_t, 8> ms_used;  // per window group, bit sfb; kept from the previous frame
    std::uint8_t last_sect_cb;
    std::uint8_t sect_cb;
    std::uint16_t sect_band;
    std::uint16_t sect_len;
    std::array<std::uint8_t, kFramesKept> window_sequence;
    std::uint8_t cur;
    std::uint8_t last_band_zero;  // the band coded before in this frame: 0 not all zero, 1 all zero, 2 none
    std::int8_t last_sf_diff;  // the previous band's difference in this frame
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

struct MagnitudeModels {
    // [codebook][near][previous frame]; the symbol is the magnitude less one
    std::array<std::array<std::array<SymbolModel, kNearBuckets>, kNearBuckets>, 12> by;
    explicit MagnitudeModels(unsigned with_zero = 0) {
        for (int cb = 0; cb < 12; ++cb)
            for (auto& by_near : by[static_cast<unsigned>(cb)])
                for (SymbolModel& sm : by_near) start_symbols(sm, magnitude_top(cb) + with_zero);
    }
};

struct FrameModel {
    std::array<FieldModel, K_FIELD_KINDS> field;
    std::array<std::array<std::uint32_t, kHistorySlots>, K_FIELD_KINDS> last;
    SintModel global_gain_delta;
    // Sections: the codebook by the band's codebook in the previous frame [0] and in a pair's
    // partner [1], each with the previous section's, mixed; length increments by how far the
    // previous frame's codebook run reaches.
    std::array<std::array<std::array<BitTree<4>, 17>, 17>, 2> sect_cb;
    std::array<std::array<BitTree<5>, 33>, 2> sect_len;
    std::array<Mixer<2>, 4> sect_cb_mix;
    // ms_used by the band's flag in the previous frame and the band before's in this one.
    std::array<std::array<std::array<Bit, 3>, 3>, kBandClasses> ms_used;
    // Scale-factor steps: three views mixed, the expected step with the band's step in the
    // previous frame, the band position, and a pair partner's step at the band; each also sees
    // the step of the band before. (The expected step with the band before alone, a fourth
    // view, saved 0.014 points of the mean saving for an eighth of the time spent on scale factors.)
    std::array<std::array<std::array<BitTree<7>, kSfExpected>, 8>, SF_KINDS> sf_before;
    std::array<std::array<std::array<BitTree<7>, 5>, kBandClasses>, SF_KINDS> sf_band;
    std::array<std::array<std::array<BitTree<7>, 5>, kSfExpected>, SF_KINDS> sf_pair;
    std::array<std::array<Mixer<3>, 7>, SF_KINDS> sf_mix;
    // Zero flags of quiet lines: three views mixed and refined by an Apm: the exact small
    // magnitudes of the nearest lines, the pair partner's line, and the line two frames back
    // (with the previous frame's). A broad context of the band's position and one of the
    // neighbourhood buckets with the partner were mixed in as well; they paid 0.1% of size for
    // a third of the mixing cost. Without the two-frames-back view the mean saving was 0.16
    // points lower for 1.5% less time.
    std::array<std::array<std::array<std::array<std::array<Bit, 3>, 3>, 4>, 3>, 12> zero_fine;
    std::array<std::array<std::array<std::array<Bit, 4>, 4>, 9>, 12> zero_pair;
    std::array<std::array<std::array<Bit, kNearBuckets>, kNearBuckets>, 12> zero_prev2;
    std::array<std::array<Mixer<3>, 3>, 12> zero_mix;  // by codebook and lone / left-right / mid-side
    std::array<std::array<Apm, kNearBuckets>, 12> zero_apm;
    // Magnitudes as one symbol, up to the codebook's largest (16 for an escape), by the nearest
    // lines of this frame and the rescaled previous frame: `magnitude` for non-zero quiet lines,
    // `joint` (zero included) for loud ones. The partner's line as a further context spread the
    // counts too thin (0.16 points lower).
    MagnitudeModels magnitude;
    MagnitudeModels joint{1};
    // "Every line of this band is zero" by the band before in this frame, the same band in the
    // previous frame and in a pair's partner (each 0 not, 1 zero, 2 unknown).
    std::array<std::array<std::array<std::array<Bit, 3>, 3>, 3>, 12> band_zero;
    std::array<UintModel, kEscapeContexts> escape;
    // Signs of a common-window pair's second channel, by the first channel's sign there.
    std::array<std::array<std::array<Bit, 2>, 2>, 12> sign_pair;
    std::array<ChannelHistory, kHistorySlots> history;
    // Bytes: order-0 and order-1 bit trees per class, mixed.
    std::array<std::array<std::array<Bit, 256>, 256>, BYTE_CLASSES> byte;
    std::array<std::array<Bit, 256>, BYTE_CLASSES> byte0;
    std::array<std::array<Mixer<2>, 8>, BYTE_CLASSES> byte_mix;
    std::array<std::uint8_t, BYTE_CLASSES> last_byte;
    // Units of the chunk.
    Bit unit_is_frame;
    Bit frame_modelled;
    UintModel run_length;
    UintModel raw_frame_length;
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

inline unsigned history_slot(unsigned slot) { return slot < kHistorySlots ? slot : kHistorySlots - 1; }

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
    FieldModel& fm = m.field[kind];
    if (kind == K_GLOBAL_GAIN) {
        const std::int32_t d = code_sint(rc, m.global_gain_delta, static_cast<std::int32_t>(v - last));
        v = last + static_cast<std::uint32_t>(d);
    } else if (n <= 6) {
        v = code_bits_tree(rc, fm.small[last & 63].data(), v, n);
    } else if (code_bit(rc, fm.same, v == last ? 1u : 0u)) {
        v = last;
    } else if (n <= 8) {
        v = code_bits_tree(rc, fm.wide.data(), v, n);
    } else {
        v = code_direct(rc, v, n);
    }
    last = v;
    return v;
}

template <class Coder>
std::uint8_t code_byte(Coder& rc, FrameModel& m, ByteClass cls, std::uint8_t value) {
    // Order 0 learns fast on compressed bytes, order 1 wins on text; the mixer picks.
    Bit* order1 = m.byte[cls][m.last_byte[cls]].data();
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

template <class Coder>
struct CoderIo {
    static constexpr bool kDecoding = std::is_same<Coder, RangeDecoder>::value;
    Coder* rc = nullptr;
    FrameModel* m = nullptr;
    const FrameRecord* rec = nullptr;  // encoding: the values to code
    RecordCursor cur;
    BitSink sink;                      // decoding: the frame being written
    PackStats* stats = nullptr;
    std::uint64_t measure = 0;         // coded size where the last charge ended, in bits
    bool failed = false;
};

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

template <class Coder>
std::uint32_t io_field(CoderIo<Coder>& io, unsigned n, FieldKind kind, unsigned slot) {
    std::uint32_t v = 0;
    if (n == 0 || !take_field(io, v)) return 0;
    v = code_field_value(*io.rc, *io.m, v, n, kind, slot);
    if (n < 32 && (v >> n) != 0) {
        io.failed = true;
        return 0;
    }
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (bitsink_put(io.sink, v, n) != n) io.failed = true;
    }
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

template <class Coder>
void io_frame_length(CoderIo<Coder>& io) {
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (bitsink_put(io.sink, 0, 13) != 13) io.failed = true;
    } else {
        (void)io;
    }
}

template <class Coder>
void io_begin_channel(CoderIo<Coder>& io, unsigned slot, std::uint8_t window_sequence) {
    ChannelHistory& h = io.m->history[history_slot(slot)];
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
    h.last_band_zero = 2;
}

inline unsigned band_index(const BandPos& pos) { return (pos.g * kPackMaxBands + pos.sfb) % (8 * kPackMaxBands); }

// The first channel of a common-window pair, when pos is in the second one and has its own history.
inline const ChannelHistory* partner_of(const FrameModel& m, const BandPos& pos) {
    if (pos.pair_slot < 0) return nullptr;
    const unsigned other = history_slot(static_cast<unsigned>(pos.pair_slot));
    return other != history_slot(pos.slot) ? &m.history[other] : nullptr;
}

template <class Coder>
std::uint32_t io_sect_cb(CoderIo<Coder>& io, const BandPos& pos) {
    std::uint32_t cb = 0;
    if (!take_field(io, cb)) return 0;
    ChannelHistory& h = io.m->history[history_slot(pos.slot)];
    const unsigned prev = prev_frame(h);
    const bool same_shape = (h.window_sequence[prev] == EIGHT_SHORT_SEQUENCE) ==
                            (h.window_sequence[h.cur] == EIGHT_SHORT_SEQUENCE);
    const unsigned before = same_shape ? h.band_cb[prev][band_index(pos)] : 16u;
    const ChannelHistory* o = partner_of(*io.m, pos);
    const unsigned partner = o != nullptr ? o->band_cb[o->cur][band_index(pos)] : 16u;
    if (pos.sfb == 0) h.last_sect_cb = 16;
    BitTree<4>& by_before = io.m->sect_cb[0][before][h.last_sect_cb];
    BitTree<4>& by_partner = io.m->sect_cb[1][partner][h.last_sect_cb];
    std::uint32_t node = 1;
    for (unsigned i = 4; i-- > 0;) {
        Bit* inputs[2] = {&by_before.b[node], &by_partner.b[node]};
        node = (node << 1) | code_mixed<2>(*io.rc, io.m->sect_cb_mix[3 - i], inputs, (cb >> i) & 1u);
    }
    cb = node - 16u;
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (bitsink_put(io.sink, cb, 4) != 4) io.failed = true;
    }
    h.last_sect_cb = static_cast<std::uint8_t>(cb);
    h.sect_cb = static_cast<std::uint8_t>(cb);
    h.sect_band = static_cast<std::uint16_t>(band_index(pos));
    h.sect_len = 0;
    charge(io, FAMILY_SECTIONS);
    return cb;
}

template <class Coder>
std::uint32_t io_ms_used(CoderIo<Coder>& io, const BandPos& pos) {
    std::uint32_t used = 0;
    if (!take_field(io, used)) return 0;
    ChannelHistory& h = io.m->history[history_slot(pos.slot)];
    const unsigned g = pos.g % 8;
    const std::uint64_t bit = std::uint64_t{1} << (pos.sfb % 64);
    const unsigned before = (h.ms_used[g] & bit) ? 1u : 0u;
    const unsigned left = pos.sfb == 0 ? 2u : ((h.ms_used[g] & (bit >> 1)) ? 1u : 0u);
    used = code_bit(*io.rc, io.m->ms_used[std::min<unsigned>(pos.sfb / 6u, kBandClasses - 1)][before][left], used & 1u);
    // the band before has been replaced by this frame's flag already, which is what `left` wants
    h.ms_used[g] = used ? (h.ms_used[g] | bit) : (h.ms_used[g] & ~bit);
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (bitsink_put(io.sink, used, 1) != 1) io.failed = true;
    }
    charge(io, FAMILY_STRUCTURE);
    return used;
}

template <class Coder>
std::uint32_t io_sect_len(CoderIo<Coder>& io, unsigned n, FieldKind, const BandPos& pos, unsigned cb) {
    std::uint32_t incr = 0;
    if (!take_field(io, incr)) return 0;
    ChannelHistory& h = io.m->history[history_slot(pos.slot)];
    const unsigned prev = prev_frame(h);
    const bool short_windows = h.window_sequence[h.cur] == EIGHT_SHORT_SEQUENCE;
    const bool same_shape = (h.window_sequence[prev] == EIGHT_SHORT_SEQUENCE) == short_windows;
    unsigned expected = 32;
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
    incr = code_bits_tree(*io.rc, io.m->sect_len[short_windows ? 1 : 0][expected].b, incr & mask, n);
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (bitsink_put(io.sink, incr, n) != n) io.failed = true;
    }
    h.sect_len = static_cast<std::uint16_t>(h.sect_len + incr);
    if (incr != mask) {
        for (unsigned i = 0; i < h.sect_len && pos.sfb + i < kPackMaxBands; ++i)
            h.band_cb[h.cur][h.sect_band + i] = static_cast<std::uint8_t>(cb);
    }
    charge(io, FAMILY_SECTIONS);
    return incr;
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
    ChannelHistory& h = io.m->history[history_slot(pos.slot)];
    const unsigned band = (pos.g * kPackMaxBands + pos.sfb) % (8 * kPackMaxBands);
    // The step that would bring this band back to where it was in the previous frame is the
    // best guess at this one; without such a band the previous frame's step stands in.
    const unsigned prev = prev_frame(h);
    // In a later window group the same band of the group before is closer than the last frame.
    unsigned expected = kSfExpected - 1;
    const unsigned above = band - (pos.g > 0 ? kPackMaxBands : 0u);
    if (pos.g > 0 && h.sf_kind[h.cur][above] == kind + 1) {
        const int step = h.sf_abs[h.cur][above] - h.sf_running[kind];
        expected = static_cast<unsigned>((step < -4 ? -4 : step > 4 ? 4 : step) + 4);
    } else if (h.sf_kind[prev][band] == kind + 1) {
        const int step = h.sf_abs[prev][band] - h.sf_running[kind];
        expected = static_cast<unsigned>((step < -4 ? -4 : step > 4 ? 4 : step) + 4);
    }
    const auto clamp2 = [](int d) { return static_cast<unsigned>((d < -2 ? -2 : d > 2 ? 2 : d) + 2); };
    unsigned before = 7;
    if (h.sf_kind[prev][band] == kind + 1) {
        const int d = h.sf_diff[prev][band];
        before = static_cast<unsigned>((d < -3 ? -3 : d > 3 ? 3 : d) + 3);
    }
    const unsigned band_class = std::min<unsigned>(pos.sfb / 6u, kBandClasses - 1);
    BitTree<7>& tree_b = io.m->sf_before[kind][before][expected];
    BitTree<7>& tree_c = io.m->sf_band[kind][band_class][clamp2(h.last_sf_diff)];
    // The partner of a pair usually has the same envelope: its step at this band.
    unsigned partner = kSfExpected - 1;
    if (pos.pair_slot >= 0 && history_slot(static_cast<unsigned>(pos.pair_slot)) != history_slot(pos.slot)) {
        const ChannelHistory& o = io.m->history[history_slot(static_cast<unsigned>(pos.pair_slot))];
        if (o.sf_kind[o.cur][band] == kind + 1) {
            const int d = o.sf_diff[o.cur][band];
            partner = static_cast<unsigned>((d < -4 ? -4 : d > 4 ? 4 : d) + 4);
        }
    }
    BitTree<7>& tree_d = io.m->sf_pair[kind][partner][clamp2(h.last_sf_diff)];
    std::uint32_t node = 1;
    for (unsigned i = 7; i-- > 0;) {
        Bit* inputs[3] = {&tree_b.b[node], &tree_c.b[node], &tree_d.b[node]};
        node = (node << 1) | code_mixed<3>(*io.rc, io.m->sf_mix[kind][6 - i], inputs, (index >> i) & 1u);
    }
    index = node - (1u << 7);
    if (index > 120) {
        io.failed = true;
        return;
    }
    const int d = static_cast<int>(index) - 60;
    h.sf_diff[h.cur][band] = static_cast<std::int8_t>(d);
    h.last_sf_diff = static_cast<std::int8_t>(d);
    h.sf_running[kind] = static_cast<std::int16_t>(h.sf_running[kind] + d);
    h.sf_abs[h.cur][band] = h.sf_running[kind];
    h.sf_kind[h.cur][band] = static_cast<std::uint8_t>(kind + 1);
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (!put_scale_factor_codeword(io.sink, index)) io.failed = true;
    }
    charge(io, FAMILY_SCALEFACTORS);
}

template <class Coder>
void io_spectral(CoderIo<Coder>& io, int cb, std::size_t count, const LineRun& run) {
    if (io.failed || run.first + count > kPackFrameLength) {
        io.failed = true;
        return;
    }
    std::array<std::int32_t, kPackFrameLength> decoded;
    const std::int32_t* values = decoded.data();
    if constexpr (!CoderIo<Coder>::kDecoding) {
        if (io.cur.line + count > io.rec->n_line) {
            io.failed = true;
            return;
        }
        values = &io.rec->line[io.cur.line];
        io.cur.line += count;
    }
    FrameModel& m = *io.m;
    ChannelHistory& h = m.history[history_slot(run.slot)];
    // q is offset by one so that lines -1 and 1024 exist for the neighbourhoods
    std::int16_t* q = h.q[h.cur].data() + 1;
    const std::int16_t* prev = h.q[prev_frame(h)].data() + 1;
    const bool prev_ok = (h.window_sequence[prev_frame(h)] == EIGHT_SHORT_SEQUENCE) == run.short_windows;
    const std::int16_t* other = nullptr;
    const std::int8_t* other_sign = nullptr;
    if (run.pair_slot >= 0 && history_slot(static_cast<unsigned>(run.pair_slot)) != history_slot(run.slot)) {
        const ChannelHistory& o = m.history[history_slot(static_cast<unsigned>(run.pair_slot))];
        other = o.q[o.cur].data() + 1;
        other_sign = o.sign.data();
    }
    const unsigned band = (run.g * kPackMaxBands + run.sfb) % (8 * kPackMaxBands);
    const std::int16_t* prev2 = h.q[prev2_frame(h)].data() + 1;
    const bool prev2_ok = (h.window_sequence[prev2_frame(h)] == EIGHT_SHORT_SEQUENCE) == run.short_windows;
    const unsigned mix_ctx = other == nullptr ? 0u : run.ms ? 2u : 1u;
    const unsigned top = magnitude_top(cb);
    {
        unsigned all_zero = 1;
        if constexpr (!CoderIo<Coder>::kDecoding) {
            for (std::size_t i = 0; i < count; ++i) all_zero &= values[i] == 0 ? 1u : 0u;
        }
        const auto zero_band = [count](const std::int16_t* lines) {
            unsigned any = 0;
            for (std::size_t i = 0; i < count; ++i) any |= static_cast<unsigned>(lines[i]);
            return any == 0 ? 1u : 0u;
        };
        const unsigned prev_zero = prev_ok ? zero_band(prev + run.first) : 2u;
        const unsigned pair_zero = other != nullptr ? zero_band(other + run.first) : 2u;
        all_zero = code_bit(*io.rc, m.band_zero[cb][h.last_band_zero][prev_zero][pair_zero], all_zero);
        h.last_band_zero = static_cast<std::uint8_t>(all_zero);
        if (all_zero) {
            // q of this frame starts zeroed
            charge(io, FAMILY_MAGNITUDES);
            if constexpr (CoderIo<Coder>::kDecoding) {
                std::fill_n(decoded.data(), count, 0);
                if (!put_spectral_values(io.sink, cb, decoded.data(), count)) io.failed = true;
            }
            return;
        }
    }
    // What the previous frame says about each line of the band, worked out before the band is
    // coded: none of it depends on the lines being coded. The views that only quiet lines use
    // (two frames back, the partner) are worked out for those lines alone.
    std::array<std::uint32_t, kPackFrameLength + 2> prev_near;  // rescaled previous frame, lines first-1..first+count
    std::array<std::uint8_t, kPackFrameLength> prev_ctx_of;
    {
        const int first = static_cast<int>(run.first);
        const int n = static_cast<int>(count);
        if (prev_ok) {
            const std::uint64_t scale = rescale_factor(h, band, prev_frame(h));
            for (int i = -1; i <= n; ++i)
                prev_near[static_cast<unsigned>(i + 1)] = static_cast<std::uint32_t>((static_cast<std::uint64_t>(prev[first + i]) * scale + 128) >> 8);
            for (int i = 0; i < n; ++i) {
                const int ki = first + i;
                prev_ctx_of[static_cast<unsigned>(i)] = static_cast<std::uint8_t>(bucket(static_cast<unsigned>(
                    (static_cast<std::uint64_t>(2 * prev[ki] + prev[ki - 1] + prev[ki + 1]) * scale + 128) >> 8)));
            }
        } else {
            for (int i = -1; i <= n; ++i) prev_near[static_cast<unsigned>(i + 1)] = 0;
            for (int i = 0; i < n; ++i) prev_ctx_of[static_cast<unsigned>(i)] = kNoContext;
        }
    }
    const std::uint64_t prev2_scale = prev2_ok ? rescale_factor(h, band, prev2_frame(h)) : 0;
    const unsigned pair_base = 1u + (run.ms ? 4u : 0u);
    bool seen_nonzero = false;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned k = run.first + static_cast<unsigned>(i);
        const unsigned near_ctx = k >= 2 ? bucket(2u * q[k - 1] + q[k - 2]) : k == 1 ? bucket(2u * q[0]) : kNoContext;
        const int ki = static_cast<int>(k);  // the neighbours of line 0 and 1023 are the zero margins
        const unsigned prev_ctx = prev_ctx_of[i];
        const unsigned pl = prev_near[i];
        const unsigned p0 = prev_near[i + 1];
        const unsigned pr = prev_near[i + 2];
        std::int32_t v = 0;
        std::uint32_t mag = 0;
        if constexpr (!CoderIo<Coder>::kDecoding) {
            v = values[i];
            mag = static_cast<std::uint32_t>(v < 0 ? -v : v);
        }
        const unsigned q1 = k >= 1 ? q[k - 1] : 0u;
        // in a band that is not all zero, a last line after only zeros is not zero
        const bool implied = i + 1 == count && !seen_nonzero;
        unsigned t = 0;
        if (!implied && near_ctx >= kLoudNear && near_ctx != kNoContext) {
            // among loud neighbours a zero is one magnitude among others
            t = code_symbol(*io.rc, m.joint.by[cb][near_ctx][prev_ctx], mag < top ? mag : top);
        } else {
            // the partner's line and its neighbour, or for a lone channel two lines back
            const unsigned q2 = k >= 2 ? q[k - 2] : 0u;
            const unsigned pair_ctx = other != nullptr ? pair_base + std::min<unsigned>(other[ki], 3u) : 0u;
            const unsigned pair_next = other != nullptr ? std::min<unsigned>(other[ki + 1], 3u) : std::min(q2, 3u);
            // two frames back, for sounds that hold longer than a frame
            const unsigned prev2_ctx = prev2_ok ? bucket(static_cast<unsigned>(
                (static_cast<std::uint64_t>(2 * prev2[ki] + prev2[ki - 1] + prev2[ki + 1]) * prev2_scale + 128) >> 8))
                                                : kNoContext;
            Bit* zero_inputs[3] = {&m.zero_fine[cb][std::min(q1, 2u)][std::min(p0, 3u)][std::min(pr, 2u)][std::min(pl, 2u)],
                                   &m.zero_pair[cb][pair_ctx][pair_next][std::min(q1, 3u)],
                                   &m.zero_prev2[cb][prev2_ctx][prev_ctx]};
            if (implied || code_mixed<3>(*io.rc, m.zero_mix[cb][mix_ctx], zero_inputs, mag != 0 ? 1u : 0u,
                                         &m.zero_apm[cb][near_ctx])) {
                t = 1;
                if (top > 1) t = 1u + code_symbol(*io.rc, m.magnitude.by[cb][near_ctx][prev_ctx], (mag < top ? mag : top) - 1u);
            }
        }
        if (t != 0) {
            seen_nonzero = true;
            std::uint32_t coded = t;
            if (cb == ESC_HCB && t == 16) {
                unsigned size = 0;
                for (unsigned x = (k >= 1 ? q[k - 1] : 0u) + prev[ki]; x != 0; x >>= 1) ++size;
                coded = 16u + code_uint(*io.rc, m.escape[size < kEscapeContexts ? size : kEscapeContexts - 1], mag - 16u);
            }
            charge(io, cb == ESC_HCB && t == 16 ? FAMILY_ESCAPES : FAMILY_MAGNITUDES);
            // Correlated channels coded left/right share their phase; anything else has signs
            // no context predicts.
            unsigned negative;
            if (other_sign != nullptr && other_sign[k] != 0)
                negative = code_bit(*io.rc, m.sign_pair[cb][run.ms ? 1 : 0][other_sign[k] < 0 ? 1 : 0], v < 0 ? 1u : 0u);
            else
                negative = code_direct(*io.rc, v < 0 ? 1u : 0u, 1);
            h.sign[k] = negative ? -1 : 1;
            charge(io, FAMILY_SIGNS);
            if (coded > 0xFFFFu) {
                io.failed = true;
                return;
            }
            v = negative ? -static_cast<std::int32_t>(coded) : static_cast<std::int32_t>(coded);
            q[k] = static_cast<std::int16_t>(coded < 0x7FFF ? coded : 0x7FFF);
        } else {
            v = 0;
            q[k] = 0;
            charge(io, FAMILY_MAGNITUDES);
        }
        if constexpr (CoderIo<Coder>::kDecoding) decoded[i] = v;
    }
    if constexpr (CoderIo<Coder>::kDecoding) {
        if (!put_spectral_values(io.sink, cb, decoded.data(), count)) io.failed = true;
    }
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
        if constexpr (CoderIo<Coder>::kDecoding) {
            if (bitsink_put(io.sink, b, 8) != 8) {
                io.failed = true;
                return;
            }
        }
    }
    charge(io, cls == BYTES_RAW ? FAMILY_RAW : FAMILY_FILL);
}
