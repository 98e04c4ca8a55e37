// The chunk codec: splits a chunk into units (ADTS frames and runs of other bytes), codes
// each frame whose record writes back to the same bytes field by field through the frame
// model, and every other unit as bytes through the byte model (orders 0 and 1, mixed).
#include "pack/model/chunk_codec.h"

#include <cstring>
#include <memory>

#include "pack/coder/range_coder.h"
#include "pack/frame/adts_frame.h"
#include "pack/frame/frame_record.h"
#include "pack/frame/frame_syntax.h"
#include "pack/model/gen3/model_v3.h"
#include "pack/model/gen4/model_v4.h"
#include "pack/model/gen4/trained_state.h"
#include "pack/model/generations.h"

namespace {

constexpr std::size_t kFrameBufferBytes = kMaxFrameBytes + 16;
// A damaged payload makes the decoder read zeros past its end; a valid one stays within a
// few bytes of it.
constexpr std::size_t kMaxDecoderOverrun = 8;

// Whether data[0..size) may be the start of an ADTS frame that the next bytes complete.
bool may_be_cut_frame(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || data[0] != 0xFF) return false;
    if (size == 1) return true;
    if (!is_adts_sync(data, size)) return false;
    if (size < 7) return true;
    return adts_sf_index(data) <= 12 && adts_frame_length(data) > size;
}

// Where the next frame candidate after `from` starts, or size.
std::size_t next_candidate(const std::uint8_t* data, std::size_t size, std::size_t from) {
    for (std::size_t i = from; i < size; ++i) {
        const void* hit = std::memchr(data + i, 0xFF, size - i);
        if (hit == nullptr) return size;
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
        if (adts_frame_candidate(data + i, size - i) != 0) return i;
    }
    return size;
}

template <class Coder, class Model>
void code_bytes(Coder& rc, Model& m, ByteClass cls, std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) bytes[i] = code_byte(rc, m.bytes, cls, bytes[i]);
}

// Length fields (format version 6): whether a derived stretch is a field rather than a size
// table, and the field's shape (its width, its addend, and its access unit against the count
// of access units before it), coded as the shape two fields back, or the last, where it is one
// of them: an FLV tag's fields alternate between two shapes.
struct FieldShape {
    std::uint32_t width = 0;
    std::int32_t addend = 0;
    std::int32_t unit = 0;
    bool operator==(const FieldShape& o) const { return width == o.width && addend == o.addend && unit == o.unit; }
};

struct LengthFieldModels {
    Bit is_field;
    Bit as_two_back;
    Bit as_last;
    UintModel width;
    SintModel addend;
    SintModel unit;
    FieldShape last[2];  // the last shape, and the one before
};

// Tables of places (format version 11): whether a derived stretch that is not a field is one,
// then what its entries are and whose stretches, its first stretch against where the last
// table of that kind and track ended, and its entry count.
struct PlaceModels {
    Bit is_places;
    UintModel kind;
    UintModel track;
    SintModel first[PLACE_KINDS];
    UintModel count;
    std::uint32_t expected[kMaxUnitTracks][PLACE_KINDS] = {};
};

// A table of places' shape; false when the one decoded is not one a table may have.
template <class Coder>
bool code_places(Coder& rc, PlaceModels& m, ChunkUnit& table) {
    const std::uint32_t place = code_uint(rc, m.kind, table.place);
    if (place >= PLACE_KINDS) return false;
    const std::uint32_t track = code_uint(rc, m.track, table.track);
    if (track >= kMaxUnitTracks) return false;
    std::uint32_t& expected = m.expected[track][place];
    const std::int32_t delta = code_sint(rc, m.first[place], static_cast<std::int32_t>(table.first_index - expected));
    const std::uint32_t first = expected + static_cast<std::uint32_t>(delta);
    const std::uint32_t count = code_uint(rc, m.count, table.length / 4 - 1) + 1;
    if (count == 0 || first >= kMaxDerivedStretches || count > kMaxDerivedStretches - first) return false;
    expected = first + count;
    table.place = static_cast<std::uint8_t>(place);
    table.track = static_cast<std::uint8_t>(track);
    table.first_index = first;
    table.length = 4 * count;
    return true;
}

// The container's short runs (format version 6): headers between access units repeat their
// layout from unit to unit, so a byte of a run of up to kRemembered bytes is first coded as
// equal to the byte at its place in the last run of its length, then as that byte stepped on
// as it stepped the time before (a time stamp), and only then through the byte model.
constexpr std::size_t kRemembered = 16;
static_assert(kRemembered == kShortRunBytes, "a split chunk's short runs are the remembered ones");

struct RunMemory {
    std::uint8_t last[kRemembered + 1][kRemembered] = {};
    std::uint8_t before[kRemembered + 1][kRemembered] = {};
    Bit as_last[kRemembered + 1][kRemembered];
    Bit as_step[kRemembered + 1][kRemembered];
};

template <class Coder, class Model>
void code_container_run(Coder& rc, RunMemory& r, Model& m, std::uint8_t* bytes, std::size_t count) {
    if (count > kRemembered) {
        code_bytes(rc, m, BYTES_CONTAINER, bytes, count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t last = r.last[count][i];
        const auto step = static_cast<std::uint8_t>(2 * last - r.before[count][i]);
        std::uint8_t v = bytes[i];
        if (code_bit(rc, r.as_last[count][i], v == last ? 1u : 0u)) {
            v = last;
        } else if (step != last && code_bit(rc, r.as_step[count][i], v == step ? 1u : 0u)) {
            v = step;
        } else {
            v = code_byte(rc, m.bytes, BYTES_CONTAINER, v);
        }
        bytes[i] = v;
        r.before[count][i] = last;
        r.last[count][i] = v;
    }
}

// What lies between two access units, element by element: runs of the container's bytes,
// size tables and length fields, and the access unit that ends it. From format version 9 each
// element is first coded as the same as the one at its place between the two units before (a
// run as of the same length), which a container's layout repeats from unit to unit, and only
// otherwise as before.
enum GapKind : std::uint8_t { GAP_UNIT = 0, GAP_RUN, GAP_SIZES, GAP_FIELD, GAP_PLACES, GAP_KINDS };
struct GapElement {
    std::uint8_t kind = GAP_UNIT;
    std::uint32_t run = 0;  // a run's length
};
constexpr std::size_t kGapElements = 8;  // remembered from each gap; the rest are predicted as the last

struct GapMemory {
    GapMemory() {
        // a layout mostly repeats: the first units of a chunk are not charged a bit each to learn it
        for (auto& row : as_before)
            for (Bit& b : row) b.p = kProbOne / 8;
    }
    GapElement before[kGapElements];  // the last gap, and its unit where it was shorter
    GapElement now[kGapElements];
    std::size_t n_now = 0;
    Bit as_before[kGapElements][GAP_KINDS];
    // The track context before the last where it differs from the last: units of two tracks
    // interleaved switch between two contexts.
    FrameContext other;
    bool has_other = false;
    Bit context_other;
};

// Codes the kind of the next element (and a run's length), with the gap memory where there is
// one; `units`, `fields` and `places` (null without) say which kinds the payload may hold.
template <class Coder>
void code_gap_element(Coder& rc, UnitModels& m, LengthFieldModels& field, PlaceModels* places, GapMemory* g,
                      bool units, bool fields, GapElement& el) {
    const std::size_t at = g != nullptr && g->n_now < kGapElements ? g->n_now : kGapElements - 1;
    bool coded = false;
    if (g != nullptr) {
        const GapElement& p = g->before[at];
        const bool same = el.kind == p.kind && (el.kind != GAP_RUN || el.run == p.run);
        if (code_bit(rc, g->as_before[at][p.kind], same ? 1u : 0u)) {
            el = p;
            coded = true;
        }
    }
    if (!coded) {
        if (code_bit(rc, m.is_frame, el.kind == GAP_UNIT ? 1u : 0u)) {
            el.kind = GAP_UNIT;
        } else {
            const bool derived = units && code_bit(rc, m.run_is_sizes,
                                                   el.kind == GAP_SIZES || el.kind == GAP_FIELD || el.kind == GAP_PLACES);
            if (!derived) {
                el.kind = GAP_RUN;
                el.run = code_uint(rc, m.run_length, el.run - 1) + 1;
            } else if (fields && code_bit(rc, field.is_field, el.kind == GAP_FIELD ? 1u : 0u)) {
                el.kind = GAP_FIELD;
            } else {
                el.kind = places != nullptr && code_bit(rc, places->is_places, el.kind == GAP_PLACES ? 1u : 0u)
                              ? GAP_PLACES
                              : GAP_SIZES;
            }
        }
    }
    if (g == nullptr) return;
    if (el.kind == GAP_UNIT) {
        for (std::size_t k = 0; k < kGapElements; ++k) g->before[k] = k < g->n_now ? g->now[k] : GapElement{};
        g->n_now = 0;
    } else if (g->n_now < kGapElements) {
        g->now[g->n_now++] = el;
    }
}

// Codes a field's shape; false when the one decoded is not a field's.
template <class Coder>
bool code_field(Coder& rc, LengthFieldModels& f, FieldShape& shape) {
    if (code_bit(rc, f.as_two_back, shape == f.last[1] ? 1u : 0u)) {
        shape = f.last[1];
    } else if (code_bit(rc, f.as_last, shape == f.last[0] ? 1u : 0u)) {
        shape = f.last[0];
    } else {
        shape.width = code_uint(rc, f.width, shape.width - 1) + 1;
        shape.addend = code_sint(rc, f.addend, shape.addend);
        shape.unit = code_sint(rc, f.unit, shape.unit);
    }
    f.last[1] = f.last[0];
    f.last[0] = shape;
    return shape.width >= 1 && shape.width <= kMaxFieldBytes && shape.addend <= kMaxFieldAddend &&
           shape.addend >= -kMaxFieldAddend && shape.unit <= kMaxFieldAddend && shape.unit >= -kMaxFieldAddend;
}

// How a generation's models start a chunk: from nothing, or from the trained state (false
// when it does not load, which the driver has refused before coding anything).
inline bool start_models(gen3::Model&) { return true; }
inline bool start_models(gen4::Model& m) {
    const gen4::Model* trained = gen4::trained_model();
    if (trained == nullptr) return false;
    start_models_from(m, *trained);
    return true;
}

// The models a chunk is coded with (its own, or for training a caller's) and its buffers.
template <class Model>
struct CodecBuffers {
    CodecBuffers() : own(std::make_unique<Model>()), model(own.get()) { started = start_models(*model); }
    explicit CodecBuffers(Model& on) : model(&on), started(true) {}
    std::unique_ptr<Model> own;
    Model* model = nullptr;
    std::unique_ptr<FrameRecord> record = std::make_unique<FrameRecord>();
    std::unique_ptr<std::uint8_t[]> frame = std::make_unique<std::uint8_t[]>(kFrameBufferBytes);
    bool started = false;
};

}  // namespace

std::size_t next_chunk_length(const std::uint8_t* data, std::size_t size, bool at_end, std::size_t max_frames,
                              std::size_t max_bytes, std::size_t target_bytes) {
    if (max_frames == 0) max_frames = 1;
    if (max_bytes == 0) max_bytes = 1;
    std::size_t pos = 0;
    std::size_t frames = 0;
    std::size_t other = 0;
    while (pos < size) {
        const std::size_t length = adts_frame_candidate(data + pos, size - pos);
        if (length != 0) {
            pos += length;
            if (++frames >= max_frames || (target_bytes != 0 && pos >= target_bytes)) return pos;
            continue;
        }
        if (!at_end && may_be_cut_frame(data + pos, size - pos)) return pos;
        ++pos;
        if (++other >= max_bytes) return pos;
    }
    return pos;
}

namespace {

// The encoding of one chunk: the coder, the models and the charging of coded bits to families.
template <class Model>
struct ChunkEncoder {
    ChunkEncoder() = default;
    explicit ChunkEncoder(Model& on) : buf(on) {}
    CodecBuffers<Model> buf;
    RangeEncoder rc;
    PackStats* stats = nullptr;
    bool check_frames = true;
    std::uint64_t measure = 0;
    std::vector<std::uint8_t> scratch;
    FrameContext context;  // of the last access unit
    bool has_context = false;
    bool runs_apart = false;  // the container's runs are not coded
    bool fields = false;      // length fields and remembered runs (format version 6)
    bool tracks = false;      // access units name their tracks (format version 7)
    bool keep_short = false;  // with runs_apart, runs of up to kRemembered bytes are coded (version 8)
    LengthFieldModels field;
    RunMemory run_memory;
    std::unique_ptr<GapMemory> gaps;       // of a payload of units from version 9
    std::unique_ptr<PlaceModels> places;   // of a payload of units from version 11
};

template <class Model>
void charge_unit(ChunkEncoder<Model>& e, PackFamily family) {
    if (e.stats == nullptr) return;
    const std::uint64_t now = coded_bits(e.rc);
    e.stats->bits[family] += now - e.measure;
    e.measure = now;
}

// A run of bytes outside frames: its length, then the bytes.
template <class Model>
void encode_run(ChunkEncoder<Model>& e, const std::uint8_t* data, std::size_t run, ByteClass cls) {
    Model& m = *e.buf.model;
    GapElement el{GAP_RUN, static_cast<std::uint32_t>(run)};
    code_gap_element(e.rc, m.units, e.field, e.places.get(), e.gaps.get(), cls == BYTES_CONTAINER, e.fields, el);
    charge_unit(e, FAMILY_STRUCTURE);
    if (cls == BYTES_CONTAINER && e.runs_apart && !(e.keep_short && run <= kRemembered)) {
        if (e.stats != nullptr) e.stats->other_bytes += run;
        return;
    }
    e.scratch.assign(data, data + run);
    if (cls == BYTES_CONTAINER && e.fields) {
        code_container_run(e.rc, e.run_memory, m, e.scratch.data(), run);
    } else {
        code_bytes(e.rc, m, cls, e.scratch.data(), run);
    }
    charge_unit(e, cls == BYTES_CONTAINER ? FAMILY_CONTAINER : FAMILY_RAW);
    if (e.stats != nullptr) e.stats->other_bytes += run;
}

// A size table: where its first entry points, relative to where the table before ended, and
// its entry count.
template <class Coder>
void code_sizes(Coder& rc, UnitModels& m, std::uint32_t& expected, std::uint32_t& first, std::uint32_t& count) {
    const std::int32_t delta = code_sint(rc, m.sizes_first,
                                         static_cast<std::int32_t>(first) - static_cast<std::int32_t>(expected));
    first = expected + static_cast<std::uint32_t>(delta);
    count = code_uint(rc, m.sizes_count, count - 1) + 1;
    expected = first + count;
}

// The channel slots each track's units start from: a stereo track beside one of up to eight
// channels, and two more, keep histories of their own.
constexpr unsigned kTrackSlotBase[kMaxUnitTracks] = {0, 8, 12, 14};

// The track context of an access unit, when it differs from the one before; with tracks
// (format version 7), its track first, whose history the models then take up.
// From version 9 (with the gap memory), a context that differs from the last is first coded as
// the one before it.
bool same_context(const FrameContext& a, const FrameContext& b, bool tracks) {
    return a.object_type == b.object_type && a.sf_index == b.sf_index && (!tracks || a.track == b.track);
}

template <class Coder, class Model>
bool code_unit_context(Coder& rc, Model& model, FrameContext& last, bool& has_last, FrameContext& fc, bool tracks,
                       GapMemory* g) {
    UnitModels& m = model.units;
    const bool same = has_last && same_context(last, fc, tracks);
    if (code_bit(rc, m.context_same, same ? 1u : 0u)) {
        if (!has_last) return false;
        fc = last;
        return true;
    }
    if (g != nullptr && g->has_other &&
        code_bit(rc, g->context_other, same_context(g->other, fc, tracks) ? 1u : 0u)) {
        fc = g->other;
    } else {
        if (tracks) {
            fc.track = static_cast<std::uint8_t>(code_uint(rc, m.track, fc.track));
            if (fc.track >= kMaxUnitTracks) return false;
        }
        fc.object_type = static_cast<std::uint8_t>(code_uint(rc, m.object_type, fc.object_type));
        fc.sf_index = static_cast<std::uint8_t>(code_uint(rc, m.sf_index, fc.sf_index));
        if (fc.object_type != MAIN_OBJECT && fc.object_type != LC_OBJECT && fc.object_type != LTP_OBJECT) return false;
        if (fc.sf_index > 12) return false;
    }
    if (tracks) model.fields.slot_base = kTrackSlotBase[fc.track];
    if (g != nullptr && has_last) {
        g->other = last;
        g->has_other = true;
    }
    last = fc;
    has_last = true;
    return true;
}

// A frame or access unit: whether it is modelled, then its fields through the frame model, or
// its length and bytes. fc is null for an ADTS frame.
template <class Model>
[[nodiscard]] PackResult encode_frame(ChunkEncoder<Model>& e, const std::uint8_t* data, std::size_t length,
                               const FrameContext* fc) {
    Model& m = *e.buf.model;
    FrameRecord& rec = *e.buf.record;
    GapElement el{GAP_UNIT, 0};
    code_gap_element(e.rc, m.units, e.field, e.places.get(), e.gaps.get(), fc != nullptr, e.fields, el);
    if (fc != nullptr) {
        FrameContext coded = *fc;
        if (!code_unit_context(e.rc, m, e.context, e.has_context, coded, e.tracks, e.gaps.get()))
            return PACK_UNIT_CONTEXT;
    }
    std::size_t written = 0;
    bool modelled = false;
    if (fc == nullptr) {
        modelled = parse_adts_frame(data, length, rec) == PACK_OK &&
                   (!e.check_frames ||
                    (write_adts_frame(rec, e.buf.frame.get(), kFrameBufferBytes, written) == PACK_OK && written == length &&
                     std::memcmp(e.buf.frame.get(), data, length) == 0));
    } else {
        modelled = parse_access_unit(data, length, *fc, rec) == PACK_OK &&
                   (!e.check_frames ||
                    (write_access_unit(rec, *fc, e.buf.frame.get(), kFrameBufferBytes, written) == PACK_OK &&
                     written == length && std::memcmp(e.buf.frame.get(), data, length) == 0));
    }
    code_bit(e.rc, m.units.frame_modelled, modelled ? 1u : 0u);
    charge_unit(e, FAMILY_STRUCTURE);
    if (!modelled) {
        (void)code_uint(e.rc, m.units.raw_frame_length, static_cast<std::uint32_t>(length));
        e.scratch.assign(data, data + length);
        code_bytes(e.rc, m, BYTES_RAW, e.scratch.data(), length);
        charge_unit(e, FAMILY_RAW);
        if (e.stats != nullptr) ++e.stats->frames_raw;
        return PACK_OK;
    }
    CoderIo<Model, RangeEncoder> io;
    io.rc = &e.rc;
    io.m = &m;
    io.rec = &rec;
    io.stats = e.stats != nullptr && e.stats->by_family ? e.stats : nullptr;
    io.measure = e.measure;
    if (fc == nullptr) {
        walk_adts_frame(io);
    } else {
        walk_access_unit(io, *fc);
    }
    if (io.stats != nullptr) {
        e.measure = io.measure;
    } else if (e.stats != nullptr) {
        const std::uint64_t now = coded_bits(e.rc);
        e.stats->frame_bits += now - e.measure;
        e.measure = now;
    }
    if (io.failed || io.cur.field != rec.n_field || io.cur.sf != rec.n_sf || io.cur.line != rec.n_line ||
        io.cur.byte != rec.n_byte)
        return PACK_NOT_DESCRIBED;
    if (e.stats != nullptr) ++e.stats->frames_modelled;
    return PACK_OK;
}

}  // namespace

namespace {

template <class Model>
PackResult encode_units(ChunkEncoder<Model>* e, const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload,
                 const std::vector<ChunkUnit>* units) {
    start_encoder(e->rc, payload);
    std::size_t pos = 0;
    if (units != nullptr) {
        std::uint32_t expected = 0;
        std::uint32_t seen = 0;  // access units so far
        for (const ChunkUnit& u : *units) {
            if (u.start < pos || u.length == 0 || u.start > size || u.length > size - u.start) return PACK_BAD_SETTINGS;
            if (u.start > pos) encode_run(*e, data + pos, u.start - pos, BYTES_CONTAINER);
            if (u.kind != UNIT_ACCESS) {  // a derived stretch: a size table, a length field or a table of places
                const bool field = u.kind == UNIT_FIELD, places = u.kind == UNIT_PLACES;
                const std::uint32_t limit = places ? kMaxDerivedStretches : kMaxDerivedUnits;
                if (field ? !e->fields || u.length > kMaxFieldBytes
                          : (places && e->places == nullptr) || u.length % 4 != 0 || u.first_index >= limit ||
                                u.length / 4 > limit - u.first_index)
                    return PACK_BAD_SETTINGS;
                UnitModels& m = e->buf.model->units;
                GapElement el{field ? GAP_FIELD : places ? GAP_PLACES : GAP_SIZES, 0};
                code_gap_element(e->rc, m, e->field, e->places.get(), e->gaps.get(), true, e->fields, el);
                if (places) {
                    ChunkUnit table = u;
                    if (!code_places(e->rc, *e->places, table)) return PACK_BAD_SETTINGS;
                } else if (field) {
                    FieldShape shape{u.length, u.addend,
                                     static_cast<std::int32_t>(u.first_index) - static_cast<std::int32_t>(seen)};
                    if (!code_field(e->rc, e->field, shape)) return PACK_BAD_SETTINGS;
                } else {
                    std::uint32_t first = u.first_index, count = u.length / 4;
                    code_sizes(e->rc, m, expected, first, count);
                }
                charge_unit(*e, FAMILY_CONTAINER);
                pos = u.start + u.length;
                continue;
            }
            FrameContext fc;
            fc.object_type = u.object_type;
            fc.sf_index = u.sf_index;
            fc.track = e->tracks ? u.track : 0;
            if (fc.track >= kMaxUnitTracks) return PACK_BAD_SETTINGS;
            if (PackResult r = encode_frame(*e, data + u.start, u.length, &fc); r != PACK_OK) return r;
            ++seen;
            pos = u.start + u.length;
        }
        if (pos < size) encode_run(*e, data + pos, size - pos, BYTES_CONTAINER);
    } else {
        while (pos < size) {
            const std::size_t length = adts_frame_candidate(data + pos, size - pos);
            if (length == 0) {
                const std::size_t end = next_candidate(data, size, pos + 1);
                encode_run(*e, data + pos, end - pos, BYTES_RAW);
                pos = end;
                continue;
            }
            if (PackResult r = encode_frame(*e, data + pos, length, nullptr); r != PACK_OK) return r;
            pos += length;
        }
    }
    finish_encoder(e->rc);
    charge_unit(*e, FAMILY_STRUCTURE);
    return PACK_OK;
}

}  // namespace

namespace {

// What a format version's payloads of units hold and remember, beyond version 3's.
struct UnitCoding {
    bool fields = false;      // length fields and remembered runs (version 6)
    bool tracks = false;      // access units name their tracks (version 7)
    bool keep_short = false;  // a split chunk's short runs stay in the payload (version 8)
    bool gaps = false;        // the gap memory and the track before the last (version 9)
    bool places = false;      // tables of places (version 11)
};

UnitCoding unit_coding(unsigned version) {
    if (generation_of(version) != Generation::GEN4) return {};
    return {has_length_fields(version), has_unit_tracks(version), keeps_short_runs(version), has_gap_memory(version),
            has_place_tables(version)};
}

template <class Model>
PackResult encode_with(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload, PackStats* stats,
                bool check_frames, const std::vector<ChunkUnit>* units, bool runs_apart, const UnitCoding& how) {
    auto e = std::make_unique<ChunkEncoder<Model>>();
    if (!e->buf.started) return PACK_BUILD_FAULT;
    e->stats = stats;
    e->check_frames = check_frames;
    e->runs_apart = units != nullptr && runs_apart;
    e->fields = how.fields;
    e->tracks = how.tracks;
    e->keep_short = how.keep_short;
    if (units != nullptr && how.gaps) e->gaps = std::make_unique<GapMemory>();
    if (units != nullptr && how.places) e->places = std::make_unique<PlaceModels>();
    return encode_units(e.get(), data, size, payload, units);
}

// An access unit at pos as the encoder is given one.
ChunkUnit access_unit(std::size_t pos, std::size_t length, const FrameContext& fc) {
    ChunkUnit u;
    u.start = static_cast<std::uint32_t>(pos);
    u.length = static_cast<std::uint32_t>(length);
    u.object_type = fc.object_type;
    u.sf_index = fc.sf_index;
    u.track = fc.track;
    return u;
}

template <class Model>
PackResult decode_with(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out, std::size_t original_size,
                bool units, UnitTrace* trace, bool runs_apart, const UnitCoding& how) {
    CodecBuffers<Model> buf;
    if (!buf.started) return PACK_BUILD_FAULT;
    Model& m = *buf.model;
    RangeDecoder rc;
    start_decoder(rc, payload, payload_size);
    FrameContext context;
    bool has_context = false;
    const ByteClass run_class = units ? BYTES_CONTAINER : BYTES_RAW;
    std::uint32_t expected = 0;
    std::uint32_t seen = 0;  // access units so far
    const bool fields = how.fields, keep_short = how.keep_short;
    LengthFieldModels field;
    auto run_memory = std::make_unique<RunMemory>();
    const std::unique_ptr<GapMemory> gaps = units && how.gaps ? std::make_unique<GapMemory>() : nullptr;
    const std::unique_ptr<PlaceModels> places = units && how.places ? std::make_unique<PlaceModels>() : nullptr;
    std::size_t pos = 0;
    while (pos < original_size) {
        if (rc.overrun > kMaxDecoderOverrun) return PACK_PAYLOAD_ENDS_EARLY;
        const std::size_t left = original_size - pos;
        GapElement el;
        code_gap_element(rc, m.units, field, places.get(), gaps.get(), units, fields, el);
        if (el.kind != GAP_UNIT) {
            if (el.kind == GAP_PLACES) {
                ChunkUnit table;
                table.kind = UNIT_PLACES;
                table.start = static_cast<std::uint32_t>(pos);
                table.length = 4;
                if (!code_places(rc, *places, table) || table.length > left) return PACK_SIZE_TABLE_PAST;
                std::memset(out + pos, 0, table.length);
                if (trace != nullptr) trace->units.push_back(table);
                pos += table.length;
                continue;
            }
            if (el.kind == GAP_FIELD) {
                FieldShape shape;
                if (!code_field(rc, field, shape) || shape.width > left || shape.unit + std::int64_t{seen} < 0)
                    return PACK_SIZE_TABLE_PAST;
                std::memset(out + pos, 0, shape.width);
                if (trace != nullptr) {
                    ChunkUnit f;
                    f.kind = UNIT_FIELD;
                    f.start = static_cast<std::uint32_t>(pos);
                    f.length = shape.width;
                    f.first_index = static_cast<std::uint32_t>(shape.unit + std::int64_t{seen});
                    f.addend = shape.addend;
                    trace->units.push_back(f);
                }
                pos += shape.width;
                continue;
            }
            if (el.kind == GAP_SIZES) {
                std::uint32_t first = 0, count = 1;
                code_sizes(rc, m.units, expected, first, count);
                if (count > left / 4 || first >= kMaxDerivedUnits || count > kMaxDerivedUnits - first)
                    return PACK_SIZE_TABLE_PAST;
                std::memset(out + pos, 0, 4 * std::size_t{count});
                if (trace != nullptr) {
                    ChunkUnit table;
                    table.kind = UNIT_SIZES;
                    table.start = static_cast<std::uint32_t>(pos);
                    table.length = 4 * count;
                    table.first_index = first;
                    trace->units.push_back(table);
                }
                pos += 4 * std::size_t{count};
                continue;
            }
            const std::size_t run = el.run;
            if (run == 0 || run > left) return PACK_RUN_PAST_CHUNK;
            if (units && runs_apart && !(keep_short && run <= kRemembered)) {
                pos += run;
                continue;
            }
            if (units && fields) {
                code_container_run(rc, *run_memory, m, out + pos, run);
            } else {
                code_bytes(rc, m, run_class, out + pos, run);
            }
            pos += run;
            continue;
        }
        FrameContext fc;
        if (units && !code_unit_context(rc, m, context, has_context, fc, how.tracks, gaps.get()))
            return PACK_UNIT_CONTEXT;
        if (code_bit(rc, m.units.frame_modelled, 0)) {
            CoderIo<Model, RangeDecoder> io;
            io.rc = &rc;
            io.m = &m;
            bitsink_create(io.sink, buf.frame.get(), kFrameBufferBytes, true);  // only the bytes written are read
            if (units) {
                walk_access_unit(io, fc);
            } else {
                walk_adts_frame(io);
            }
            if (io.failed) return io.why;
            if (units ? io.sink.overflow : !patch_frame_length(io.sink)) return PACK_FRAME_TOO_LONG;
            if (units && (io.sink.bit_position & 7) != 0) return PACK_FRAME_SYNTAX;
            const std::size_t length = bitsink_bytes(io.sink);
            if (length > left) return PACK_FRAME_PAST_CHUNK;
            std::memcpy(out + pos, buf.frame.get(), length);
            if (units && trace != nullptr) trace->units.push_back(access_unit(pos, length, fc));
            ++seen;
            pos += length;
        } else {
            const std::size_t length = code_uint(rc, m.units.raw_frame_length, 0);
            if (length == 0 || length > left) return PACK_FRAME_PAST_CHUNK;
            code_bytes(rc, m, BYTES_RAW, out + pos, length);
            if (units && trace != nullptr) trace->units.push_back(access_unit(pos, length, fc));
            ++seen;
            pos += length;
        }
    }
    return rc.overrun > kMaxDecoderOverrun ? PACK_PAYLOAD_ENDS_EARLY : PACK_OK;
}

}  // namespace

std::string generations_fault() {
    std::string why;
    if (gen4::trained_model(&why) == nullptr) return "the trained model state of format version 4 does not load: " + why;
    return "";
}

PackResult encode_chunk(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload, PackStats* stats,
                 bool check_frames, const std::vector<ChunkUnit>* units, unsigned version, bool runs_apart) {
    payload.clear();
    if (size == 0) return PACK_OK;
    switch (generation_of(version)) {
    case Generation::GEN3:
        return encode_with<gen3::Model>(data, size, payload, stats, check_frames, units, runs_apart, UnitCoding{});
    case Generation::GEN4:
        return encode_with<gen4::Model>(data, size, payload, stats, check_frames, units, runs_apart,
                                        unit_coding(version));
    case Generation::NONE: break;
    }
    return PACK_UNKNOWN_GENERATION;
}

PackResult encode_chunk_on(gen4::Model& model, const std::uint8_t* data, std::size_t size,
                           std::vector<std::uint8_t>& payload) {
    payload.clear();
    if (size == 0) return PACK_OK;
    clear_stream_state(model);
    auto e = std::make_unique<ChunkEncoder<gen4::Model>>(model);
    return encode_units(e.get(), data, size, payload, nullptr);
}

PackResult decode_chunk(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out, std::size_t original_size,
                 bool units, UnitTrace* trace, unsigned version, bool runs_apart) {
    if (trace != nullptr) trace->units.clear();
    if (original_size == 0) return PACK_OK;
    switch (generation_of(version)) {
    case Generation::GEN3:
        return decode_with<gen3::Model>(payload, payload_size, out, original_size, units, trace, runs_apart,
                                        UnitCoding{});
    case Generation::GEN4:
        return decode_with<gen4::Model>(payload, payload_size, out, original_size, units, trace, runs_apart,
                                        unit_coding(version));
    case Generation::NONE: break;
    }
    return PACK_UNKNOWN_GENERATION;
}
