// The container walk: on files ffmpeg wrote (tests/data/mp4), every sample it finds is exactly
// the access unit ffmpeg's ADTS copy of the same file carries, in order, none missed; on files
// built here box by box, every table and box form lands where it should; on damaged and
// hostile files, whatever is left is a sane layout (samples sorted, apart, within the file).
#include <gtest/gtest.h>
#include <xxhash.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "pack/container/container_walk.h"
#include "pack/container/flv_walk.h"
#include "pack/container/mkv_walk.h"
#include "pack/container/unit_cuts.h"
#include "pack/container/unit_map.h"
#include "support/bit_writer.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

bool walk(const std::string& file, ContainerLayout& layout) {
    MemorySource m{reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), 0};
    return walk_container(RandomReader{&m, read_memory_at, file.size()}, layout);
}

// A file with `gap` zero bytes at `at`, read without being stored (the boxes around them
// state them where they lie inside a box).
struct Grown {
    std::string file;
    std::uint64_t at, gap;
};
long long read_grown(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const Grown& g = *static_cast<const Grown*>(self);
    const std::uint64_t size = g.file.size() + g.gap;
    n = offset >= size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, size - offset));
    for (std::size_t i = 0; i < n; ++i, ++offset)
        buf[i] = static_cast<std::uint8_t>(offset < g.at ? g.file[offset] : offset < g.at + g.gap ? 0 : g.file[offset - g.gap]);
    return static_cast<long long>(n);
}

// What every layout promises, whatever the file held.
void expect_sane(const ContainerLayout& l, std::size_t file_size) {
    std::uint64_t end = 0;
    std::vector<std::uint64_t> per_track(l.tracks.size());
    for (const SampleExtent& e : l.samples) {
        ASSERT_GE(e.offset, end);
        ASSERT_GE(e.size, 1u);
        ASSERT_LE(e.size, kWalkMaxSampleBytes);
        ASSERT_LE(e.offset + e.size, file_size);
        ASSERT_LT(e.track, l.tracks.size());
        ++per_track[e.track];
        end = e.offset + e.size;
    }
    for (std::size_t t = 0; t < l.tracks.size(); ++t) EXPECT_EQ(per_track[t], l.tracks[t].samples);
}

struct AdtsFrame {
    unsigned object_type, sf_index, channel_config;
    std::string payload;
};

std::vector<AdtsFrame> adts_frames(const std::string& s) {
    std::vector<AdtsFrame> frames;
    const std::vector<std::size_t> at = adts_frame_bounds(s);
    for (std::size_t i = 0; i + 1 < at.size(); ++i) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(s.data() + at[i]);
        const std::size_t header = (b[1] & 1) ? 7 : 9;  // without or with a CRC
        frames.push_back({(b[2] >> 6) + 1u, (b[2] >> 2) & 15u, ((b[2] & 1u) << 2) | (b[3] >> 6),
                          s.substr(at[i] + header, at[i + 1] - at[i] - header)});
    }
    return frames;
}

struct Sample {
    const char* name;
    const char* brand;
    unsigned other_tracks;
    bool fragmented;
    std::vector<const char*> adts;  // the ADTS copy of each AAC track
    bool cut = false;               // cut inside its media: the whole access units left, none beyond
};
const Sample kSamples[] = {
    {"faststart.m4a", "M4A ", 0, false, {"faststart.m4a.adts"}},
    {"tags_cover.m4a", "M4A ", 0, false, {"tags_cover.m4a.adts"}},
    {"frag_moof.mp4", "iso5", 0, true, {"frag_moof.mp4.adts"}},
    {"frag_duration.mp4", "isom", 0, true, {"frag_duration.mp4.adts"}},
    {"frag_av.mp4", "iso5", 1, true, {"frag_av.mp4.adts"}},  // fragments of audio and H.264
    {"stereo.mov", "qt  ", 0, false, {"stereo.mov.adts"}},
    {"mono_16k.3gp", "3gp4", 0, false, {"mono_16k.3gp.adts"}},
    {"chapters.m4a", "M4A ", 1, false, {"chapters.m4a.adts"}},
    {"video_two_tracks.mp4", "isom", 1, false, {"video_two_tracks.mp4.adts", "video_two_tracks.mp4.1.adts"}},
    {"other_codecs.mp4", "isom", 3, false, {"other_codecs.mp4.adts"}},  // beside ALAC, MP3 in mp4a, AC-3
    {"box_forms.m4a", "M4A ", 0, false, {"faststart.m4a.adts"}},        // faststart.m4a's media rewritten
    {"cut_in_media.m4a", "M4A ", 0, false, {"faststart.m4a.adts"}, true},
};

TEST(ContainerWalk, SamplesAreTheAccessUnitsOfTheAdtsCopy) {
    for (const Sample& s : kSamples) {
        SCOPED_TRACE(s.name);
        const std::string file = read_file(test_data(std::string("mp4/") + s.name));
        ASSERT_FALSE(file.empty());
        EXPECT_TRUE(looks_like_iso_media(reinterpret_cast<const std::uint8_t*>(file.data()), 16));
        ContainerLayout l;
        ASSERT_TRUE(walk(file, l));
        EXPECT_EQ(l.kind, ContainerKind::ISO_MEDIA);
        EXPECT_STREQ(l.brand, s.brand);
        EXPECT_EQ(l.fragmented, s.fragmented);
        EXPECT_EQ(l.other_tracks, s.other_tracks);
        ASSERT_EQ(l.tracks.size(), s.adts.size());
        expect_sane(l, file.size());
        for (std::size_t k = 0; k < s.adts.size(); ++k) {
            const std::vector<AdtsFrame> frames = adts_frames(read_file(test_data(std::string("mp4/") + s.adts[k])));
            ASSERT_GT(frames.size(), 10u);
            const AacTrack& t = l.tracks[k];
            EXPECT_EQ(std::vector<unsigned>({t.object_type, t.sf_index, t.channel_config, t.sbr}),
                      std::vector<unsigned>({frames[0].object_type, frames[0].sf_index, frames[0].channel_config, 0}));
            ASSERT_GT(t.samples, 2u);
            if (s.cut) {
                ASSERT_LT(t.samples, frames.size());
                const SampleExtent& last = l.samples.back();
                EXPECT_GT(last.offset + last.size + frames[t.samples].payload.size(), file.size());
            } else {
                ASSERT_EQ(t.samples, frames.size());
            }
            std::size_t i = 0;
            for (const SampleExtent& e : l.samples)
                if (e.track == k) {
                    ASSERT_EQ(file.compare(e.offset, e.size, frames[i].payload), 0) << "track " << k << " sample " << i;
                    ++i;
                }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Files built box by box.

std::string be(std::uint64_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string box(const char* type, const std::string& payload) { return be(8 + payload.size(), 4) + type + payload; }
std::string full_box(const char* type, std::uint32_t version_flags, const std::string& payload) {
    return box(type, be(version_flags, 4) + payload);
}
std::string descriptor(unsigned tag, const std::string& payload, int length_bytes = 1) {
    std::string s(1, static_cast<char>(tag));
    for (int i = length_bytes - 1; i >= 0; --i)
        s += static_cast<char>(((payload.size() >> (7 * i)) & 0x7F) | (i > 0 ? 0x80 : 0));
    return s + payload;
}

struct Synth {
    std::vector<std::uint32_t> sizes = {100, 200, 150, 300, 120};
    std::string asc = std::string("\x12\x10", 2);  // LC, 44.1 kHz, stereo
    unsigned size_bits = 32;                       // stsz, or stz2 with 4, 8, 16
    bool co64 = false, index_last = false, large_mdat = false, mdat_to_end = false, wave = false;
    unsigned sound_version = 0, tkhd_version = 0;
    std::string extra_moov;  // appended inside moov
    // The tables as written, where they differ from the media laid out above.
    std::uint32_t constant_size = 0, count_field = 0, description = 1, per_chunk = 2;
    std::uint8_t es_flags = 0;  // optional ES_Descriptor fields: dependsOn_ES_ID, URL, OCR_ES_Id
    std::uint8_t object_type_indication = 0x40;
    const char* handler = "soun";
    std::string first_entry;              // a sample description before the mp4a one
    std::vector<std::uint32_t> stsc;      // first_chunk, samples_per_chunk, description triples
    std::vector<std::uint64_t> chunk_at;  // from the first media byte
};

std::string esds(const std::string& asc, std::uint8_t flags, std::uint8_t oti = 0x40) {
    const std::string config = be(oti, 1) + "\x15" + be(0, 3) + be(128000, 4) + be(128000, 4);
    const std::string optional = std::string(flags & 0x80 ? "\x00\x02" : "", flags & 0x80 ? 2 : 0) +
                                 (flags & 0x40 ? "\x03url" : "") +
                                 std::string(flags & 0x20 ? "\x00\x03" : "", flags & 0x20 ? 2 : 0);
    return full_box("esds", 0,
                    descriptor(3, be(1, 2) + static_cast<char>(flags) + optional +
                                      descriptor(4, config + descriptor(5, asc, 4)) + descriptor(6, "\x02")));
}

std::string moov_of(const Synth& s, std::uint64_t data_at) {
    std::string sound = be(0, 6) + be(1, 2) + be(s.sound_version, 2) + be(0, 6) + be(2, 2) + be(16, 2) + be(0, 4) +
                        be(44100u << 16, 4) + std::string(s.sound_version * 18 - (s.sound_version == 1) * 2, '\0');
    const std::string es = esds(s.asc, s.es_flags, s.object_type_indication);
    sound += s.wave ? box("wave", box("frma", "mp4a") + es + be(8, 4) + be(0, 4)) : es;
    const std::string stsd =
        full_box("stsd", 0, be(s.first_entry.empty() ? 1 : 2, 4) + s.first_entry + box("mp4a", sound));
    std::string sizes;
    const std::uint32_t count = s.count_field != 0 ? s.count_field : static_cast<std::uint32_t>(s.sizes.size());
    if (s.size_bits == 32) {
        sizes = be(s.constant_size, 4) + be(count, 4);
        for (std::uint32_t v : s.sizes) sizes += s.constant_size != 0 ? "" : be(v, 4);
        sizes = full_box("stsz", 0, sizes);
    } else {
        BitWriter w;
        for (std::uint32_t v : s.sizes) w.put(v, s.size_bits);
        sizes = full_box("stz2", 0, be(s.size_bits, 4) + be(s.sizes.size(), 4) + std::string(w.bytes.begin(),
                                                                                            w.bytes.end()));
    }
    // per_chunk samples a chunk, the chunks laid one after another.
    std::vector<std::uint64_t> chunk_at = s.chunk_at;
    for (std::uint64_t i = 0, at = 0; s.chunk_at.empty() && i < s.sizes.size(); at += s.sizes[i++])
        if (i % s.per_chunk == 0) chunk_at.push_back(at);
    std::string chunks = be(chunk_at.size(), 4);
    for (std::uint64_t at : chunk_at) chunks += be(data_at + at, s.co64 ? 8 : 4);
    const std::vector<std::uint32_t> entries =
        s.stsc.empty() ? std::vector<std::uint32_t>{1, s.per_chunk, s.description} : s.stsc;
    std::string stsc = be(entries.size() / 3, 4);
    for (std::uint32_t v : entries) stsc += be(v, 4);
    const std::string stbl =
        box("stbl", stsd + full_box("stsc", 0, stsc) + sizes + full_box(s.co64 ? "co64" : "stco", 0, chunks));
    const std::string times(8 + 8 * s.tkhd_version, '\0');  // creation and modification times
    const std::string tkhd = full_box("tkhd", s.tkhd_version << 24 | 3, times + be(7, 4) + std::string(68, '\0'));
    const std::string hdlr = full_box("hdlr", 0, be(0, 4) + s.handler + std::string(13, '\0'));
    return box("moov", box("trak", tkhd + box("mdia", hdlr + box("minf", stbl))) + s.extra_moov);
}

// The file and where each sample was put.
std::string build(const Synth& s, std::vector<std::uint64_t>* offsets = nullptr) {
    const std::string ftyp = box("ftyp", std::string("isom") + be(0, 4) + "isomiso2mp41");
    const std::string uuid = box("uuid", std::string(16, '\x7A') + "user");
    std::string media;
    for (std::size_t i = 0; i < s.sizes.size(); ++i) media += std::string(s.sizes[i], static_cast<char>('a' + i));
    const std::string mdat_header = s.large_mdat ? be(1, 4) + "mdat" + be(16 + media.size(), 8)
                                    : be(s.mdat_to_end ? 0 : 8 + media.size(), 4) + "mdat";
    const std::uint64_t data_at =
        ftyp.size() + uuid.size() + (s.index_last ? 0 : moov_of(s, 0).size()) + mdat_header.size();
    const std::string moov = moov_of(s, data_at);
    if (offsets != nullptr) {
        offsets->clear();
        std::uint64_t at = data_at;
        for (std::uint32_t v : s.sizes) offsets->push_back(at), at += v;
    }
    return s.index_last ? ftyp + uuid + mdat_header + media + moov : ftyp + uuid + moov + mdat_header + media;
}

TEST(ContainerWalk, BoxAndTableFormsAllPlaceTheSamples) {
    std::vector<Synth> forms(10);
    forms[1].co64 = true;
    forms[2].size_bits = 16;
    forms[3].size_bits = 8, forms[3].sizes = {10, 255, 1, 77};
    forms[4].size_bits = 4, forms[4].sizes = {3, 15, 1, 9, 4};
    forms[5].index_last = true, forms[5].large_mdat = true;
    forms[6].mdat_to_end = true;
    forms[7].sound_version = 1, forms[7].wave = true;
    forms[8].sound_version = 2, forms[8].extra_moov = box("udta", full_box("meta", 0, box("ilst", "")));
    forms[9].es_flags = 0xE0, forms[9].tkhd_version = 1;
    for (std::size_t f = 0; f < forms.size(); ++f) {
        SCOPED_TRACE(::testing::Message() << "form " << f);
        std::vector<std::uint64_t> offsets;
        const std::string file = build(forms[f], &offsets);
        ContainerLayout l;
        ASSERT_TRUE(walk(file, l));
        ASSERT_EQ(l.tracks.size(), 1u);
        EXPECT_EQ(l.tracks[0].track_id, 7u);
        EXPECT_EQ(l.tracks[0].sample_rate, 44100u);
        ASSERT_EQ(l.samples.size(), offsets.size());
        for (std::size_t i = 0; i < offsets.size(); ++i)
            EXPECT_TRUE(l.samples[i].offset == offsets[i] && l.samples[i].size == forms[f].sizes[i]) << i;
    }
}

// One moof of two trafs for track 7 (trex: description 1, size 100): the first traf from the
// moof's first byte, a run with a data offset then one continuing after it at the trex size; the
// second traf from where the first traf's data ended, or from an explicit base.
TEST(ContainerWalk, FragmentRunsFollowTheirBases) {
    const std::string ftyp = box("ftyp", std::string("iso6") + be(0, 4));
    Synth index;
    index.sizes.clear();
    index.extra_moov = box("mvex", full_box("trex", 0, be(7, 4) + be(1, 4) + be(1024, 4) + be(100, 4) + be(0, 4)));
    const std::string moov = moov_of(index, 0);
    struct Variant {
        const char* what;
        std::uint32_t first_flags, second_flags, second_description, second_run_flags;
        std::vector<std::uint32_t> expect;  // sizes of the samples taken, in order
    };
    const Variant variants[] = {
        {"implicit bases", 0, 0x02, 1, 0x200, {50, 60, 100, 100, 70}},
        {"second traf of another description", 0, 0x02, 2, 0x200, {50, 60, 100, 100}},
        {"explicit base", 0x020000, 0x03, 1, 0x200, {50, 60, 100, 100, 70}},
        {"moof base with a data offset", 0, 0x020002, 1, 0x201, {50, 60, 100, 100, 70}},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        const std::uint64_t moof_at = ftyp.size() + moov.size();
        std::uint64_t moof_size = 0, data_offset = 0;
        std::string moof;
        for (int pass = 0; pass < 2; ++pass) {  // the second pass knows the moof's size
            data_offset = moof_size + 8 + 5;    // five bytes of the mdat no run uses
            const std::string first = box(
                "traf", full_box("tfhd", v.first_flags, be(7, 4)) +
                            full_box("trun", 0x205, be(2, 4) + be(data_offset, 4) + be(0, 4) + be(50, 4) + be(60, 4)) +
                            full_box("trun", 0, be(2, 4)));
            const std::string base = (v.second_flags & 1) ? be(moof_at + data_offset + 310, 8) : "";
            const std::string second = box(
                "traf", full_box("tfhd", v.second_flags, be(7, 4) + base + be(v.second_description, 4)) +
                            full_box("trun", v.second_run_flags,
                                     be(1, 4) + (v.second_run_flags & 1 ? be(data_offset + 310, 4) : "") + be(70, 4)));
            moof = box("moof", full_box("mfhd", 0, be(1, 4)) + first + second);
            moof_size = moof.size();
        }
        std::string media = "mdat0";
        for (std::uint32_t n : {50, 60, 100, 100, 70}) media += std::string(n, static_cast<char>('A' + n % 26));
        const std::string file = ftyp + moov + moof + box("mdat", media) + box("mfra", "");
        ContainerLayout l;
        ASSERT_TRUE(walk(file, l));
        EXPECT_TRUE(l.fragmented);
        ASSERT_EQ(l.samples.size(), v.expect.size());
        for (std::size_t i = 0, at = moof_at + data_offset; i < v.expect.size(); at += v.expect[i++])
            EXPECT_TRUE(l.samples[i].offset == at && l.samples[i].size == v.expect[i]) << i;
    }
}

TEST(ContainerWalk, AudioSpecificConfigsModelledOrNot) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::uint32_t, unsigned>> fields;
        bool modelled;
        unsigned object_type, sf_index, channels, rate;
        bool sbr, ps;
    };
    const Case cases[] = {
        {"LC 48k 5.1", {{2, 5}, {3, 4}, {6, 4}, {0, 3}}, true, 2, 3, 6, 48000, false, false},
        {"Main, PCE", {{1, 5}, {4, 4}, {0, 4}, {0, 3}, {0, 32}}, true, 1, 4, 0, 44100, false, false},
        {"LTP, core coder delay, SBR after", {{4, 5}, {8, 4}, {1, 4}, {1, 2}, {0, 15}, {0x2B7, 11}, {5, 5}, {1, 1},
         {5, 4}}, true, 4, 8, 1, 32000, true, false},
        {"explicit SBR", {{5, 5}, {6, 4}, {2, 4}, {3, 4}, {2, 5}, {0, 3}}, true, 2, 6, 2, 48000, true, false},
        {"explicit PS", {{29, 5}, {6, 4}, {1, 4}, {3, 4}, {2, 5}, {0, 3}}, true, 2, 6, 1, 48000, true, true},
        {"hierarchical SBR and PS", {{2, 5}, {7, 4}, {2, 4}, {0, 3}, {0x2B7, 11}, {5, 5}, {1, 1}, {4, 4}, {0x548, 11},
         {8, 4}}, true, 2, 7, 2, 44100, true, true},
        {"960-sample frames", {{2, 5}, {4, 4}, {2, 4}, {1, 1}, {0, 2}}, false, 0, 0, 0, 0, false, false},
        {"explicit rate", {{2, 5}, {15, 4}, {44100, 24}, {2, 4}, {0, 3}}, false, 0, 0, 0, 0, false, false},
        {"escaped ELD", {{31, 5}, {7, 6}, {4, 4}, {2, 4}, {0, 8}}, false, 0, 0, 0, 0, false, false},
        {"SSR", {{3, 5}, {4, 4}, {2, 4}, {0, 3}}, false, 0, 0, 0, 0, false, false},
        {"channels 8", {{2, 5}, {4, 4}, {8, 4}, {0, 3}}, false, 0, 0, 0, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        for (const auto& f : c.fields) w.put(f.first, f.second);
        AacTrack t;
        ASSERT_EQ(read_audio_specific_config(w.bytes.data(), w.bytes.size(), t), c.modelled);
        if (!c.modelled) continue;
        EXPECT_EQ(std::vector<unsigned>({t.object_type, t.sf_index, t.channel_config, t.sample_rate, t.sbr, t.ps}),
                  std::vector<unsigned>({c.object_type, c.sf_index, c.channels, c.rate, c.sbr, c.ps}));
    }
}

// ---------------------------------------------------------------------------------------------
// Damage and hostility: never a crash, always a sane layout, and the lies named here handled.

TEST(ContainerWalk, DamagedAndHostileFilesGiveSaneLayouts) {
    std::vector<std::string> files = {build(Synth{}), read_file(test_data("mp4/frag_duration.mp4")),
                                      read_file(test_data("mp4/stereo.mov"))};
    // Every cut of a file, and bytes changed at random.
    std::mt19937 rng(21);
    for (const std::string& whole : files) {
        for (std::size_t n = 0; n <= whole.size(); n += (n < 2000 ? 1 : 37)) {
            ContainerLayout l;
            if (walk(whole.substr(0, n), l)) expect_sane(l, n);
            else EXPECT_EQ(l.kind, ContainerKind::NONE);
        }
        for (int round = 0; round < 1500; ++round) {
            std::string bad = whole;
            for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k)
                bad[rng() % bad.size()] = static_cast<char>(rng());
            ContainerLayout l;
            if (walk(bad, l)) expect_sane(l, bad.size());
        }
    }
    ContainerLayout l;
    const std::string ftyp = box("ftyp", "isom");
    EXPECT_FALSE(walk(ftyp + be(4, 4) + "free", l));      // a size below its header
    EXPECT_TRUE(walk(ftyp + box("free", "") + "xy", l));  // a last header cut short
    EXPECT_FALSE(walk(box("junk", "") + ftyp, l));        // not a first box of the family
    EXPECT_FALSE(walk(std::string(64, '\0'), l));
    for (const char* head : {"\xFF\xF1\x50\x80\x2E\x7F\xFC\x00", "\x00\x00\x00\x04moov", "ID3\x04\x00\x00\x00\x00"})
        EXPECT_FALSE(looks_like_iso_media(reinterpret_cast<const std::uint8_t*>(head), 8)) << head;
    EXPECT_TRUE(looks_like_iso_media(reinterpret_cast<const std::uint8_t*>("\x00\x00\x00\x00wide"), 8));
    EXPECT_TRUE(walk(be(4000, 4) + "ftypisom", l));  // one box cut short by the end
    EXPECT_STREQ(l.brand, "isom");

    auto taken = [&l](const Synth& s) { return walk(build(s), l) ? l.samples.size() : 999u; };
    // The default file (five samples) with `change` made to it.
    const auto with = [](auto change) {
        Synth s;
        change(s);
        return s;
    };
    // A count far beyond its box: the entries there are taken.
    EXPECT_EQ(taken(with([](Synth& s) { s.count_field = 0x7FFFFFFF; })), 5u);
    // The largest access unit, then one byte larger than any.
    ASSERT_EQ(taken(with([](Synth& s) { s.sizes = {100, 8191, 8192, 150}; })), 3u);
    EXPECT_TRUE(l.samples[1].size == 8191 && l.samples[2].size == 150);
    // MPEG-2 AAC LC is taken, MPEG-2 AAC SSR not, whatever the config says.
    EXPECT_EQ(taken(with([](Synth& s) { s.object_type_indication = 0x67; })), 5u);
    EXPECT_EQ(taken(with([](Synth& s) { s.object_type_indication = 0x68; })), 0u);
    // An mp4a description in a track that is not sound.
    EXPECT_EQ(taken(with([](Synth& s) { s.handler = "vide"; })), 0u);
    EXPECT_TRUE(l.tracks.empty() && l.other_tracks == 1);
    // The chunks use a description that is not the AAC entry.
    EXPECT_EQ(taken(with([](Synth& s) { s.description = 2; })), 0u);
    EXPECT_EQ(l.tracks.size(), 1u);
    // Chunks of two descriptions: an unmodelled mp4a (960-sample frames) first, the AAC one second.
    Synth s;
    s.first_entry = box("mp4a", std::string(28, '\0') + esds(std::string("\x12\x14", 2), 0));
    s.stsc = {1, 2, 2, 2, 2, 1, 3, 2, 2};
    ASSERT_EQ(taken(s), 3u);
    EXPECT_TRUE(l.samples[1].size == 200 && l.samples[2].size == 120);
    s.stsc = {2, 2, 2};  // not starting at chunk 1
    EXPECT_EQ(taken(s), 0u);
    s.stsc = {1, 2, 2, 1, 1, 2};  // two entries for chunk 1
    EXPECT_EQ(taken(s), 0u);
    s = Synth{};
    s.co64 = true;
    s.chunk_at = {0, 1ull << 62, 820};  // samples wholly or partly past the end are dropped
    EXPECT_EQ(taken(s), 2u);
    s.chunk_at = {0, 0, 300};  // chunks overlapping: the first sample at an offset wins, overlaps go
    ASSERT_EQ(taken(s), 3u);
    EXPECT_TRUE(l.samples[0].size == 100 && l.samples[1].size == 200 && l.samples[2].size == 120);
    EXPECT_EQ(l.samples[2].offset - l.samples[0].offset, 300u);
    EXPECT_EQ(l.tracks[0].samples, 3u);

    // Depth and box-count bombs inside the index, a trak whose size runs past the moov.
    std::string nest;
    for (int i = 0; i < 4000; ++i) nest = box(i % 2 ? "trak" : "mdia", nest);
    std::string many;
    for (int i = 0; i < 150000; ++i) many += box("free", "");
    s = Synth{};
    for (const std::string& extra : {nest, many, be(1u << 30, 4) + "trak" + box("mdia", "")}) {
        s.extra_moov = extra;
        ASSERT_TRUE(walk(build(s), l));
        expect_sane(l, build(s).size());
    }
    EXPECT_EQ(l.other_tracks, 1u);

    // Constant sizes: at most kWalkMaxSamples taken, of the largest access unit as many as lie
    // whole in the media, and none of a size no access unit has.
    s = Synth{};
    s.sizes = {1500000};
    s.count_field = s.per_chunk = 1500000;
    const std::pair<std::uint32_t, std::size_t> constant_sizes[] = {{1, kWalkMaxSamples}, {8191, 1500000 / 8191}, {8192, 0}};
    for (const auto& [size, count] : constant_sizes) {
        s.constant_size = size;
        EXPECT_EQ(taken(s), count) << size;
    }
}

// A unit is kept in 8 bytes: its offset below 16 TiB, its length below 8 KiB. In a file larger
// than that, the walk still places every sample, and the units end before the first sample
// whose offset would not fit, rather than wrap to some other place in the file.
TEST(ContainerWalk, UnitsEndWhereTheirOffsetsNoLongerFit) {
    UnitExtent largest{};
    largest.offset = kUnitOffsetLimit - 1;
    largest.size = kWalkMaxSampleBytes;
    EXPECT_TRUE(largest.offset == kUnitOffsetLimit - 1 && largest.size == kWalkMaxSampleBytes);
    EXPECT_TRUE(unit_fits(kUnitOffsetLimit - 1, kWalkMaxSampleBytes));
    EXPECT_FALSE(unit_fits(kUnitOffsetLimit, 1));

    Synth s;
    s.co64 = true;
    s.sizes = {100, 200, 150, 300};
    s.mdat_to_end = true;
    s.chunk_at = {0, kUnitOffsetLimit};  // two samples a chunk, the second chunk 16 TiB on
    const std::string file = build(s);  // then zeros to past the second chunk
    Grown g{file, file.size(), kUnitOffsetLimit + (1u << 20) - file.size()};
    const RandomReader in{&g, read_grown, g.at + g.gap};
    ContainerLayout l;
    ASSERT_TRUE(walk_container(in, l));
    ASSERT_EQ(l.samples.size(), 4u);
    EXPECT_GE(l.samples[2].offset, kUnitOffsetLimit);

    UnitPlan map;
    map_units(in, map);
    ASSERT_EQ(map.source, UnitSource::ISO_MEDIA);
    ASSERT_EQ(map.units.size(), 2u);
    EXPECT_TRUE(map.units[0].offset == l.samples[0].offset && map.units[0].size == 100u);
    EXPECT_TRUE(map.units[1].offset == l.samples[1].offset && map.units[1].size == 200u);
    // the size table's entries name the two units, and nothing past them
    ASSERT_EQ(map.size_runs.size(), 1u);
    EXPECT_TRUE(map.size_runs[0].first_unit == 0 && map.size_runs[0].count == 2u);
}

// The most memory the process has held (KiB; 0 without /proc); with `restart`, from now on.
long peak_memory_kib(bool restart = false) {
    if (restart) std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    long kib = 0;
    for (std::string key; status >> key;)
        if (key == "VmHWM:") status >> kib;
    return kib;
}

// An M4A of one sample whose table of sizes holds 25 million entries (the box that large, the
// entries past the first read as zeros and never stored): the unit map costs the entries its
// units use, not 4 bytes for every entry of the table (100 MB).
TEST(ContainerWalk, LargeSizeTableCostsOnlyTheEntriesTheUnitsUse) {
    constexpr std::uint64_t kEntries = 25000000;
    Synth s;
    s.sizes = {100};
    s.per_chunk = 1;
    s.count_field = kEntries;
    s.index_last = true;  // the media before the index, which grows behind it
    Grown g{build(s), 0, 4 * (kEntries - 1)};
    g.at = g.file.find("stsz") + 20;  // after entry 0
    for (const char* type : {"moov", "trak", "mdia", "minf", "stbl", "stsz"}) {
        const std::size_t p = g.file.find(type) - 4;
        std::uint64_t size = 0;
        for (std::size_t i = p; i < p + 4; ++i) size = size << 8 | static_cast<std::uint8_t>(g.file[i]);
        g.file.replace(p, 4, be(size + g.gap, 4));
    }
    const RandomReader in{&g, read_grown, g.file.size() + g.gap};
    UnitPlan map;
    const long before = peak_memory_kib(true);
    map_units(in, map);
    EXPECT_LT(peak_memory_kib() - before, 32 << 10) << "KiB";
    ASSERT_EQ(map.source, UnitSource::ISO_MEDIA);
    ASSERT_EQ(map.units.size(), 1u);
    EXPECT_EQ(map.units[0].size, 100u);
    // the one entry of the size table in use, and the chunk offsets as a table of places
    ASSERT_EQ(map.size_runs.size(), 2u);
    const SizeRun& sizes = map.size_runs[0];
    EXPECT_TRUE(sizes.kind == RUN_UNIT_SIZES && sizes.offset == g.at - 4 && sizes.count == 1u && sizes.first_unit == 0);
    EXPECT_EQ(map.size_runs[1].kind, RUN_CHUNK_OFFSETS);
}

// A fragment's run that gives sample sizes alone is a table of sizes naming the media after
// it: its entries are numbered on from the track's, and a chunk holding the fragment derives
// every entry from the units that follow, which the unpacker fills in once it has them.
TEST(ContainerWalk, RunsOfSizesAloneAreTablesOfTheMediaAfterThem) {
    const std::string file = read_file(test_data("mp4/frag_duration.mp4"));
    ContainerLayout l;
    ASSERT_TRUE(walk(file, l));
    std::uint32_t entries = 0;
    for (const SizeTable& t : l.size_tables) {
        EXPECT_EQ(t.first_entry, entries);
        entries += t.count;
    }
    EXPECT_EQ(l.size_tables.size(), 5u);  // the last run gives a duration as well
    EXPECT_EQ(entries, 65u);
    MemorySource m{reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), 0};
    UnitPlan plan;
    map_units(RandomReader{&m, read_memory_at, file.size()}, plan);
    ASSERT_EQ(plan.size_runs.size(), 5u);
    for (const SizeRun& r : plan.size_runs) EXPECT_GT(plan.units[r.first_unit].offset, r.offset);

    UnitCuts cuts;
    cuts.plan = &plan;
    std::vector<ChunkUnit> units;
    std::size_t first = 0;
    ASSERT_EQ(cut_unit_chunk(cuts, 0, file.size(), 0, units, first), file.size());
    const Bytes data = bytes_of(file);
    add_size_tables(cuts, 0, data.data(), data.size(), first, units);
    Bytes blank = data;
    std::uint32_t derived = 0;
    for (const ChunkUnit& u : units) {
        if (u.kind != UNIT_SIZES) continue;
        derived += u.length / 4;
        std::fill_n(blank.begin() + u.start, u.length, 0);
    }
    EXPECT_EQ(derived, 65u);
    UnitLengths known;
    EXPECT_TRUE(fill_size_tables(units, known, blank.data(), blank.size(), XXH3_64bits(data.data(), data.size()), 0));
    EXPECT_TRUE(blank == data);
}

// A segment cut from a fragmented file has no index: its tracks are named only by its fragments,
// and the frame context is found by parsing their first samples. The AAC track's samples are
// the access units of the ADTS copy (its context one whose band tables fit), video is dropped.
TEST(ContainerWalk, SegmentsWithoutAnIndexProbeTheirTracks) {
    for (const char* name : {"frag_moof.mp4", "frag_av.mp4"}) {
        SCOPED_TRACE(name);
        std::string file = read_file(test_data(std::string("mp4/") + name));
        for (const char* type : {"moov", "ftyp"}) {  // the index and the file type go
            const std::size_t at = file.find(type) - 4;
            std::uint32_t size = 0;
            for (std::size_t i = at; i < at + 4; ++i) size = size << 8 | static_cast<std::uint8_t>(file[i]);
            file.erase(at, size);
        }
        file = box("styp", "msdh") + file;
        ContainerLayout l;
        ASSERT_TRUE(walk(file, l));
        EXPECT_TRUE(l.guessed_tracks && l.fragmented);
        MemorySource m{reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), 0};
        UnitPlan plan;
        map_units(RandomReader{&m, read_memory_at, file.size()}, plan);
        ASSERT_EQ(plan.source, UnitSource::ISO_MEDIA);
        ASSERT_EQ(plan.layout.tracks.size(), 1u);
        EXPECT_EQ(plan.layout.other_tracks, std::string(name) == "frag_av.mp4" ? 1u : 0u);
        const std::vector<AdtsFrame> frames = adts_frames(read_file(test_data(std::string("mp4/") + name + ".adts")));
        ASSERT_EQ(plan.units.size(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(file.compare(plan.units[i].offset, plan.units[i].size, frames[i].payload), 0) << "unit " << i;
            ASSERT_EQ(plan.units[i].object_type, frames[i].object_type);
        }
        EXPECT_EQ(describe_units(plan, 5).rfind("MP4 segment, 1 AAC track (LC)", 0), 0u) << describe_units(plan, 5);
    }
    // Samples of nothing the models parse are dropped with their track.
    std::string moof;
    for (int pass = 0; pass < 2; ++pass)  // the second knows the moof's size, where the media starts
        moof = box("moof", full_box("mfhd", 0, be(1, 4)) +
                               box("traf", full_box("tfhd", 0x020000, be(7, 4)) +
                                               full_box("trun", 0x201, be(2, 4) + be(moof.size() + 8, 4) +
                                                                           be(300, 4) + be(200, 4))));
    const std::string lone = box("styp", "msdh") + moof + box("mdat", std::string(500, 'x'));
    ContainerLayout l;
    ASSERT_TRUE(walk(lone, l));
    EXPECT_TRUE(l.guessed_tracks);
    ASSERT_EQ(l.samples.size(), 2u);
    EXPECT_EQ(l.samples[1].offset, lone.size() - 200);
    MemorySource m{reinterpret_cast<const std::uint8_t*>(lone.data()), lone.size(), 0};
    UnitPlan plan;
    map_units(RandomReader{&m, read_memory_at, lone.size()}, plan);
    EXPECT_TRUE(plan.units.empty() && plan.layout.tracks.empty());
}

// ---------------------------------------------------------------------------------------------
// FLV: tags followed by their sizes, the AAC sequence header giving the context of what follows.

bool walk_flv_file(const std::string& file, ContainerLayout& layout) {
    MemorySource m{reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), 0};
    return walk_flv(RandomReader{&m, read_memory_at, file.size()}, layout);
}

std::string flv_header() { return std::string("FLV\x01\x04", 5) + be(9, 4) + be(0, 4); }
std::string flv_tag(unsigned type, const std::string& body) {
    return be(type, 1) + be(body.size(), 3) + be(0, 4) + be(0, 3) + body + be(11 + body.size(), 4);
}
// An AAC audio tag: a sequence header (packet 0) or a raw access unit (packet 1).
std::string aac_tag(unsigned packet, const std::string& body) { return flv_tag(8, "\xAF" + be(packet, 1) + body); }
const std::string kLcStereo44("\x12\x10", 2);  // AudioSpecificConfig: LC, 44.1 kHz, stereo

// A file of one AAC track (and other_tracks more) whose samples are the access units of the
// ADTS copy adts (under tests/data), in order, none missed.
void expect_one_track_of_copy(const std::string& file, const ContainerLayout& l, const char* adts,
                              unsigned other_tracks) {
    EXPECT_EQ(l.other_tracks, other_tracks);
    expect_sane(l, file.size());
    const std::vector<AdtsFrame> frames = adts_frames(read_file(test_data(adts)));
    ASSERT_EQ(l.tracks.size(), 1u);
    const AacTrack& t = l.tracks[0];
    EXPECT_EQ(std::vector<unsigned>({t.object_type, t.sf_index, t.channel_config}),
              std::vector<unsigned>({frames[0].object_type, frames[0].sf_index, frames[0].channel_config}));
    ASSERT_EQ(l.samples.size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(file.compare(l.samples[i].offset, l.samples[i].size, frames[i].payload), 0) << "unit " << i;
}

TEST(FlvWalk, AudioTagsAreTheAccessUnitsOfTheAdtsCopy) {
    const struct {
        const char* name;
        const char* adts;
        unsigned other_tracks;
    } samples[] = {{"flv/ff_stereo.flv", "lc_stereo_44k.aac", 0},  // ffmpeg
                   {"flv/gst_mono.flv", "lc_mono_44k.aac", 0},     // GStreamer, behind onMetaData
                   {"flv/video.flv", "flv/video.flv.adts", 1}};    // ffmpeg, beside H.264
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        const std::string file = read_file(test_data(s.name));
        ASSERT_TRUE(looks_like_flv(reinterpret_cast<const std::uint8_t*>(file.data()), 9));
        EXPECT_FALSE(looks_like_iso_media(reinterpret_cast<const std::uint8_t*>(file.data()), 9));
        ContainerLayout l;
        ASSERT_TRUE(walk_flv_file(file, l));
        EXPECT_EQ(l.kind, ContainerKind::FLV);
        expect_one_track_of_copy(file, l, s.adts, s.other_tracks);
    }
}

TEST(FlvWalk, DamagedAndHostileFilesGiveSaneLayouts) {
    const std::string whole = read_file(test_data("flv/video.flv"));
    ContainerLayout full;
    ASSERT_TRUE(walk_flv_file(whole, full));
    // Every cut keeps the units that lie whole before it; bytes changed at random stay sane.
    for (std::size_t n = 0; n <= whole.size(); n += (n < 600 ? 1 : 23)) {
        ContainerLayout l;
        if (!walk_flv_file(whole.substr(0, n), l)) {
            EXPECT_LT(n, 9u);
            continue;
        }
        expect_sane(l, n);
        ASSERT_LE(l.samples.size(), full.samples.size());
        for (std::size_t i = 0; i < l.samples.size(); ++i) ASSERT_EQ(l.samples[i].offset, full.samples[i].offset);
    }
    std::mt19937 rng(33);
    for (int round = 0; round < 2000; ++round) {
        std::string bad = whole;
        for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) bad[rng() % bad.size()] = static_cast<char>(rng());
        ContainerLayout l;
        if (walk_flv_file(bad, l)) expect_sane(l, bad.size());
    }

    const std::string unit(300, '\x21');
    ContainerLayout l;
    // Raw units before any sequence header, or after one the models do not describe (960-sample
    // frames), are not taken; a later header that is modelled starts the taking again.
    ASSERT_TRUE(walk_flv_file(flv_header() + aac_tag(1, unit) + aac_tag(0, kLcStereo44) + aac_tag(1, unit) +
                                  aac_tag(0, "\x12\x14") + aac_tag(1, unit) + aac_tag(0, "\x11\x90") + aac_tag(1, unit),
                              l));
    ASSERT_EQ(l.samples.size(), 2u);
    ASSERT_EQ(l.tracks.size(), 2u);  // a configuration change: LC 44.1 kHz stereo, then LC 48 kHz stereo
    EXPECT_TRUE(l.samples[0].track == 0 && l.samples[1].track == 1 && l.tracks[1].sf_index == 3);
    // Another sound format, an encrypted tag, an empty unit and one longer than any ADTS frame
    // could carry are not taken; the walk goes on past each.
    const std::string skipped = flv_tag(8, "\x2F\x01" + unit) + flv_tag(0x28, "\xAF\x01" + unit) + aac_tag(1, "") +
                                aac_tag(1, std::string(8192, 'x'));
    ASSERT_TRUE(walk_flv_file(flv_header() + aac_tag(0, kLcStereo44) + skipped + aac_tag(1, unit), l));
    ASSERT_EQ(l.samples.size(), 1u);
    EXPECT_EQ(l.samples[0].size, 300u);
    // The walk stops at a tag of an unknown type, with reserved bits set, or running past the end.
    for (const std::string& stop : {flv_tag(7, unit), flv_tag(0x48, unit)}) {
        ASSERT_TRUE(walk_flv_file(flv_header() + aac_tag(0, kLcStereo44) + stop + aac_tag(1, unit), l));
        EXPECT_TRUE(l.samples.empty());
    }
    ASSERT_TRUE(walk_flv_file(flv_header() + aac_tag(0, kLcStereo44) + aac_tag(1, unit).substr(0, 200), l));
    EXPECT_TRUE(l.samples.empty());
    // Not FLV: another version, a header length below its own.
    EXPECT_FALSE(walk_flv_file(std::string("FLV\x02\x04", 5) + be(9, 4) + be(0, 4), l));
    EXPECT_FALSE(walk_flv_file(std::string("FLV\x01\x04", 5) + be(8, 4) + be(0, 4), l));
    EXPECT_EQ(l.kind, ContainerKind::NONE);
    // A header length past the end of the file is an FLV file without tags.
    ASSERT_TRUE(walk_flv_file(std::string("FLV\x01\x04", 5) + be(0xFFFFFFFF, 4), l));
    EXPECT_TRUE(l.samples.empty());
}

// ---------------------------------------------------------------------------------------------
// Matroska: blocks of the AAC tracks, laced or not, in clusters of known or unknown size.

bool walk_mkv_file(const std::string& file, ContainerLayout& layout) {
    MemorySource m{reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), 0};
    return walk_matroska(RandomReader{&m, read_memory_at, file.size()}, layout);
}

// An element with its size in the 8-byte form, or of unknown size.
std::string el(std::uint32_t id, const std::string& body, bool unknown = false) {
    std::string head;
    for (std::uint32_t v = id; v != 0; v >>= 8) head.insert(head.begin(), static_cast<char>(v & 0xFF));
    return head + (unknown ? std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8) : "\x01" + be(body.size(), 7)) + body;
}
std::string ebml_file(const std::string& segment, const char* doc_type = "matroska") {
    return el(0x1A45DFA3, el(0x4282, doc_type)) + el(0x18538067, segment);
}
std::string track_entry(unsigned number, const char* codec, const std::string& config, const std::string& extra = "") {
    return el(0xAE, el(0xD7, be(number, 1)) + el(0x86, codec) + (config.empty() ? "" : el(0x63A2, config)) + extra);
}
// A block of track `number` (flags: lacing in bits 1-2) with its lace header and frames.
std::string block(unsigned number, unsigned flags, const std::string& lace, const std::string& frames) {
    return be(0x80 | number, 1) + be(0, 2) + be(flags, 1) + lace + frames;
}

TEST(MatroskaWalk, BlocksAreTheAccessUnitsOfTheAdtsCopy) {
    const struct {
        const char* name;
        const char* adts;
        unsigned other_tracks;
    } samples[] = {{"mkv/ff_stereo.mka", "lc_stereo_44k.aac", 0},  // ffmpeg: SimpleBlocks, Cues
                   {"mkv/gst_mono.mka", "lc_mono_44k.aac", 0},     // GStreamer: BlockGroups
                   {"mkv/live_video.mkv", "lc_mono_44k.aac", 1}};  // GStreamer live: unknown sizes, beside VP8
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        const std::string file = read_file(test_data(s.name));
        ASSERT_TRUE(looks_like_matroska(reinterpret_cast<const std::uint8_t*>(file.data()), 4));
        ContainerLayout l;
        ASSERT_TRUE(walk_mkv_file(file, l));
        EXPECT_EQ(l.kind, ContainerKind::MATROSKA);
        expect_one_track_of_copy(file, l, s.adts, s.other_tracks);
    }
}

TEST(MatroskaWalk, LacingClusterFormsAndHostileFiles) {
    const std::string a(100, 'a'), b(300, 'b'), c(7, 'c');
    const std::string tracks = el(0x1654AE6B, track_entry(1, "A_AAC", kLcStereo44) +
                                                  track_entry(2, "A_AAC", kLcStereo44, el(0x6D80, "")) +  // encoded
                                                  track_entry(3, "V_VP8", "") + track_entry(4, "A_AAC/MPEG4/LC", "") +
                                                  track_entry(5, "A_AAC", "\x11\x90"));  // 48 kHz
    const std::string cluster =
        el(0xE7, be(0, 1)) + el(0xA3, block(1, 0x80, "", a)) +                     // no lacing
        el(0xA3, block(1, 0x82, "\x02\x64\xFF\x2D", a + b + c)) +                   // Xiph: 100, 255 + 45, rest
        el(0xA3, block(1, 0x86, "\x02\x40\x64\x60\xC7", a + b + c)) +               // EBML: 100, +200, rest
        el(0xA3, block(1, 0x84, "\x01", b + b)) +                                    // fixed: two of 300
        el(0xA0, el(0xA1, block(5, 0, "", c)) + el(0x9B, be(1024, 2))) +             // a BlockGroup, track 5
        el(0xA3, block(2, 0x80, "", a)) + el(0xA3, block(3, 0x80, "", b)) +         // not modelled
        el(0xA3, block(4, 0x80, "", a)) + el(0xA3, block(9, 0x80, "", a)) +         // no config, no such track
        el(0xA3, block(1, 0x82, "\x02\xFF\xFF", a)) +                                // Xiph sizes past the block
        el(0xA3, block(1, 0x84, "\x02", a));                                         // 100 bytes in 3 equal frames
    const std::vector<unsigned> sizes = {100, 100, 300, 7, 100, 300, 7, 300, 300, 7};
    const std::string live = el(0x1F43B675, el(0xA3, block(1, 0x80, "", c)), true) + el(0x1C53BB6B, "") +
                             el(0x1F43B675, el(0xA3, block(1, 0x80, "", c)));
    ContainerLayout l;
    for (const char* doc_type : {"matroska", "webm"}) {
        const std::string file = ebml_file(tracks + el(0x1F43B675, cluster) + live, doc_type);
        ASSERT_TRUE(walk_mkv_file(file, l));
        EXPECT_STREQ(l.brand, std::string(doc_type) == "webm" ? "webm" : "");
        expect_sane(l, file.size());
        ASSERT_EQ(l.tracks.size(), 2u);
        EXPECT_EQ(l.other_tracks, 3u);
        EXPECT_TRUE(l.tracks[0].track_id == 1 && l.tracks[1].track_id == 5 && l.tracks[1].sf_index == 3);
        std::vector<unsigned> found;
        for (const SampleExtent& e : l.samples) found.push_back(e.size);
        ASSERT_EQ(found.size(), sizes.size() + 2);
        for (std::size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(found[i], sizes[i]) << i;
        EXPECT_EQ(l.samples.back().size, 7u);
        EXPECT_EQ(file.compare(l.samples[3].offset, 7, c), 0);
        EXPECT_TRUE(l.samples[8].track == 0 && l.samples[9].track == 1);
    }

    // Every cut keeps a prefix of the samples; bytes changed at random stay sane.
    const std::string whole = ebml_file(tracks + el(0x1F43B675, cluster) + live);
    ContainerLayout full;
    ASSERT_TRUE(walk_mkv_file(whole, full));
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        if (!walk_mkv_file(whole.substr(0, n), l)) continue;
        expect_sane(l, n);
        ASSERT_LE(l.samples.size(), full.samples.size());
        for (std::size_t i = 0; i < l.samples.size(); ++i) ASSERT_EQ(l.samples[i].offset, full.samples[i].offset) << n;
    }
    std::mt19937 rng(34);
    for (const std::string& sample : {whole, read_file(test_data("mkv/live_video.mkv"))})
        for (int round = 0; round < 2000; ++round) {
            std::string bad = sample;
            for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) bad[rng() % bad.size()] = static_cast<char>(rng());
            if (walk_mkv_file(bad, l)) expect_sane(l, bad.size());
        }
    // Not Matroska: another DocType, no EBML header, a header too large to be one.
    EXPECT_FALSE(walk_mkv_file(ebml_file(tracks, "mka"), l));
    EXPECT_FALSE(walk_mkv_file(el(0x18538067, tracks), l));
    EXPECT_FALSE(walk_mkv_file(el(0x1A45DFA3, std::string(5000, '\xEC')), l));
    EXPECT_EQ(l.kind, ContainerKind::NONE);
    // A segment element of unknown size inside a cluster of unknown size ends the walk there.
    ASSERT_TRUE(walk_mkv_file(ebml_file(tracks + el(0x1F43B675, el(0xA3, block(1, 0x80, "", c)) + el(0xA0, "", true) +
                                                                  el(0xA3, block(1, 0x80, "", c)),
                                                              true)),
                              l));
    EXPECT_EQ(l.samples.size(), 1u);
}

}  // namespace
