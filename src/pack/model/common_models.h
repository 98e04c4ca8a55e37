// The models every generation codes the same way: plain fields of a frame in context of the
// value they had last time, bytes no model describes through mixed order-0 and order-1 bit
// trees, and the structure of a chunk (frame or run, modelled or raw, a unit's track context,
// derived size tables). A generation's model record holds one of each.
#pragma once

#include <cstdint>

#include "pack/format/pack_stats.h"
#include "pack/frame/frame_record.h"
#include "pack/model/adaptive.h"
#include "pack/model/channel_history.h"
#include "pack/model/context_table.h"

// A plain field: for widths up to 6 a bit tree chosen by the value this field had last time
// in this channel (FieldModels::small); wider fields first ask "same as last time?".
constexpr unsigned kSmallFieldBits = 6;
constexpr unsigned kWideFieldBits = 8;  // wider ones, when not the same as last time, are coded direct
constexpr unsigned kFieldLast = 64;     // the last value, modulo 64
constexpr unsigned kByteBits = 8;

struct FieldModel {
    Bit same;
    Ctx<Bit, 1u << kWideFieldBits> wide;
};

struct FieldModels {
    LazyTable<Ctx<Bit, 1u << kSmallFieldBits>, K_FIELD_KINDS, kFieldLast> small;  // [kind][last value & 63]
    LazyTable<FieldModel, K_FIELD_KINDS> wide;
    SintModel global_gain_delta;
    Table<std::uint32_t, K_FIELD_KINDS, kHistorySlots> last;  // of the stream being coded
    // Added to every channel slot before it picks its history and last values: each track of
    // a chunk of units keeps its own (format version 7), 0 otherwise.
    unsigned slot_base = 0;
    FieldModels() : last{} {}
};

// Bytes: order-0 and order-1 bit trees per class, mixed.
struct ByteModels {
    LazyTable<Ctx<Bit, 1u << kByteBits>, BYTE_CLASSES, 1u << kByteBits> order1;  // [class][byte before]
    Table<Bit, BYTE_CLASSES, 1u << kByteBits> order0;
    Table<Mixer<2>, BYTE_CLASSES, kByteBits> mix;
    Table<std::uint8_t, BYTE_CLASSES> last;  // of the stream being coded
    ByteModels() : last{} {}
};

// The units of a chunk.
struct UnitModels {
    Bit is_frame;
    Bit frame_modelled;
    UintModel run_length;
    UintModel raw_frame_length;
    // The track context of an access unit, coded when it differs from the unit before.
    Bit context_same;
    Bit run_is_sizes;
    SintModel sizes_first;
    UintModel sizes_count;
    UintModel object_type;
    UintModel sf_index;
    UintModel track;  // format version 7
};

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
std::uint32_t code_field_value(Coder& rc, FieldModels& f, std::uint32_t v, unsigned n, FieldKind kind, unsigned slot) {
    std::uint32_t& last = f.last[kind][history_slot(slot + f.slot_base)];
    if (kind == K_GLOBAL_GAIN) {
        const std::int32_t d = code_sint(rc, f.global_gain_delta, static_cast<std::int32_t>(v - last));
        v = last + static_cast<std::uint32_t>(d);
    } else if (n <= kSmallFieldBits) {
        v = code_bits_tree(rc, entry(f.small, kind, last & (kFieldLast - 1)).data(), v, n);
    } else {
        FieldModel& fm = entry(f.wide, kind);
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
std::uint8_t code_byte(Coder& rc, ByteModels& b, ByteClass cls, std::uint8_t value) {
    // Order 0 learns fast on compressed bytes, order 1 wins on text; the mixer picks.
    Bit* order1 = entry(b.order1, cls, b.last[cls]).data();
    Bit* order0 = b.order0[cls].data();
    std::uint32_t node = 1;
    for (unsigned i = 8; i-- > 0;) {
        Bit* inputs[2] = {&order0[node], &order1[node]};
        node = (node << 1) | code_mixed<2>(rc, b.mix[cls][7 - i], inputs, (value >> i) & 1u);
    }
    const auto v = static_cast<std::uint8_t>(node - 256u);
    b.last[cls] = v;
    return v;
}

// Forgets the stream a model has coded (channel histories, last values), keeping what it learnt.
template <class Model>
inline void clear_stream_state(Model& m) {
    for (std::uint64_t& word : m.history.started) word = 0;
    m.fields.last = {};
    m.fields.slot_base = 0;
    m.bytes.last = {};
}
