// Length fields of containers (an FLV tag's data size and the size of the tag before, a
// Matroska block's size): found beside the access units, coded as nothing but their shape, and
// filled in again from the lengths of the units they name. From version 9 the whole layout
// between two units (runs, fields) is coded as the same as the one before, where it is.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <xxhash.h>

#include "pack/container/unit_cuts.h"
#include "pack/driver/pack_file.h"
#include "pack/model/chunk_codec.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

std::uint64_t xxh3(const Bytes& b) { return XXH3_64bits(b.data(), b.size()); }

void put_be(Bytes& out, std::uint64_t v, unsigned width) {
    for (unsigned b = width; b-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
}

// Tags laid out as FLV lays out AAC: an 11-byte header holding the body's size (the unit and
// two bytes before it), the body, and the size of the whole tag after it. The time stamp
// steps on as FLV's does.
struct Tags {
    Bytes data;
    std::vector<ChunkUnit> units;
};

Tags flv_like(const std::vector<Bytes>& bodies) {
    Tags t;
    std::uint32_t time = 0;
    for (const Bytes& body : bodies) {
        t.data.push_back(8);
        put_be(t.data, body.size() + 2, 3);
        put_be(t.data, time, 3);
        t.data.insert(t.data.end(), {0, 0, 0, 0, 0xAF, 0x01});
        ChunkUnit u;
        u.start = static_cast<std::uint32_t>(t.data.size());
        u.length = static_cast<std::uint32_t>(body.size());
        t.units.push_back(u);
        t.data.insert(t.data.end(), body.begin(), body.end());
        put_be(t.data, body.size() + 13, 4);
        time += 23 + time % 2;
    }
    return t;
}

std::vector<Bytes> bodies_of(const std::vector<std::size_t>& lengths) {
    std::vector<Bytes> out;
    for (std::size_t k = 0; k < lengths.size(); ++k) out.push_back(random_bytes(lengths[k], static_cast<unsigned>(k + 1)));
    return out;
}

std::vector<ChunkUnit> fields_of(const std::vector<ChunkUnit>& units) {
    std::vector<ChunkUnit> out;
    for (const ChunkUnit& u : units)
        if (u.kind == UNIT_FIELD) out.push_back(u);
    return out;
}

// The chunk with its fields zeroed, filled in again from the units' lengths.
bool fills_back(const Bytes& data, const std::vector<ChunkUnit>& units) {
    Bytes blank = data;
    for (const ChunkUnit& u : fields_of(units)) std::fill_n(blank.begin() + u.start, u.length, 0);
    UnitLengths known;
    return fill_size_tables(units, known, blank.data(), blank.size(), xxh3(data), 0) && blank == data;
}

TEST(LengthFields, FlvSizesAreFoundAndFilledBack) {
    Tags t = flv_like(bodies_of({180, 201, 170, 199, 230, 185}));
    const std::vector<ChunkUnit> access = t.units;
    add_length_fields(t.data.data(), t.data.size(), t.units);
    const std::vector<ChunkUnit> fields = fields_of(t.units);
    // a data size before every unit (the tag type byte before it taken in, as a constant),
    // and the tag's size after every unit
    ASSERT_EQ(fields.size(), 12u);
    for (std::size_t k = 0; k < fields.size(); ++k) {
        SCOPED_TRACE(k);
        const ChunkUnit& f = fields[k];
        const std::size_t unit = k / 2;
        EXPECT_EQ(f.first_index, unit);
        EXPECT_EQ(f.length, 4u);
        if (k % 2 == 0) {
            EXPECT_EQ(f.start, access[unit].start - 13);
            EXPECT_EQ(f.addend, (8 << 24) + 2);
        } else {
            EXPECT_EQ(f.start, access[unit].start + access[unit].length);
            EXPECT_EQ(f.addend, 13);
        }
    }
    EXPECT_TRUE(fills_back(t.data, t.units));
    // a field that no longer holds its unit's length does not fill back
    std::vector<ChunkUnit> wrong = t.units;
    for (ChunkUnit& u : wrong)
        if (u.kind == UNIT_FIELD) {
            ++u.addend;
            break;
        }
    EXPECT_FALSE(fills_back(t.data, wrong));
}

TEST(LengthFields, OnlyFieldsThatFollowTheirUnitsAreTaken) {
    // units of one length: a constant byte would pass for a field, so none is taken
    Tags same = flv_like(bodies_of({190, 190, 190, 190}));
    add_length_fields(same.data.data(), same.data.size(), same.units);
    EXPECT_TRUE(fields_of(same.units).empty());

    // one tag whose data size has a high byte its length does not give: only the two bytes
    // below it are taken as the field there, the changed byte stays the container's
    Tags t = flv_like(bodies_of({180, 201, 170, 199, 230}));
    const std::uint32_t third = t.units[2].start;
    t.data[third - 12] ^= 0x01;
    add_length_fields(t.data.data(), t.data.size(), t.units);
    EXPECT_EQ(fields_of(t.units).size(), 10u);
    for (const ChunkUnit& f : fields_of(t.units)) {
        if (f.first_index != 2 || f.start > third) continue;
        EXPECT_EQ(f.start, third - 11);
        EXPECT_EQ(f.length, 2u);
        EXPECT_EQ(f.addend, 2);
    }
    EXPECT_TRUE(fills_back(t.data, t.units));

    // a chunk of one unit has nothing to compare with
    Tags one = flv_like(bodies_of({180}));
    add_length_fields(one.data.data(), one.data.size(), one.units);
    EXPECT_TRUE(fields_of(one.units).empty());
}

TEST(LengthFields, CodedAsShapesFromVersionSixOnly) {
    const std::string stereo = read_file(test_data("lc_stereo_44k.aac"));
    const std::vector<std::size_t> at = adts_frame_bounds(stereo);
    std::vector<Bytes> bodies;
    for (std::size_t k = 0; k + 1 < at.size(); ++k) bodies.push_back(bytes_of(stereo.substr(at[k] + 7, at[k + 1] - at[k] - 7)));
    Tags t = flv_like(bodies);
    for (ChunkUnit& u : t.units) {
        u.object_type = 2;
        u.sf_index = 4;
    }
    const std::vector<ChunkUnit> plain = t.units;
    add_length_fields(t.data.data(), t.data.size(), t.units);
    ASSERT_EQ(fields_of(t.units).size(), 2 * bodies.size());

    Bytes with_fields, without, back(t.data.size());
    ASSERT_EQ(encode_chunk(t.data.data(), t.data.size(), with_fields, nullptr, true, &t.units, 6), PACK_OK);
    ASSERT_EQ(encode_chunk(t.data.data(), t.data.size(), without, nullptr, true, &plain, 6), PACK_OK);
    // the sizes and the headers' repeats cost a few bits a tag where they cost bytes
    EXPECT_LT(with_fields.size() + 4 * bodies.size(), without.size());
    UnitTrace trace;
    ASSERT_EQ(decode_chunk(with_fields.data(), with_fields.size(), back.data(), back.size(), true, &trace, 6), PACK_OK);
    EXPECT_EQ(fields_of(trace.units).size(), 2 * bodies.size());
    UnitLengths known;
    ASSERT_TRUE(fill_size_tables(trace.units, known, back.data(), back.size(), xxh3(t.data), 0));
    EXPECT_TRUE(back == t.data);
    // versions before 6 have no fields to code
    EXPECT_EQ(encode_chunk(t.data.data(), t.data.size(), without, nullptr, true, &t.units, 5), PACK_BAD_SETTINGS);
}

// The samples of each form pack smaller at version 6 than at 5, and come back.
TEST(LengthFields, ContainerSamplesGainFromThem) {
    for (const char* name : {"flv/ff_stereo.flv", "flv/gst_mono.flv", "mkv/ff_stereo.mka", "mkv/gst_mono.mka"}) {
        SCOPED_TRACE(name);
        const Bytes file = bytes_of(read_file(test_data(name)));
        std::size_t sizes[2] = {};
        for (const unsigned version : {5u, 6u}) {
            PackSettings settings;
            settings.format_version = version;
            settings.input_size = file.size();
            MemorySource src{file.data(), file.size(), 0}, whole{file.data(), file.size(), 0};
            const RandomReader reader{&whole, read_memory_at, file.size()};
            Bytes packed, back;
            PackReport report;
            ASSERT_EQ(pack_input(memory_source(src), &reader, vector_sink(packed), settings, report), PACK_OK);
            ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, report), PACK_OK) << report.message;
            EXPECT_TRUE(back == file);
            sizes[version - 5] = packed.size();
        }
        EXPECT_LT(sizes[1], sizes[0]);
    }
}

// The bodies of real frames in FLV-like tags with their fields, as a chunk of units codes them.
Tags real_tags() {
    const std::string stereo = read_file(test_data("lc_stereo_44k.aac"));
    const std::vector<std::size_t> at = adts_frame_bounds(stereo);
    std::vector<Bytes> bodies;
    for (int round = 0; round < 3; ++round)  // long enough for the models to learn the layout
        for (std::size_t k = 0; k + 1 < at.size(); ++k)
            bodies.push_back(bytes_of(stereo.substr(at[k] + 7, at[k + 1] - at[k] - 7)));
    Tags t = flv_like(bodies);
    for (ChunkUnit& u : t.units) u.sf_index = 4;
    add_length_fields(t.data.data(), t.data.size(), t.units);
    return t;
}

std::size_t coded_size(const Tags& t, unsigned version) {
    Bytes payload, back(t.data.size());
    EXPECT_EQ(encode_chunk(t.data.data(), t.data.size(), payload, nullptr, true, &t.units, version), PACK_OK);
    UnitTrace trace;
    EXPECT_EQ(decode_chunk(payload.data(), payload.size(), back.data(), back.size(), true, &trace, version), PACK_OK);
    EXPECT_EQ(trace.units.size(), t.units.size());
    UnitLengths known;
    EXPECT_TRUE(fill_size_tables(trace.units, known, back.data(), back.size(), xxh3(t.data), 0));
    EXPECT_TRUE(back == t.data);
    return payload.size();
}

// A run, a field, a run, a unit and a field between every two units cost close to nothing from
// version 9 (before, each element's kind and each run's length cost a bit or more): at least two
// bits a tag less.
TEST(LengthFields, TheLayoutBetweenUnitsRepeatsFromVersion9) {
    const Tags t = real_tags();
    const std::size_t v8 = coded_size(t, 8), v9 = coded_size(t, 9);
    EXPECT_LT(v9 + t.units.size() / 4, v8) << v9 << " against " << v8 << ", " << t.units.size() << " tags";

    // a layout that changes at random decodes back as exactly, and costs at most a little more
    std::mt19937 rng(9);
    Tags odd;
    for (std::size_t k = 0; k < t.units.size(); ++k) {
        const ChunkUnit& u = t.units[k];
        const std::size_t pos = odd.data.size();
        const Bytes junk = random_bytes(1 + rng() % 40, static_cast<unsigned>(k));
        if (rng() % 2 == 0) odd.data.insert(odd.data.end(), junk.begin(), junk.end());
        ChunkUnit v = u;
        v.start = static_cast<std::uint32_t>(odd.data.size());
        odd.units.push_back(v);
        odd.data.insert(odd.data.end(), t.data.begin() + u.start, t.data.begin() + u.start + u.length);
        (void)pos;
    }
    const std::size_t odd8 = coded_size(odd, 8), odd9 = coded_size(odd, 9);
    EXPECT_LT(odd9, odd8 + odd8 / 200);
}

// Damaged payloads of units from version 9 are refused or decode to something, never past the
// chunk nor forever.
TEST(LengthFields, DamagedPayloadsOfVersion9StayInBounds) {
    const Tags t = real_tags();
    Bytes payload;
    ASSERT_EQ(encode_chunk(t.data.data(), t.data.size(), payload, nullptr, true, &t.units, 9), PACK_OK);
    std::mt19937 rng(5);
    unsigned failures = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const Bytes damaged = damaged_copy(payload, rng, trial, 4, 3);
        Bytes out(t.data.size() + 64, 0x5A);
        UnitTrace trace;
        failures += decode_chunk(damaged.data(), damaged.size(), out.data(), t.data.size(), true, &trace, 9) != PACK_OK;
        for (std::size_t i = t.data.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0x5A) << "wrote past the end";
    }
    EXPECT_GT(failures, 100u);
}

}  // namespace
