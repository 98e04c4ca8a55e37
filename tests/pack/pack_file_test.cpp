// The packed form's driver through its API: every input comes back byte for byte, whatever
// the chunking and thread count; the records on disk keep their bounds; damage of any kind
// ends in a named problem, never in a wrong result reported as good.
#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <xxhash.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pack/container/unit_cuts.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

PackSettings small_chunks(unsigned threads) {
    PackSettings s;
    s.threads = threads;
    s.max_frames = 3;
    s.max_other_bytes = 700;
    s.chunk_cap = 4096;
    return s;
}

// The records of a packed file, read through the format's field tables as the unpacker does
// but walked here on their own: false when the layout does not hold (a record past the end, an
// unknown tag, a record check that fails, anything after the end record).
struct Walk {
    std::vector<ChunkRecord> chunks;
    std::vector<std::size_t> at;  // where each chunk record starts
    EndRecord end;
};

bool walk_records(const Bytes& packed, Walk& w) {
    if (packed.size() < kFileHeaderSize || !has_pack_magic(packed.data(), packed.size())) return false;
    for (std::size_t pos = kFileHeaderSize; pos < packed.size();) {
        if (packed[pos] == kEndTag)
            return pos + kEndRecordSize == packed.size() && read_end_record(&packed[pos], w.end);
        ChunkRecord r;
        if (packed[pos] != kChunkTag || pos + kChunkRecordSize > packed.size() || !read_chunk_record(&packed[pos], r))
            return false;
        w.chunks.push_back(r);
        w.at.push_back(pos);
        pos += kChunkRecordSize + r.packed_length;
    }
    return false;
}

// Every input comes back whatever the chunking and thread count. Each names the methods its
// chunks take at the default size: what no method makes smaller is stored, frames go to the
// model, and zstd takes what is not AAC and a frame the models cannot read where it does better
// than the byte model (long repeats, as in ADIF and raw streams).
TEST(PackRoundTrip, EveryInputComesBackWhateverTheChunkingAndThreads) {
    const Bytes stereo = bytes_of(read_file(test_data("lc_stereo_44k.aac")));
    const Bytes mono = bytes_of(read_file(test_data("lc_mono_8k.aac")));
    // its two halves, cut inside a frame (the same frames twice over would go to zstd)
    const auto middle = stereo.begin() + static_cast<std::ptrdiff_t>(stereo.size() / 2);
    const Bytes half(stereo.begin(), middle), rest(middle, stereo.end());
    const Bytes id3 = concat({bytes_of(std::string("ID3\x04\x00\x00\x00\x00\x00\x20", 10)), Bytes(32, 0x41)});
    std::string text, repeats;
    for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " of some notes\n";
    for (int i = 0; i < 600; ++i) repeats += "a line that repeats " + std::to_string(i % 7) + "\n";
    const Bytes loas = bytes_of(read_file(test_data("loas/lc_stereo_44k.loas")));
    Bytes unreadable = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC};  // an ADTS header of a 16-byte frame
    unreadable.resize(16, 0xEE);
    struct Input {
        const char* name;
        Bytes data;
        std::vector<std::uint64_t> chunks_by_method;  // stored, zstd, model, units, ts, split, loas, lzma
    };
    const Input inputs[] = {
        {"empty", {}, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"one byte", {0xFF}, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"random", random_bytes(70000, 1), {1, 0, 0, 0, 0, 0, 0, 0}},
        {"zeros past the chunk cap", Bytes(5u << 20, 0), {0, 5, 0, 0, 0, 0, 0, 0}},
        {"text", bytes_of(text), {0, 1, 0, 0, 0, 0, 0, 0}},
        {"tags only", id3, {0, 1, 0, 0, 0, 0, 0, 0}},
        {"unreadable frame and repeated text", concat({unreadable, bytes_of(repeats)}), {0, 1, 0, 0, 0, 0, 0, 0}},
        {"stereo", stereo, {0, 0, 1, 0, 0, 0, 0, 0}},
        {"two files glued", concat({stereo, mono}), {0, 0, 1, 0, 0, 0, 0, 0}},
        {"junk between frames", concat({half, random_bytes(333, 2), id3, rest}), {0, 0, 1, 0, 0, 0, 0, 0}},
        {"cut in a frame", Bytes(stereo.begin(), stereo.begin() + static_cast<std::ptrdiff_t>(stereo.size() / 3)),
         {0, 0, 1, 0, 0, 0, 0, 0}},
        {"transport stream", bytes_of(read_file(test_data("ts/ff_stereo.ts"))), {0, 0, 0, 0, 1, 0, 0, 0}},
        {"transport stream of 192-byte packets behind junk",
         concat({random_bytes(100, 3), bytes_of(read_file(test_data("ts/ff_stereo.m2ts")))}), {0, 0, 0, 0, 1, 0, 0, 0}},
        {"transport stream of LATM", bytes_of(read_file(test_data("ts/latm_mono.ts"))), {0, 0, 0, 0, 1, 0, 0, 0}},
        {"LOAS stream", loas, {0, 0, 0, 0, 0, 0, 1, 0}},
        {"LOAS stream cut in a frame, behind junk",
         concat({random_bytes(200, 4), Bytes(loas.begin(), loas.begin() + 9000)}), {0, 0, 0, 0, 0, 0, 1, 0}},
        {"transport stream beside noisy video", bytes_of(read_file(test_data("ts/noise_video.ts"))),
         {0, 0, 0, 0, 1, 0, 0, 0}},
        {"cue points of every frame", bytes_of(read_file(test_data("mkv/gst_cues.mka"))), {0, 0, 0, 0, 0, 0, 0, 1}},
    };
    for (const Input& input : inputs) {
        SCOPED_TRACE(input.name);
        Bytes one_thread;
        for (PackSettings settings : {PackSettings{}, small_chunks(1), small_chunks(2), small_chunks(5)}) {
            SCOPED_TRACE(settings.chunk_cap);
            // The input past the chunk cap is there for the cap itself; cut into thousands of
            // small chunks it would only repeat the small inputs' case, slowly.
            if (settings.chunk_cap < PackSettings{}.chunk_cap && input.data.size() > PackSettings{}.chunk_cap) continue;
            Bytes packed, back;
            PackReport report;
            ASSERT_EQ(pack_bytes(input.data, packed, settings, report), PACK_OK) << report.message;
            if (settings.chunk_cap == PackSettings{}.chunk_cap) {
                const std::uint64_t* by_method = report.chunks_by_method;
                EXPECT_EQ(std::vector<std::uint64_t>(by_method, by_method + METHOD_COUNT), input.chunks_by_method);
            }
            EXPECT_EQ(report.original_bytes, input.data.size());
            EXPECT_EQ(report.packed_bytes, packed.size());
            ASSERT_EQ(unpack_bytes(packed, back, settings, report), PACK_OK) << report.message;
            EXPECT_TRUE(back == input.data);
            // threads never change the bytes (the small-chunk settings differ in threads only)
            if (settings.chunk_cap != PackSettings{}.chunk_cap) {
                if (settings.threads == 1) one_thread = packed;
                EXPECT_TRUE(packed == one_thread);
            }

            // The records keep the format's bounds and the end record counts them.
            Walk w;
            ASSERT_TRUE(walk_records(packed, w));
            EXPECT_EQ(w.end.chunk_count, w.chunks.size());
            EXPECT_EQ(w.end.whole_length, input.data.size());
            std::uint64_t sum = 0;
            for (const ChunkRecord& r : w.chunks) {
                EXPECT_TRUE(r.original_length >= 1 && r.original_length <= settings.chunk_cap);
                EXPECT_LT(r.method, METHOD_COUNT);
                // nothing costs more than the records: what no method makes smaller is stored
                EXPECT_EQ(r.method == METHOD_STORED, r.packed_length == r.original_length);
                EXPECT_LE(r.packed_length, r.original_length);
                sum += r.original_length;
            }
            EXPECT_EQ(sum, input.data.size());
        }
    }
}

// A container's access units, named to the driver, come back among the container's bytes
// whatever the chunking: each chunk holds whole units (a unit longer than a chunk is carried as
// bytes), a unit that is not AAC at all is carried raw, and the units are coded by the models.
TEST(PackRoundTrip, ContainerUnitsComeBackWhateverTheChunking) {
    const std::string stereo = read_file(test_data("lc_stereo_44k.aac"));
    Bytes container = bytes_of("....ftypM4A ....moov");
    std::string subtitles;  // another track's media
    for (int line = 0; line < 5000; ++line) subtitles += "subtitle line " + std::to_string(line % 300) + "\n";
    std::vector<UnitExtent> units;
    const auto add_unit = [&](const Bytes& unit) {
        units.push_back(UnitExtent{container.size(), unit.size(), 2, 4, 0});
        container.insert(container.end(), unit.begin(), unit.end());
    };
    const std::vector<std::size_t> at = adts_frame_bounds(stereo);
    const std::size_t frames = at.size() - 1;
    for (std::size_t k = 0; k < frames; ++k) {
        add_unit(bytes_of(stereo.substr(at[k] + 7, at[k + 1] - at[k] - 7)));
        if (k % 5 == 4) container.insert(container.end(), {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
        // a long stretch without units after frame 20: a chunk of its own
        if (k == 20) container = concat({container, bytes_of(subtitles)});
    }
    add_unit(random_bytes(300, 9));
    // The index after the media: a table of the units' sizes, one entry of it wrong.
    container = concat({container, bytes_of("....stsz")});
    std::vector<SizeRun> size_runs = {SizeRun{container.size(), static_cast<std::uint32_t>(units.size()), 0}};
    for (std::size_t k = 0; k < units.size(); ++k)
        for (int shift = 24; shift >= 0; shift -= 8)
            container.push_back(static_cast<std::uint8_t>((units[k].size + (k == 7)) >> shift));
    container = concat({container, bytes_of("udta and the rest of the index")});

    Bytes as_bytes;
    PackReport report;
    ASSERT_EQ(pack_bytes(container, as_bytes, PackSettings{}, report), PACK_OK);
    Bytes with_sizes_stored;
    UnitPlan plan;
    plan.source = UnitSource::ISO_MEDIA;
    plan.units = units;
    for (PackSettings settings : {PackSettings{}, PackSettings{}, small_chunks(1), small_chunks(2)}) {
        SCOPED_TRACE(settings.chunk_cap);
        // The sizes are derived from the units (but the wrong entry), except in the first run.
        if (!with_sizes_stored.empty()) plan.size_runs = size_runs;
        settings.plan = &plan;
        Bytes packed, back;
        ASSERT_EQ(pack_bytes(container, packed, settings, report), PACK_OK) << report.message;
        if (with_sizes_stored.empty()) {
            with_sizes_stored = packed;
        } else if (settings.chunk_cap == PackSettings{}.chunk_cap) {
            EXPECT_LT(packed.size() + units.size(), with_sizes_stored.size());
        }
        EXPECT_GT(report.chunks_by_method[METHOD_UNITS], 0u);
        EXPECT_EQ(report.chunks_by_method[METHOD_MODEL], 0u);  // no ADTS frames are looked for
        // units cut by a small chunk are carried as bytes
        EXPECT_GE(report.stats.frames_modelled, settings.chunk_cap == PackSettings{}.chunk_cap ? frames : frames / 2);
        EXPECT_GE(report.stats.frames_raw, 1u);
        if (settings.chunk_cap == PackSettings{}.chunk_cap) {
            EXPECT_LT(packed.size() * 20, as_bytes.size() * 19);
            EXPECT_EQ(report.chunks_by_method[METHOD_ZSTD], 1u);  // the subtitles: repeats, zstd's
        }
        ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, report), PACK_OK) << report.message;
        EXPECT_TRUE(back == container);
        EXPECT_EQ(report.format_version, kPackFormatVersion);
    }
    // Units that overlap, or lie past the input, only cost the model: the bytes still come back.
    plan.size_runs.clear();
    plan.units[1].offset -= 3;
    plan.units.push_back(UnitExtent{container.size() - 4, 100, 2, 4, 0});
    PackSettings settings;
    settings.plan = &plan;
    Bytes packed, back;
    ASSERT_EQ(pack_bytes(container, packed, settings, report), PACK_OK) << report.message;
    ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, report), PACK_OK) << report.message;
    EXPECT_TRUE(back == container);
}

// Access units between another track's samples (video) keep their models: the chunks that
// hold them are split, the samples going to zstd as a stream of their own, where format
// version 5 had zstd take such chunks whole.
TEST(PackRoundTrip, UnitsBesideAnotherTracksSamplesKeepTheirModels) {
    const std::string stereo = read_file(test_data("lc_stereo_44k.aac"));
    const std::vector<std::size_t> at = adts_frame_bounds(stereo);
    const std::size_t frames = at.size() - 1;
    Bytes container = bytes_of("....ftypisom....moov"), aac;
    std::vector<UnitExtent> units;
    const Bytes noise = random_bytes(1500, 11);
    for (std::size_t k = 0; k < frames; ++k) {
        const Bytes unit = bytes_of(stereo.substr(at[k] + 7, at[k + 1] - at[k] - 7));
        units.push_back(UnitExtent{container.size(), unit.size(), 2, 4, 0});
        container = concat({container, unit});
        aac = concat({aac, unit});
        // a video sample: some bytes of its own, the rest as a sample before had them
        Bytes sample = random_bytes(600, static_cast<unsigned>(100 + k));
        sample.insert(sample.end(), noise.begin() + static_cast<std::ptrdiff_t>(k % 500), noise.end());
        container = concat({container, sample});
    }
    container = concat({container, bytes_of("....stsz")});
    UnitPlan plan;
    plan.source = UnitSource::ISO_MEDIA;
    plan.units = units;
    plan.size_runs = {SizeRun{container.size(), static_cast<std::uint32_t>(units.size()), 0}};
    for (const UnitExtent& u : units)
        for (int shift = 24; shift >= 0; shift -= 8) container.push_back(static_cast<std::uint8_t>(u.size >> shift));

    std::size_t packed_v5 = 0;
    Bytes one_thread;
    for (PackSettings settings : {PackSettings{}, small_chunks(1), small_chunks(2)}) {
        SCOPED_TRACE(settings.chunk_cap);
        settings.plan = &plan;
        for (const unsigned version : {5u, 6u}) {
            settings.format_version = version;
            Bytes packed, back;
            PackReport report, unpacked;
            ASSERT_EQ(pack_bytes(container, packed, settings, report), PACK_OK) << report.message;
            ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, unpacked), PACK_OK) << unpacked.message;
            EXPECT_TRUE(back == container);
            if (settings.chunk_cap != PackSettings{}.chunk_cap) {
                if (version == 6 && settings.threads == 1) one_thread = packed;
                if (version == 6 && settings.threads == 2) {
                    EXPECT_TRUE(packed == one_thread);
                }
                continue;
            }
            if (version == 5) {
                EXPECT_EQ(report.chunks_by_method[METHOD_SPLIT], 0u);
                packed_v5 = packed.size();
                continue;
            }
            EXPECT_GT(report.chunks_by_method[METHOD_SPLIT], 0u);
            EXPECT_EQ(report.stats.frames_modelled, frames);
            // the access units cost what the models make of them, not what zstd does
            EXPECT_LT(packed.size() + aac.size() / 10, packed_v5);
        }
    }
}

// Whatever the input, the packed file fits in pack_bound: stored chunks cost no more than their
// bytes, so the worst inputs are those that would be cut into many short chunks that do not
// compress (a size table after every unit cut 40,001 chunks of 7 bytes before the bound was
// kept). Each is packed as a file of known length and as a pipe.
TEST(PackBound, HoldsForInputsCutIntoManyShortChunks) {
    struct Case {
        const char* what;
        Bytes input;
        UnitPlan plan;
    };
    Case cases[] = {{"tiny ADTS frames", {}, {}},
                    {"a million one-byte units", random_bytes(1000000, 11), {}},
                    {"a size table after every unit", {}, {}},
                    {"units between long stretches", {}, {}},
                    {"random bytes", random_bytes(3000000, 12), {}},
                    {"transport stream packets of random bytes", random_bytes(188 * 16000, 13), {}}};
    // ADTS frames of a header and a byte each: 2048 frames are a chunk of 16 KiB.
    Case& tiny = cases[0];
    for (int i = 0; i < 120000; ++i)
        tiny.input.insert(tiny.input.end(), {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x1F, 0xFC, static_cast<std::uint8_t>(i)});
    // A million one-byte access units, one after another.
    for (std::size_t k = 0; k < 1000000; ++k) cases[1].plan.units.push_back(UnitExtent{k, 1, 2, 4, 0});
    // Units of a few bytes, each followed by a size table entry naming it: a table after its
    // units would start a chunk of its own.
    Case& tables = cases[2];
    for (std::uint32_t k = 0; k < 40000; ++k) {
        tables.plan.units.push_back(UnitExtent{tables.input.size(), 3, 2, 4, 0});
        tables.input.insert(tables.input.end(), {0x21, static_cast<std::uint8_t>(k), 0x55});
        tables.plan.size_runs.push_back(SizeRun{tables.input.size(), 1, k});
        tables.input.insert(tables.input.end(), {0, 0, 0, 3});
    }
    // Short runs of units between long stretches without any.
    Case& stretches = cases[3];
    for (int k = 0; k < 60; ++k) {
        stretches.plan.units.push_back(UnitExtent{stretches.input.size(), 2, 2, 4, 0});
        stretches.input = concat({stretches.input, random_bytes(kContainerGapChunk + 2, static_cast<unsigned>(k))});
    }

    for (std::size_t at = 0; at < cases[5].input.size(); at += 188) cases[5].input[at] = 0x47;
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.plan.source = UnitSource::ISO_MEDIA;  // used where the case names units
        for (const bool known : {true, false}) {
            PackSettings settings;
            settings.input_size = known ? c.input.size() : 0;
            if (!c.plan.units.empty()) settings.plan = &c.plan;
            Bytes packed, back;
            PackReport report;
            ASSERT_EQ(pack_bytes(c.input, packed, settings, report), PACK_OK) << report.message;
            EXPECT_LE(packed.size(), pack_bound(c.input.size())) << report.chunks << " chunks";
            ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, report), PACK_OK) << report.message;
            EXPECT_TRUE(back == c.input);
        }
    }
}

// Repeats the models code frame by frame (the same frames twice, identical frames) are left to
// zstd where it does better: the packed file is then zstd's size but for its records, and the
// line says the frames were found but not modelled.
TEST(PackRoundTrip, RepeatsAreNeverPackedLargerThanZstdMakesThem) {
    const Bytes stereo = bytes_of(read_file(test_data("lc_stereo_44k.aac")));
    for (const Bytes& input : {concat({stereo, stereo}), bytes_of(read_file(test_data("crafted/dense_lines_44k.aac")))}) {
        Bytes packed, back, z(ZSTD_compressBound(input.size()));
        z.resize(ZSTD_compress(z.data(), z.size(), input.data(), input.size(), 19));
        PackSettings settings;
        settings.input_size = input.size();
        PackReport report;
        ASSERT_EQ(pack_bytes(input, packed, settings, report), PACK_OK) << report.message;
        EXPECT_LE(packed.size(), z.size() + kFileHeaderSize + kChunkRecordSize + kEndRecordSize + 8);
        EXPECT_EQ(report.chunks_by_method[METHOD_ZSTD], 1u);
        ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, report), PACK_OK);
        EXPECT_TRUE(back == input);
    }
}

// Syncwords scattered through other data are frame candidates of which few parse: the line
// does not call such a file ADTS. A real ADTS file is named by its first frame.
TEST(PackRoundTrip, ScatteredSyncwordsDoNotMakeAFileAdts) {
    std::mt19937 rng(5);
    Bytes noise(40000);
    for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(rng());
    for (std::size_t at = 1000; at + 400 < noise.size(); at += 1300) {  // LC, 44.1 kHz, stereo, 300 bytes
        const std::uint8_t header[7] = {0xFF, 0xF1, 0x50, 0x80, 0x25, 0x9F, 0xFC};
        std::copy(header, header + 7, noise.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const Bytes adts = bytes_of(read_file(test_data("lc_stereo_44k.aac")));
    for (const Bytes* input : {static_cast<const Bytes*>(&noise), &adts}) {
        Bytes packed;
        PackSettings settings;
        settings.input_size = input->size();
        PackReport report;
        MemorySource src{input->data(), input->size(), 0};
        ASSERT_EQ(pack_input(memory_source(src), nullptr, vector_sink(packed), settings, report), PACK_OK) << report.message;
        if (input == &noise) {
            EXPECT_GT(report.frames, 10u);
            EXPECT_LT(report.frames_parsed * 2, report.frames);
            EXPECT_EQ(report.units, "");
        } else {
            EXPECT_EQ(report.frames_parsed, 53u);
            EXPECT_EQ(report.units, "ADTS (LC, 44.1 kHz, stereo), 53 frames");
        }
    }
}

// An input of known length is cut into an even number of chunks of about the same size, so
// that two threads finish together; a wrong length only changes the cut, never the result.
TEST(PackRoundTrip, KnownLengthIsCutIntoAnEvenNumberOfEqualChunks) {
    const Bytes song = bytes_of(read_file(test_data("lc_stereo_44k.aac")));
    Bytes input;
    while (input.size() < 2 * kPackChunkAlone + 100000) input.insert(input.end(), song.begin(), song.end());
    const auto chunk_sizes = [](const Bytes& data, std::uint64_t input_size) {
        PackSettings settings;
        settings.input_size = input_size;
        Bytes packed, back;
        PackReport report;
        Walk w;
        std::vector<std::uint64_t> sizes;
        if (pack_bytes(data, packed, settings, report) == PACK_OK &&
            unpack_bytes(packed, back, settings, report) == PACK_OK && back == data && walk_records(packed, w))
            for (const ChunkRecord& r : w.chunks) sizes.push_back(r.original_length);
        return sizes;
    };
    const std::vector<std::uint64_t> halves = chunk_sizes(input, input.size());
    ASSERT_EQ(halves.size(), 2u);
    // each chunk ends with the frame that reaches half the input, a few hundred bytes at most
    EXPECT_GE(halves[0], input.size() / 2);
    EXPECT_LT(halves[0] - halves[1], 2000u);

    // Under twice the smallest chunk worth splitting, the input stays whole.
    const Bytes smaller(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(2 * kPackChunkAlone - 1));
    EXPECT_EQ(chunk_sizes(smaller, smaller.size()).size(), 1u);
    // A length said too short cuts more, shorter chunks; one said too long, longer ones.
    const std::vector<std::uint64_t> short_said = chunk_sizes(input, input.size() / 3);
    ASSERT_EQ(short_said.size(), 3u);
    EXPECT_LE(short_said[0], input.size() / 3 + 2000);
    const std::vector<std::uint64_t> long_said = chunk_sizes(input, 2 * kPackChunkTarget);
    ASSERT_EQ(long_said.size(), 2u);
    EXPECT_GE(long_said[0], kPackChunkTarget);
}

// A codec whose decoder does not give back what its encoder took: packing must stop rather
// than keep a chunk it cannot restore.
PackResult encode_to_copy(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload, PackStats* stats,
                   bool /*check_frames*/, const std::vector<ChunkUnit>* /*units*/, unsigned /*version*/,
                   bool /*runs_apart*/) {
    payload.assign(data, data + size / 2);
    if (stats != nullptr) stats->frames_raw += 1;
    return PACK_OK;
}
PackResult decode_wrongly(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out, std::size_t size,
                   bool /*units*/, UnitTrace* /*trace*/, unsigned /*version*/, bool /*runs_apart*/) {
    for (std::size_t i = 0; i < size; ++i) out[i] = payload[i % payload_size];
    return PACK_OK;
}

// A codec whose quick attempt (frames not written back first) goes wrong: the chunk must be
// coded again with every frame checked, not lost to the fallback and not kept damaged.
PackResult encode_quick_wrongly(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload,
                                PackStats* stats, bool check_frames, const std::vector<ChunkUnit>* units,
                                unsigned version, bool runs_apart) {
    const PackResult r = encode_chunk(data, size, payload, stats, check_frames, units, version, runs_apart);
    if (!check_frames && !payload.empty()) payload[payload.size() / 2] ^= 0x5A;
    return r;
}

TEST(PackVerification, ChunkThatDoesNotDecodeBackStopsThePackingOrIsCodedAgainWithChecks) {
    const Bytes input = bytes_of(read_file(test_data("lc_mono_8k.aac")));
    PackSettings wrong = small_chunks(2), quick_wrong = small_chunks(2);
    wrong.coder.encode = encode_to_copy;
    wrong.coder.decode = decode_wrongly;
    quick_wrong.coder.encode = encode_quick_wrongly;
    Bytes packed, normal;
    PackReport report;
    EXPECT_EQ(pack_bytes(input, packed, wrong, report), PACK_VERIFY_FAILED);
    EXPECT_NE(report.message.find("did not decode back"), std::string::npos) << report.message;

    ASSERT_EQ(pack_bytes(input, packed, quick_wrong, report), PACK_OK) << report.message;
    ASSERT_EQ(pack_bytes(input, normal, small_chunks(2), report), PACK_OK);
    // the checked attempt codes the same frames the same way
    EXPECT_EQ(packed, normal);
}

// A small file of several chunks by every method: frames (model), noise between them (stored
// where it is a chunk of its own), text (zstd), with its records walked; walk.chunks is empty
// when packing or walking failed.
struct DamageSubject {
    Bytes original;
    Bytes packed;
    Walk walk;
};

DamageSubject damage_subject() {
    std::string text;
    for (int i = 0; i < 60; ++i) text += "tag text repeated ";
    const std::string aac = read_file(test_data("lc_mono_8k.aac"));
    const std::vector<std::size_t> at = adts_frame_bounds(aac);
    const std::size_t half = *std::lower_bound(at.begin(), at.end(), aac.size() / 2);  // the first frame past the middle
    DamageSubject d;
    d.original = concat({bytes_of(aac.substr(0, half)), random_bytes(1500, 6), bytes_of(aac.substr(half)), bytes_of(text)});
    PackReport report;
    PackSettings s = small_chunks(1);
    s.max_other_bytes = 600;
    if (pack_bytes(d.original, d.packed, s, report) != PACK_OK || !walk_records(d.packed, d.walk)) d.walk.chunks.clear();
    return d;
}

TEST(PackDamage, RandomChangesEndInTheOriginalOrANamedProblem) {
    const DamageSubject subject = damage_subject();
    const Bytes& packed = subject.packed;
    ASSERT_FALSE(subject.walk.chunks.empty());
    std::mt19937 rng(7);
    int refused = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes bad = packed;
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = rng() % bad.size();
            bad[at] = static_cast<std::uint8_t>(bad[at] ^ (1u + rng() % 255u));
        }
        Bytes back;
        PackReport report;
        const int s = unpack_bytes(bad, back, small_chunks(2), report);
        if (s == PACK_OK) {
            ASSERT_TRUE(back == subject.original) << "trial " << trial;
        } else {
            ++refused;
            ASSERT_FALSE(report.message.empty()) << "trial " << trial;
        }
    }
    EXPECT_GT(refused, 2900);
}

// Unpacks a damaged file on the given threads, expecting the status and a message that starts
// with the problem's name; what was written out before the problem is left in back.
PackReport expect_refused(const Bytes& bad, int status, const std::string& problem, unsigned threads, Bytes& back) {
    PackReport report;
    EXPECT_EQ(unpack_bytes(bad, back, small_chunks(threads), report), status);
    EXPECT_EQ(report.message.rfind(problem, 0), 0u) << report.message;
    return report;
}

// One byte changed in the file header, a payload or a record, where the record check catches
// it or the value read is refused by name; a record rewritten with a sound check but a value
// out of its bounds, named before any length is trusted; a chunk dropped whole (every record
// intact, the end record's count not); bytes after the end.
TEST(PackDamage, ProblemsAreNamed) {
    const DamageSubject subject = damage_subject();
    const Bytes& packed = subject.packed;
    const Walk& w = subject.walk;
    ASSERT_GE(w.chunks.size(), 3u);
    bool method_seen[METHOD_COUNT] = {};
    for (const ChunkRecord& r : w.chunks) method_seen[r.method] = true;
    ASSERT_TRUE(method_seen[METHOD_STORED] && method_seen[METHOD_ZSTD] && method_seen[METHOD_MODEL]);

    const auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes bad = packed;
        bad[at] = bad[at] == value ? static_cast<std::uint8_t>(value + 1) : value;
        return bad;
    };
    std::size_t k = 0;  // a chunk that is not stored, so that its packed length has a bound below
    while (w.chunks[k].method == METHOD_STORED) ++k;
    const auto rewritten = [&](std::size_t i, void (*change)(ChunkRecord&)) {
        Bytes bad = packed;
        ChunkRecord r = w.chunks[i];
        change(r);
        write_chunk_record(r, &bad[w.at[i]]);
        return bad;
    };
    const std::string chunk_k = "chunk " + std::to_string(k + 1) + " is damaged ";
    // A chunk of frames whose record is made to name a length one short: the decoder names what
    // does not fit.
    std::size_t f = 0;
    while (w.chunks[f].method != METHOD_MODEL) ++f;
    const std::string chunk_f = "chunk " + std::to_string(f + 1) + " is damaged ";
    Bytes dropped(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(w.at[0]));
    dropped.insert(dropped.end(), packed.begin() + static_cast<std::ptrdiff_t>(w.at[1]), packed.end());
    const std::size_t end_at = packed.size() - kEndRecordSize;

    struct Case {
        const char* what;
        Bytes bad;
        int status;
        std::string problem;
    };
    const Case cases[] = {
        {"magic", changed(0, 0x88), PACK_NOT_PACKED, "not a packed file"},
        {"version", changed(kFileHeaderFields.version.offset, kPackFormatVersion + 1), PACK_UNSUPPORTED_VERSION,
         "format version " + std::to_string(kPackFormatVersion + 1) + " is not supported by this version of aaczavrok"},
        {"flags", changed(kFileHeaderFields.flags.offset, 1), PACK_DAMAGED, "file header is damaged"},
        {"first record length", changed(w.at[0] + kChunkFields.original_length.offset + 1, 0x7F), PACK_DAMAGED,
         "chunk 1 is damaged (record checksum mismatch)"},
        {"second record tag", changed(w.at[1], 'X'), PACK_DAMAGED, "chunk 2 is damaged (unknown record)"},
        {"end record count", changed(end_at + kEndFields.chunk_count.offset, 0x55), PACK_DAMAGED,
         "end record is damaged"},
        {"method", rewritten(k, [](ChunkRecord& r) { r.method = METHOD_COUNT; }), PACK_DAMAGED,
         chunk_k + "(unknown method " + std::to_string(METHOD_COUNT) + ")"},
        {"reserved", rewritten(k, [](ChunkRecord& r) { r.reserved = 0x100; }), PACK_DAMAGED,
         chunk_k + "(reserved field is not zero)"},
        {"no original length", rewritten(k, [](ChunkRecord& r) { r.original_length = 0; }), PACK_DAMAGED,
         chunk_k + "(original length 0 is out of bounds)"},
        {"original length too long", rewritten(k, [](ChunkRecord& r) { r.original_length = kMaxChunkOriginal + 1; }),
         PACK_DAMAGED, chunk_k + "(original length 4194305 is out of bounds)"},
        {"packed length not shorter", rewritten(k, [](ChunkRecord& r) { r.packed_length = r.original_length; }),
         PACK_DAMAGED, chunk_k + "(packed length "},
        {"frames past the chunk", rewritten(f, [](ChunkRecord& r) { r.original_length -= 1; }), PACK_DAMAGED,
         chunk_f + "(a frame past the chunk's end)"},
        {"chunk dropped", dropped, PACK_DAMAGED, "file is damaged ("},
        {"bytes after the end", concat({packed, {0}}), PACK_DAMAGED, "file is damaged (bytes follow its end record)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes back;
        expect_refused(c.bad, c.status, c.problem, 2, back);
    }
}

// Chunks are decoded while later ones are still being read: whatever is found first in the
// stream is what is named, on one thread or two, and what came before it is written out, none
// of the damaged chunk (a stored chunk's bytes are checked before they go out as any others
// are). Every cut of the file is named as a truncation.
// A split chunk's stream of runs is decoded through a window as large as its zstd frame asks:
// a frame that asks for more than a chunk can need is damage, refused before the memory is
// taken. Built here by compressing the runs of a sound file again with a 128 MiB window.
TEST(PackDamage, SplitChunkWhoseRunsAskForAHugeWindowIsRefused) {
    const Bytes file = bytes_of(read_file(test_data("mp4/other_codecs.mp4")));
    PackSettings settings;
    settings.input_size = file.size();
    settings.format_version = 7;  // whose runs go to zstd
    MemorySource src{file.data(), file.size(), 0}, whole{file.data(), file.size(), 0};
    const RandomReader reader{&whole, read_memory_at, file.size()};
    Bytes packed;
    PackReport report;
    ASSERT_EQ(pack_input(memory_source(src), &reader, vector_sink(packed), settings, report), PACK_OK);
    std::size_t at = kFileHeaderSize;
    ChunkRecord r;
    while (at < packed.size() && packed[at] == kChunkTag && read_chunk_record(&packed[at], r) && r.method != METHOD_SPLIT)
        at += kChunkRecordSize + r.packed_length;
    ASSERT_EQ(r.method, METHOD_SPLIT);
    const std::uint8_t* payload = &packed[at + kChunkRecordSize];
    ASSERT_EQ(payload[0], METHOD_ZSTD);
    const std::size_t runs_size = get_le(payload + 1, 4), frame_size = get_le(payload + 5, 4);
    Bytes runs(runs_size);
    ASSERT_EQ(ZSTD_decompress(runs.data(), runs.size(), payload + 9, frame_size), runs_size);

    const auto with_window = [&](int window_log) {
        ZSTD_CCtx* cctx = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log);
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
        // streamed with no size known, so that the frame keeps the window it was given
        Bytes frame(ZSTD_compressBound(runs.size()) + 1024);
        ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
        ZSTD_inBuffer in = {runs.data(), runs.size(), 0};
        ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_continue);
        ZSTD_inBuffer none = {nullptr, 0, 0};
        while (ZSTD_compressStream2(cctx, &out, &none, ZSTD_e_end) != 0) {
        }
        frame.resize(out.pos);
        ZSTD_freeCCtx(cctx);
        ZSTD_frameHeader h;
        EXPECT_EQ(ZSTD_getFrameHeader(&h, frame.data(), frame.size()), 0u);
        EXPECT_EQ(h.windowSize, std::uint64_t{1} << window_log);
        Bytes again(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(at));
        ChunkRecord changed = r;
        changed.packed_length = static_cast<std::uint32_t>(r.packed_length - frame_size + frame.size());
        std::uint8_t record[kChunkRecordSize];
        write_chunk_record(changed, record);
        again.insert(again.end(), record, record + kChunkRecordSize);
        Bytes head(payload, payload + 9);
        put_le(head.data() + 5, frame.size(), 4);
        again = concat({again, head, frame});
        const std::size_t rest = at + kChunkRecordSize + 9 + frame_size;
        again.insert(again.end(), packed.begin() + static_cast<std::ptrdiff_t>(rest), packed.end());
        return again;
    };
    Bytes back;
    PackReport unpacked;
    ASSERT_EQ(unpack_bytes(with_window(22), back, PackSettings{}, unpacked), PACK_OK) << unpacked.message;
    EXPECT_TRUE(back == file);
    EXPECT_EQ(unpack_bytes(with_window(27), back, PackSettings{}, unpacked), PACK_DAMAGED);
    EXPECT_NE(unpacked.message.find("its zstd frame does not decode"), std::string::npos) << unpacked.message;
}

TEST(PackDamage, FirstProblemInFileOrderAndEveryTruncationAreNamed) {
    const DamageSubject subject = damage_subject();
    const Bytes& packed = subject.packed;
    const Bytes& original = subject.original;
    const Walk& w = subject.walk;
    ASSERT_GE(w.chunks.size(), 3u);
    Bytes bad_and_cut(packed.begin(), packed.end() - 40);
    bad_and_cut[w.at[1] + kChunkRecordSize + 2] ^= 0x40;  // the coder never reads a payload's first byte
    std::size_t k = 1;  // the stored chunk between others, after `before` bytes
    std::ptrdiff_t before = w.chunks[0].original_length;
    for (; k + 1 < w.chunks.size() && w.chunks[k].method != METHOD_STORED; ++k) before += w.chunks[k].original_length;
    ASSERT_TRUE(k + 1 < w.chunks.size() && w.chunks[k].method == METHOD_STORED);
    Bytes bad_stored = packed;
    bad_stored[w.at[k] + kChunkRecordSize + w.chunks[k].packed_length / 2] ^= 0x10;
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        Bytes back;
        const PackReport report = expect_refused(bad_and_cut, PACK_DAMAGED, "chunk 2 is damaged (", threads, back);
        // the chunk before the damage was written out, nothing after it
        EXPECT_EQ(report.chunks, 1u);
        EXPECT_EQ(back.size(), w.chunks[0].original_length);
        expect_refused(bad_stored, PACK_DAMAGED, "chunk " + std::to_string(k + 1) + " is damaged (checksum mismatch)",
                       threads, back);
        EXPECT_EQ(back, Bytes(original.begin(), original.begin() + before));
        for (std::size_t len = 0; len < packed.size(); ++len) {
            SCOPED_TRACE(len);
            const Bytes cut(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(len));
            expect_refused(cut, len == 0 ? PACK_NOT_PACKED : PACK_DAMAGED,
                           len == 0 ? "not a packed file" : "file is truncated", threads, back);
            ASSERT_LE(back.size(), original.size());
            EXPECT_EQ(back, Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(back.size())));
        }
    }
}

}  // namespace

// Chunks that reach back: what repeats further apart than a chunk is found again, as a
// whole-file compressor finds it, and comes back whatever the thread count; a file of an
// earlier version keeps its layout.
TEST(PackReachBack, RepeatsFurtherApartThanAChunkAreFoundAgain) {
    const Bytes a = random_bytes(20000, 1), b = random_bytes(15000, 2);
    const Bytes input = concat({a, b, a, b});
    PackSettings settings;
    settings.chunk_cap = 4096;
    settings.input_size = input.size();
    Bytes one_thread;
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        settings.threads = threads;
        Bytes packed, back;
        PackReport report;
        ASSERT_EQ(pack_bytes(input, packed, settings, report), PACK_OK) << report.message;
        // chunks reach back in order, so the thread count changes no byte
        if (threads == 1) one_thread = packed;
        EXPECT_TRUE(packed == one_thread);
        Walk w;
        ASSERT_TRUE(walk_records(packed, w));
        // the first chunk keeps, the later ones reach back into what it and those after kept
        ASSERT_FALSE(w.chunks.empty());
        EXPECT_EQ(w.chunks[0].reserved, kChunkKeeps);
        std::size_t reaching = 0;
        for (std::size_t i = 1; i < w.chunks.size(); ++i) {
            const ChunkRecord& r = w.chunks[i];
            EXPECT_EQ(r.reserved & kChunkKeeps, 0);
            reaching += r.reserved == kChunkReachesBack;
            if (r.reserved != 0) {
                EXPECT_EQ(r.method, METHOD_ZSTD);
            }
        }
        // the second copy's chunks, all but those cut across the copies' seam
        EXPECT_GE(reaching, 7u);
        EXPECT_LT(packed.size(), a.size() + b.size() + 1500);
        ASSERT_EQ(unpack_bytes(packed, back, settings, report), PACK_OK) << report.message;
        EXPECT_TRUE(back == input);
    }
    // version 9 writes no such chunk, and its file stays as large as its chunks make it
    settings.format_version = 9;
    Bytes packed, back;
    PackReport report;
    ASSERT_EQ(pack_bytes(input, packed, settings, report), PACK_OK) << report.message;
    Walk w;
    ASSERT_TRUE(walk_records(packed, w));
    for (const ChunkRecord& r : w.chunks) {
        EXPECT_EQ(r.reserved, 0);
    }
    EXPECT_GT(packed.size(), input.size());
    ASSERT_EQ(unpack_bytes(packed, back, PackSettings{}, report), PACK_OK) << report.message;
    EXPECT_TRUE(back == input);
}

// A chunk reaching back where no chunk before it keeps, bits a version does not have, and a
// reaching chunk whose bytes before it changed are each named.
TEST(PackReachBack, FlagsWhereTheyDoNotBelongAndChangedBytesBeforeAreNamed) {
    const Bytes a = random_bytes(9000, 3);
    const Bytes input = concat({a, a});
    PackSettings settings;
    settings.chunk_cap = 4096;
    settings.input_size = input.size();
    Bytes packed, back;
    PackReport report;
    ASSERT_EQ(pack_bytes(input, packed, settings, report), PACK_OK) << report.message;
    Walk w;
    ASSERT_TRUE(walk_records(packed, w));
    std::size_t first_reaching = 0;
    while (first_reaching < w.chunks.size() && (w.chunks[first_reaching].reserved & kChunkReachesBack) == 0)
        ++first_reaching;
    ASSERT_LT(first_reaching, w.chunks.size());
    ASSERT_EQ(w.chunks[0].method, METHOD_STORED);

    const auto with_first_reserved = [&](unsigned reserved) {
        Bytes bad = packed;
        ChunkRecord r = w.chunks[0];
        r.reserved = static_cast<std::uint16_t>(reserved);
        write_chunk_record(r, &bad[w.at[0]]);
        return bad;
    };
    Bytes version_9 = packed;
    FileHeader header;
    header.version = 9;
    write_file_header(header, version_9.data());
    const std::string reaching = "chunk " + std::to_string(first_reaching + 1) + " is damaged ";
    // the first chunk's bytes changed, its checksum made to match: the reaching chunk finds
    // other bytes before it
    Bytes before = packed;
    before[w.at[0] + kChunkRecordSize] ^= 1;
    ChunkRecord first = w.chunks[0];
    first.checksum = XXH3_64bits(&before[w.at[0] + kChunkRecordSize], first.packed_length);
    write_chunk_record(first, &before[w.at[0]]);
    // the end record's checksum of the whole is not reached: the chunk fails first
    struct Case {
        const char* what;
        Bytes bad;
        std::string problem;
    } const cases[] = {
        {"no chunk before it keeps", with_first_reserved(0), reaching + "(it reaches back where nothing is kept)"},
        {"bits version 9 does not have", version_9, "chunk 1 is damaged (reserved field is not zero)"},
        {"an unknown bit", with_first_reserved(kChunkKeeps | 4), "chunk 1 is damaged (reserved field is not zero)"},
        {"reaching back by another method", with_first_reserved(kChunkKeeps | kChunkReachesBack),
         "chunk 1 is damaged (reserved field is not zero)"},
        {"other bytes before it", before, reaching + "(checksum mismatch)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(unpack_bytes(c.bad, back, PackSettings{}, report), PACK_DAMAGED);
        EXPECT_NE(report.message.find(c.problem), std::string::npos) << report.message;
    }
}

// A split chunk's runs reach back too: the second half of a clip joined to itself packs its
// video as a repeat of the first half's, whatever the thread count, and its access units keep
// their models.
TEST(PackReachBack, SplitChunksRunsReachBackToTheVideoBefore) {
    const Bytes file = bytes_of(read_file(test_data("video/repeat_twice.mp4")));
    ASSERT_FALSE(file.empty());
    UnitPlan plan;
    MemorySource m{file.data(), file.size(), 0};
    map_units(RandomReader{&m, read_memory_at, file.size()}, plan);
    ASSERT_FALSE(plan.units.empty());
    std::size_t sizes[2] = {};
    for (const unsigned version : {9u, unsigned{kPackFormatVersion}}) {
        Bytes one_thread;
        for (const unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(version * 10 + threads);
            PackSettings settings;
            settings.threads = threads;
            settings.format_version = version;
            settings.plan = &plan;
            settings.input_size = file.size();
            // two chunks, the second the clip's repeat
            settings.chunk_cap = file.size() / 2 + 100;
            Bytes packed, back;
            PackReport report;
            ASSERT_EQ(pack_bytes(file, packed, settings, report), PACK_OK) << report.message;
            EXPECT_EQ(report.chunks_by_method[METHOD_SPLIT], 2u);
            EXPECT_EQ(report.stats.frames_modelled, plan.units.size());
            Walk w;
            ASSERT_TRUE(walk_records(packed, w));
            ASSERT_EQ(w.chunks.size(), 2u);
            EXPECT_EQ(w.chunks[0].reserved, version == 9 ? 0 : kChunkKeeps);
            EXPECT_EQ(w.chunks[1].reserved, version == 9 ? 0 : kChunkReachesBack);
            sizes[version == 9] = packed.size();
            if (threads == 1) one_thread = packed;
            EXPECT_TRUE(packed == one_thread);
            ASSERT_EQ(unpack_bytes(packed, back, settings, report), PACK_OK) << report.message;
            EXPECT_TRUE(back == file);
        }
    }
    // the second half's video costs a small part of what it cost before
    EXPECT_LT(sizes[0] + file.size() / 3, sizes[1]);
}
