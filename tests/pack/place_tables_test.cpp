// Tables of places: an index's chunk offsets and a video track's sample sizes, derived from where
// the stretches of access units before them lie.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <map>
#include <string>
#include <vector>

#include "pack/container/unit_cuts.h"
#include "pack/container/unit_map.h"
#include "pack/format/chunk_units.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

ChunkUnit unit_at(std::uint32_t start, std::uint32_t length, std::uint8_t track = 0) {
    ChunkUnit u;
    u.start = start;
    u.length = length;
    u.track = track;
    return u;
}

ChunkUnit places(PlaceKind kind, std::uint32_t start, std::uint32_t first, std::uint32_t count,
                 std::uint8_t track = 0) {
    ChunkUnit u;
    u.kind = UNIT_PLACES;
    u.place = kind;
    u.track = track;
    u.start = start;
    u.first_index = first;
    u.length = 4 * count;
    return u;
}

std::uint32_t be32_at(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

// A track's units that follow one another are one stretch, across chunks too; a unit with bytes
// (or another track's unit) before it starts the track's next. The places a table names are
// filled in from them, and a table that names a stretch not yet met, or the gap after the last,
// is refused.
TEST(PlaceTables, StretchesAreCountedByTrackAcrossChunksAndFillTheirTables) {
    UnitLengths known;
    known.stretches = true;
    // chunk at 1000: track 0 at [1000,1100) [1100,1150), track 1 at [1150,1200), track 0 at
    // [1200,1300); the next chunk's first unit continues track 0's stretch, its second starts
    // one after a gap of 50
    ASSERT_TRUE(fill_size_tables({unit_at(0, 100), unit_at(100, 50), unit_at(150, 50, 1), unit_at(200, 100)}, known,
                                 nullptr, 0, 0, 1000));
    ASSERT_TRUE(fill_size_tables({unit_at(0, 20), unit_at(70, 30)}, known, nullptr, 0, 0, 1300));
    EXPECT_EQ(known.tracks[0].start, (std::vector<std::uint32_t>{1000, 1200, 1370}));
    EXPECT_EQ(known.tracks[0].end, (std::vector<std::uint32_t>{1150, 1320, 1400}));
    EXPECT_EQ(known.tracks[1].start, (std::vector<std::uint32_t>{1150}));
    EXPECT_EQ(known.stretch_count, 4u);

    const std::vector<ChunkUnit> tables = {places(PLACE_START, 0, 0, 3), places(PLACE_END, 12, 0, 3),
                                           places(PLACE_GAP, 24, 0, 2), places(PLACE_END, 32, 0, 1, 1)};
    std::vector<std::uint8_t> want(36, 0);
    const std::uint32_t values[] = {1000, 1200, 1370, 1150, 1320, 1400, 50, 50, 1200};
    for (int k = 0; k < 9; ++k)
        for (int b = 0; b < 4; ++b) want[4 * k + b] = static_cast<std::uint8_t>(values[k] >> (24 - 8 * b));
    std::vector<std::uint8_t> out(36, 0xEE);
    EXPECT_TRUE(fill_size_tables(tables, known, out.data(), out.size(), XXH3_64bits(want.data(), want.size()), 5000));
    EXPECT_EQ(out, want);

    for (const ChunkUnit& past : {places(PLACE_START, 0, 1, 3), places(PLACE_GAP, 0, 1, 2), places(PLACE_START, 0, 0, 2, 1),
                                  places(PLACE_START, 0, 0, 1, 2)}) {
        std::vector<std::uint8_t> blank(36, 0);
        EXPECT_FALSE(fill_size_tables({past}, known, blank.data(), blank.size(), 0, 5000));
    }
    std::uint32_t v = 0;
    EXPECT_FALSE(place_of(known, 0, PLACE_GAP, 2, v));  // nothing follows the last stretch yet
    EXPECT_FALSE(place_of(known, 0, static_cast<PlaceKind>(PLACE_KINDS), 0, v));
    EXPECT_FALSE(place_of(known, kMaxUnitTracks, PLACE_START, 0, v));
}

// Stretches are counted only below 4 GiB and up to the limit over all tracks, the same way by
// the packer and the unpacker; a file whose units lie further gives no more of them.
TEST(PlaceTables, StretchesStopAtFourGibibytesAndAtTheirLimit) {
    UnitLengths far;
    far.stretches = true;
    add_stretches({unit_at(0, 10), unit_at(20, 10)}, 0xFFFFFF00u, far);
    EXPECT_EQ(far.tracks[0].start, (std::vector<std::uint32_t>{0xFFFFFF00u, 0xFFFFFF14u}));
    add_stretches({unit_at(0, 0x100)}, 0xFFFFFF80u, far);  // would end past 4 GiB
    add_stretches({unit_at(0, 10)}, 0, far);               // too late: the count has ended
    EXPECT_TRUE(far.stretches_full);
    EXPECT_EQ(far.tracks[0].start.size(), 2u);

    UnitLengths many;
    many.stretches = true;
    std::vector<ChunkUnit> apart;
    for (std::uint32_t k = 0; k < kMaxDerivedStretches + 5; ++k)
        apart.push_back(unit_at(2 * k, 1, static_cast<std::uint8_t>(k % 2)));
    add_stretches(apart, 0, many);
    EXPECT_EQ(many.tracks[0].start.size() + many.tracks[1].start.size(), kMaxDerivedStretches);
    EXPECT_TRUE(many.stretches_full);

    UnitLengths off;  // an earlier format version's run counts none
    add_stretches({unit_at(0, 10)}, 0, off);
    EXPECT_TRUE(off.tracks[0].start.empty());
}

// An MP4 file muxed with video one sample to a chunk, its index after the media: the audio's
// chunk offsets are where its stretches of access units start, the video's (after the first,
// at the media's start) where they end, and a video sample fills the bytes between two
// stretches. The chunk of the index derives them all, the unpacker fills them in from the
// stretches it has written, and an earlier format version's cut derives none.
TEST(PlaceTables, AnIndexAfterTheMediaDerivesWhereTheAudioLies) {
    const std::string file = read_file(test_data("video/one_sample_chunks.mp4"));
    const Bytes data = bytes_of(file);
    MemorySource m{data.data(), data.size(), 0};
    UnitPlan plan;
    map_units(RandomReader{&m, read_memory_at, data.size()}, plan);
    ASSERT_EQ(plan.source, UnitSource::ISO_MEDIA);
    ASSERT_EQ(plan.units.size(), 53u);

    const std::size_t stco_audio = file.find("stco") + 12, stco_video = file.rfind("stco") + 12;
    const std::size_t stsz_video = file.rfind("stsz") + 16;
    for (const bool with_places : {true, false}) {
        SCOPED_TRACE(with_places ? "places" : "without places");
        UnitCuts cuts;
        cuts.plan = &plan;
        cuts.places = cuts.numbered.stretches = with_places;
        struct Chunk {
            std::uint64_t at;
            std::vector<ChunkUnit> units;
        };
        std::vector<Chunk> chunks;
        std::map<int, std::vector<std::uint64_t>> derived;  // place kind: the entries' offsets
        for (std::uint64_t at = 0; at < data.size();) {
            Chunk c{at, {}};
            std::size_t first = 0;
            const std::size_t n = cut_unit_chunk(cuts, at, data.size() - at, 0, c.units, first);
            ASSERT_GT(n, 0u);
            if (size_table_ahead(cuts, at, n)) add_size_tables(cuts, at, data.data() + at, n, first, c.units);
            ASSERT_TRUE(number_units(cuts, first, c.units, data.data() + at, n, XXH3_64bits(data.data() + at, n), at));
            for (const ChunkUnit& u : c.units)
                if (u.kind == UNIT_PLACES)
                    for (std::uint32_t k = 0; k < u.length / 4; ++k) derived[u.place].push_back(at + u.start + 4 * k);
            chunks.push_back(c);
            at += n;
        }
        if (!with_places) {
            EXPECT_TRUE(derived.empty());
            continue;
        }
        // every audio chunk offset; every video chunk offset but the first; the video samples
        // alone in their chunks between two audio stretches
        const std::uint32_t audio_chunks = be32_at(data.data() + stco_audio - 4);
        const std::uint32_t video_chunks = be32_at(data.data() + stco_video - 4);
        ASSERT_EQ(derived[PLACE_START].size(), audio_chunks);
        EXPECT_EQ(derived[PLACE_START].front(), stco_audio);
        ASSERT_EQ(derived[PLACE_END].size(), video_chunks - 1);
        EXPECT_EQ(derived[PLACE_END].front(), stco_video + 4);
        ASSERT_GE(derived[PLACE_GAP].size(), video_chunks - 3);
        for (std::uint64_t at : derived[PLACE_GAP]) EXPECT_TRUE(at > stsz_video && at < stco_video);

        UnitLengths known;
        known.stretches = true;
        for (const Chunk& c : chunks) {
            std::vector<std::uint8_t> blank(data.begin() + c.at,
                                            data.begin() + (&c == &chunks.back() ? data.size() : (&c + 1)->at));
            for (const ChunkUnit& u : c.units)
                if (u.kind != UNIT_ACCESS) std::fill_n(blank.begin() + u.start, u.length, 0);
            EXPECT_TRUE(fill_size_tables(c.units, known, blank.data(), blank.size(),
                                         XXH3_64bits(data.data() + c.at, blank.size()), c.at));
            EXPECT_TRUE(std::equal(blank.begin(), blank.end(), data.begin() + c.at));
        }
    }
}
