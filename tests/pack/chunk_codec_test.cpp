// The chunk codec on real files and on crafted inputs: whatever goes in comes back byte for
// byte, clean ADTS files are coded field by field (not as raw frames), and damaged payloads
// end with a status, never outside the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "aac/spectral_codec.h"
#include "aac/syntax.h"
#include "pack/frame/adts_frame.h"
#include "pack/model/chunk_codec.h"
#include "support/bit_writer.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

Bytes load(const std::string& path) { return bytes_of(read_file(path)); }

// Packs data in chunks as the driver would and checks every chunk comes back; encode_chunk
// adds each chunk's counts to total.
void expect_round_trip(const Bytes& data, std::size_t max_frames, PackStats* total) {
    std::size_t pos = 0;
    while (pos < data.size()) {
        const std::size_t length = next_chunk_length(data.data() + pos, data.size() - pos, true, max_frames, 65536);
        ASSERT_GT(length, 0u);
        ASSERT_LE(length, data.size() - pos);
        Bytes payload;
        ASSERT_EQ(encode_chunk(data.data() + pos, length, payload, total), PACK_OK) << "chunk at " << pos;
        Bytes back(length + 1, 0xA5);  // one guard byte past the chunk
        ASSERT_EQ(decode_chunk(payload.data(), payload.size(), back.data(), length), PACK_OK) << "chunk at " << pos;
        ASSERT_EQ(back[length], 0xA5);
        back.resize(length);
        ASSERT_TRUE(std::equal(back.begin(), back.end(), data.begin() + static_cast<std::ptrdiff_t>(pos)))
            << "chunk at " << pos;
        pos += length;
    }
}

// Every bundled sample is a clean ADTS file the models describe frame by frame, and so are
// crafted frames of extreme scale factors; crafted inputs (noise, tags, junk, glued and cut
// files, escapes past what a valid stream carries) come back whatever they hold.
TEST(PackChunk, SamplesAndCraftedInputsComeBack) {
    const Bytes mono = load(test_data("lc_mono_44k.aac"));
    const Bytes stereo = load(test_data("lc_stereo_44k.aac"));
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(adts_frame_candidate(mono.data(), mono.size()));
    ASSERT_GT(first, 0);
    std::mt19937 rng(11);
    const Bytes random = random_bytes(5000, 11);
    Bytes sync_noise(3000);  // random bytes full of would-be syncwords
    for (std::size_t i = 0; i < sync_noise.size(); ++i)
        sync_noise[i] = i % 3 == 0 ? 0xFF : static_cast<std::uint8_t>(0xF0 | (rng() & 0x0F));
    const Bytes id3 = bytes_of(std::string("ID3\x04\x00\x00\x00\x00\x00\x10", 10) + std::string(16, 'x'));
    const Bytes id3v1 = bytes_of("TAG" + std::string(125, 'y'));
    const Bytes ape = bytes_of("APETAGEX" + std::string(24, '\0'));

    struct Case {
        std::string name;
        Bytes data;
        bool sample = false;
    };
    std::vector<Case> cases = {
        {"one byte", {0xFF}},
        {"random", random},
        {"sync noise", sync_noise},
        {"tags only", concat({id3, id3v1, ape})},
        {"tags and junk between frames",
         concat({id3, Bytes(mono.begin(), mono.begin() + first), {'j', 'u', 'n', 'k', 0xFF, 0xF1},
                 Bytes(mono.begin() + first, mono.end()), id3v1})},
        {"two files glued", concat({mono, stereo})},
        {"cut last frame", Bytes(mono.begin(), mono.end() - 37)},
        {"random glued to frames", concat({random, mono})},
    };
    // A mono frame whose one band of book 11 holds an escape of magnitude m: past what a
    // valid stream carries (8191) decoders still read it, and so does the parse, up to the
    // longest escape decoders accept; the frame length goes in last.
    auto escape_frame = [](std::uint32_t m) {
        BitWriter w;
        w.put(ID_SCE, 3).put(0, 4).put(100, 8).put(0, 1).put(ONLY_LONG_SEQUENCE, 2).put(0, 1).put(1, 6).put(0, 1);
        w.put(ESC_HCB, 4).put(1, 5).put(kScaleFactorCode[60].codeword, kScaleFactorCode[60].length).put(0, 3);
        const SpectralCodeEntry flag = lookup_codeword(ESC_HCB, 17 * kEscapeFlag), zero = lookup_codeword(ESC_HCB, 0);
        unsigned length = 0;
        const std::uint32_t escape = make_escape_code(m, length);
        w.put(flag.codeword, flag.length).put(0, 1).put(escape, length).put(zero.codeword, zero.length);
        return bytes_of(adts_frame(w.put(ID_END, 3).align()));
    };
    auto record = std::make_unique<FrameRecord>();
    for (const std::uint32_t m : {8191u, 8192u, 65535u}) {
        const Bytes frame = escape_frame(m);
        EXPECT_EQ(parse_adts_frame(frame.data(), frame.size(), *record), PACK_OK) << m;
        // modelled, not kept raw: the escape coder reaches the longest escape
        cases.push_back({m <= 8191 ? "escape of a valid stream" : "escape past a valid stream", frame, true});
    }
    // Frames of silent bands whose scale factors take the largest steps a codeword carries
    // (+-60), steps either side of where a step's unary code gives way to its escape, and, in
    // the second channel of a pair, steps up to 120 away from the partner's at the band.
    auto steps_frame = [](bool pair) {
        const std::vector<std::vector<unsigned>> steps = {{120, 0, 74, 75, 45, 46, 60, 59},   // codeword index = step + 60
                                                          {0, 120, 120, 0, 75, 60, 0, 120}};
        const unsigned bands = static_cast<unsigned>(steps[0].size());  // 4 lines each at 44.1 kHz
        BitWriter w;
        w.put(pair ? ID_CPE : ID_SCE, 3).put(0, 4);
        auto ics_info = [&] { w.put(0, 1).put(ONLY_LONG_SEQUENCE, 2).put(0, 1).put(bands, 6).put(0, 1); };
        if (pair) {
            w.put(1, 1);  // common window
            ics_info();
            w.put(0, 2);  // no mid/side
        }
        const SpectralCodeEntry zero = lookup_codeword(ESC_HCB, 0);
        for (unsigned ch = 0; ch < (pair ? 2u : 1u); ++ch) {
            w.put(100, 8);
            if (!pair) ics_info();
            w.put(ESC_HCB, 4).put(bands, 5);
            for (unsigned index : steps[ch]) w.put(kScaleFactorCode[index].codeword, kScaleFactorCode[index].length);
            w.put(0, 3);
            for (unsigned i = 0; i < 2 * bands; ++i) w.put(zero.codeword, zero.length);
        }
        return bytes_of(adts_frame(w.put(ID_END, 3).align(), pair ? 2 : 1));
    };
    for (const bool pair : {false, true}) {
        const Bytes frame = steps_frame(pair);
        EXPECT_EQ(parse_adts_frame(frame.data(), frame.size(), *record), PACK_OK) << pair;
        cases.push_back({pair ? "largest steps, pair" : "largest steps", concat({frame, frame, frame}), true});
    }
    const std::vector<std::string> samples = names_in(AACZ_TEST_DATA_DIR, true);
    ASSERT_GT(samples.size(), 10u);
    for (const std::string& name : samples) cases.push_back({name, load(test_data(name)), true});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t max_frames : {std::size_t{1000}, std::size_t{7}, std::size_t{3}}) {
            SCOPED_TRACE(max_frames);
            PackStats stats;
            expect_round_trip(c.data, max_frames, &stats);
            if (c.sample) {
                EXPECT_GT(stats.frames_modelled, 0u);
                EXPECT_EQ(stats.frames_raw, 0u);
            }
        }
    }
    Bytes payload{1, 2, 3};
    ASSERT_EQ(encode_chunk(nullptr, 0, payload, nullptr), PACK_OK);
    EXPECT_EQ(decode_chunk(payload.data(), payload.size(), nullptr, 0), PACK_OK);
}

// Each bit flip of a frame is its own round trip; frames that no longer parse, or parse to
// something else, must still come back exactly.
TEST(PackChunk, EveryFrameWithOneBitFlippedComesBack) {
    const Bytes data = load(test_data("lc_stereo_44k.aac"));
    ASSERT_FALSE(data.empty());
    std::mt19937 rng(5);
    std::size_t length = 0;
    for (std::size_t pos = 0, frame = 0; pos < data.size() && frame < 40; pos += length, ++frame) {
        length = adts_frame_candidate(data.data() + pos, data.size() - pos);
        ASSERT_GT(length, 0u);
        for (int trial = 0; trial < 4; ++trial) {
            Bytes d(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), pos + 3 * length)));
            const std::size_t bit = pos * 8 + rng() % (length * 8);
            d[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
            SCOPED_TRACE(::testing::Message() << "frame " << frame << " bit " << bit);
            expect_round_trip(d, 1000, nullptr);
        }
    }
}

TEST(PackChunk, DamagedPayloadsStayInBounds) {
    const Bytes data = load(test_data("lc_stereo_44k.aac"));
    ASSERT_FALSE(data.empty());
    const std::size_t length = next_chunk_length(data.data(), data.size(), true, 40, 65536);
    Bytes payload;
    ASSERT_EQ(encode_chunk(data.data(), length, payload, nullptr), PACK_OK);
    unsigned failures = 0;
    const auto decode_in_bounds = [&failures](const Bytes& damaged, std::size_t size) {
        Bytes out(size + 64, 0x5A);
        const PackResult r = decode_chunk(damaged.data(), damaged.size(), out.data(), size);
        failures += r != PACK_OK ? 1 : 0;
        // every failure is one of the named reasons of damage
        EXPECT_TRUE(r == PACK_OK || (run_outcome(r) == PACK_DAMAGED && *reason_text(r) != '\0')) << int{r};
        for (std::size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], 0x5A) << "wrote past the end";
    };
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        decode_in_bounds(damaged_copy(payload, rng, trial, 3, 4), length);
    }
    EXPECT_GT(failures, 200u);  // damage is noticed nearly always
    // Payloads that never came from the encoder: all zeros, all ones, noise.
    for (int trial = 0; trial < 60; ++trial) {
        Bytes garbage(static_cast<std::size_t>(trial) * 7);
        for (auto& b : garbage) b = trial % 3 == 0 ? 0 : trial % 3 == 1 ? 0xFF : static_cast<std::uint8_t>(rng());
        decode_in_bounds(garbage, 1 + rng() % 20000);
    }
}

TEST(PackChunk, NextChunkLengthWaitsForCutFrames) {
    const Bytes data = load(test_data("lc_mono_44k.aac"));
    ASSERT_GT(data.size(), 100u);
    const std::size_t first = adts_frame_candidate(data.data(), data.size());
    ASSERT_GT(first, 0u);
    // A frame cut by the end of the buffer waits for more unless the input ends there.
    EXPECT_EQ(next_chunk_length(data.data(), first - 1, false, 10, 1000), 0u);
    EXPECT_EQ(next_chunk_length(data.data(), first - 1, true, 10, 1000), first - 1);
    EXPECT_EQ(next_chunk_length(data.data(), first + 3, false, 10, 1000), first);
    EXPECT_EQ(next_chunk_length(data.data(), data.size(), true, 1, 1000), first);
    const Bytes junk(100, 0x11);
    EXPECT_EQ(next_chunk_length(junk.data(), junk.size(), true, 10, 30), 30u);
    EXPECT_EQ(next_chunk_length(junk.data(), junk.size(), false, 10, 1000), junk.size());
}

// The bits counted per family add up to the whole payload, and to what the cheaper count of
// whole frames gives, so every percent of the --pack-stats table is accounted for.
TEST(PackChunk, FamilyCountsAddUpToThePayload) {
    Bytes data = load(test_data("lc_stereo_44k.aac"));
    data.insert(data.begin() + 100, {'t', 'a', 'g', 0, 1, 2, 3});  // bytes no model describes
    std::uint64_t totals[2] = {};
    for (const bool by_family : {true, false}) {
        SCOPED_TRACE(by_family);
        PackStats stats;
        stats.by_family = by_family;
        Bytes payload;
        ASSERT_EQ(encode_chunk(data.data(), data.size(), payload, &stats), PACK_OK);
        std::uint64_t sum = stats.frame_bits;
        for (std::uint64_t b : stats.bits) sum += b;
        EXPECT_GT(stats.bits[FAMILY_RAW], 0u);
        if (by_family) {
            EXPECT_EQ(stats.frame_bits, 0u);
            EXPECT_GT(stats.bits[FAMILY_MAGNITUDES], stats.bits[FAMILY_SCALEFACTORS]);
            EXPECT_GT(stats.bits[FAMILY_SCALEFACTORS], 0u);
        } else {
            EXPECT_GT(stats.frame_bits, sum / 2);
            EXPECT_EQ(stats.bits[FAMILY_MAGNITUDES], 0u);
        }
        // the count ends with what the coder still held when it was flushed: a few bytes
        EXPECT_NEAR(static_cast<double>(sum), static_cast<double>(payload.size() * 8), 64.0);
        totals[by_family ? 0 : 1] = sum;
    }
    EXPECT_EQ(totals[0], totals[1]);
}

}  // namespace

namespace {

// The access units of two ADTS files interleaved as a container with two tracks would hold
// them, 8 bytes of header before each, and the units' list with each one's track.
struct Interleaved {
    Bytes data;
    std::vector<ChunkUnit> units;
};

Interleaved interleave(const std::string& a, const std::string& b, unsigned run) {
    Interleaved out;
    const std::string* files[2] = {&a, &b};
    std::vector<std::size_t> bounds[2] = {adts_frame_bounds(a), adts_frame_bounds(b)};
    std::size_t next[2] = {0, 0};
    for (unsigned turn = 0; next[0] + 1 < bounds[0].size() || next[1] + 1 < bounds[1].size(); ++turn) {
        const unsigned t = (turn / run) % 2;
        if (next[t] + 1 >= bounds[t].size()) continue;
        const std::size_t at = bounds[t][next[t]] + 7, end = bounds[t][++next[t]];
        out.data.insert(out.data.end(), {'h', 'e', 'a', 'd', 0, 0, static_cast<std::uint8_t>(t), 0});
        ChunkUnit u;
        u.start = static_cast<std::uint32_t>(out.data.size());
        u.length = static_cast<std::uint32_t>(end - at);
        u.sf_index = static_cast<std::uint8_t>((static_cast<std::uint8_t>((*files[t])[2]) >> 2) & 15);
        u.track = static_cast<std::uint8_t>(t);
        out.units.push_back(u);
        out.data.insert(out.data.end(), files[t]->begin() + static_cast<std::ptrdiff_t>(at),
                        files[t]->begin() + static_cast<std::ptrdiff_t>(end));
    }
    return out;
}

}  // namespace

// Units of two tracks interleaved are coded with each track's own history when the version
// names tracks: a stereo and a mono track of the same rate, which nothing else tells apart, cost
// within 1% of what the two cost coded apart, and less than as one stream; earlier versions code
// exactly as before, whatever the units say of their tracks. From version 9 a switch back to the
// track before costs less than naming it; any order of tracks comes back.
TEST(PackChunk, EachTrackOfInterleavedUnitsKeepsItsOwnHistory) {
    const std::string stereo = read_file(test_data("lc_stereo_44k.aac")), mono = read_file(test_data("tns_mono_44k.aac"));
    const Interleaved two = interleave(stereo, mono, 2);
    std::vector<ChunkUnit> one = two.units;
    for (ChunkUnit& u : one) u.track = 0;
    std::size_t apart = 0;
    for (const std::string* file : {&stereo, &mono}) {
        const Interleaved alone = interleave(*file, "", 1);
        Bytes payload;
        ASSERT_EQ(encode_chunk(alone.data.data(), alone.data.size(), payload, nullptr, true, &alone.units, 7), PACK_OK);
        apart += payload.size();
    }
    std::size_t by_version[10] = {};
    for (const unsigned version : {6u, 7u, 9u}) {
        SCOPED_TRACE(version);
        Bytes by_track, as_one;
        ASSERT_EQ(encode_chunk(two.data.data(), two.data.size(), by_track, nullptr, true, &two.units, version), PACK_OK);
        ASSERT_EQ(encode_chunk(two.data.data(), two.data.size(), as_one, nullptr, true, &one, version), PACK_OK);
        if (version == 6) {
            EXPECT_TRUE(by_track == as_one);
        } else {
            EXPECT_LT(by_track.size() * 1000, as_one.size() * 990) << by_track.size() << " against " << as_one.size();
            EXPECT_LT(by_track.size() * 1000, apart * 1010) << by_track.size() << " against " << apart << " apart";
        }
        Bytes back(two.data.size());
        UnitTrace trace;
        ASSERT_EQ(decode_chunk(by_track.data(), by_track.size(), back.data(), back.size(), true, &trace, version), PACK_OK);
        EXPECT_TRUE(back == two.data);
        ASSERT_EQ(trace.units.size(), two.units.size());
        for (std::size_t k = 0; k < trace.units.size(); ++k)
            EXPECT_EQ(trace.units[k].track, version == 6 ? 0 : two.units[k].track) << k;
        by_version[version] = by_track.size();
    }
    EXPECT_LT(by_version[9], by_version[7]);
    // three tracks in turn, and a run of one: the track before the last is not always right
    std::vector<ChunkUnit> three = two.units;
    for (std::size_t k = 0; k < three.size(); ++k) three[k].track = static_cast<std::uint8_t>(k < 20 ? 1 : k % 3);
    Bytes payload, back(two.data.size());
    ASSERT_EQ(encode_chunk(two.data.data(), two.data.size(), payload, nullptr, true, &three, 9), PACK_OK);
    UnitTrace trace;
    ASSERT_EQ(decode_chunk(payload.data(), payload.size(), back.data(), back.size(), true, &trace, 9), PACK_OK);
    EXPECT_TRUE(back == two.data);
    ASSERT_EQ(trace.units.size(), three.size());
    for (std::size_t k = 0; k < three.size(); ++k) EXPECT_EQ(trace.units[k].track, three[k].track) << k;
}

// With the runs apart (a split chunk), version 8 keeps a run of up to 16 bytes (the header
// before a unit) in the payload, where the run memory codes it from the headers before it, and
// leaves only the longer ones (another track's samples) to the caller, as container_runs with
// keep_short says; earlier versions leave every run.
TEST(PackChunk, SplitChunksKeepTheirShortRunsFromVersion8) {
    const std::string stereo = read_file(test_data("lc_stereo_44k.aac"));
    const std::vector<std::size_t> at = adts_frame_bounds(stereo);
    Bytes data;
    std::vector<ChunkUnit> units;
    const Bytes video = random_bytes(100, 3);
    for (std::size_t k = 0; k + 1 < at.size(); ++k) {
        if (k % 3 == 0) data.insert(data.end(), video.begin(), video.end());
        data.insert(data.end(), {0xA3, 0x81, 0, static_cast<std::uint8_t>(k), 0x80});
        ChunkUnit u;
        u.start = static_cast<std::uint32_t>(data.size());
        u.length = static_cast<std::uint32_t>(at[k + 1] - at[k] - 7);
        u.sf_index = 4;
        units.push_back(u);
        data.insert(data.end(), stereo.begin() + static_cast<std::ptrdiff_t>(at[k] + 7),
                    stereo.begin() + static_cast<std::ptrdiff_t>(at[k + 1]));
    }
    for (const unsigned version : {7u, 8u}) {
        SCOPED_TRACE(version);
        std::vector<ByteExtent> all, apart;
        container_runs(units, data.size(), all);
        container_runs(units, data.size(), apart, version >= 8);
        EXPECT_EQ(all.size(), units.size());
        EXPECT_EQ(apart.size(), version >= 8 ? (units.size() + 2) / 3 : units.size());
        Bytes payload;
        ASSERT_EQ(encode_chunk(data.data(), data.size(), payload, nullptr, true, &units, version, true), PACK_OK);
        Bytes back(data.size(), 0xEE);
        UnitTrace trace;
        ASSERT_EQ(decode_chunk(payload.data(), payload.size(), back.data(), back.size(), true, &trace, version, true),
                  PACK_OK);
        // what the decode left is exactly the runs apart
        for (const ByteExtent& e : apart) {
            EXPECT_TRUE(std::all_of(back.begin() + e.start, back.begin() + e.start + e.length,
                                    [](std::uint8_t b) { return b == 0xEE; }));
            std::copy(data.begin() + e.start, data.begin() + e.start + e.length, back.begin() + e.start);
        }
        EXPECT_TRUE(back == data);
    }
}
