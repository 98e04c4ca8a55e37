// LOAS streams split into a container stream and an elementary stream: on the files ffmpeg
// wrote, and on frames built here in each form the split takes, the elementary stream holds
// exactly the access units of the ADTS file they came from and the container stream next to
// nothing; forms it does not take stay bytes; any bytes at all come back through split and
// merge, and streams that do not add up are refused; packed, LOAS files and LATM in transport
// stream packets come back byte for byte with their access units modelled.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/container/loas_frames.h"
#include "support/bit_writer.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

// The access units of an ADTS file (no CRC) and the header fields the LATM configuration carries.
struct AdtsUnits {
    unsigned object_type = 0, sf_index = 0, channels = 0;
    std::vector<Bytes> payloads;
};

AdtsUnits units_of(const std::string& adts) {
    AdtsUnits u;
    const Bytes b = bytes_of(adts);
    std::vector<std::size_t> bounds = adts_frame_bounds(adts);
    bounds.pop_back();  // the last frame's end
    for (std::size_t at : bounds) {
        const std::size_t length = (std::size_t{b[at + 3]} & 3) << 11 | std::size_t{b[at + 4]} << 3 | b[at + 5] >> 5;
        u.object_type = (b[at + 2] >> 6) + 1u;
        u.sf_index = (b[at + 2] >> 2) & 15u;
        u.channels = (b[at + 2] & 1u) << 2 | b[at + 3] >> 6;
        u.payloads.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(at + 7),
                                b.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    return u;
}

// How frames are written here.
struct LoasForm {
    unsigned config_every = 0;   // a configuration in frame 0 only, or in every k-th
    bool explicit_sbr = false;   // the configuration signals SBR (object type 5) before the core
    bool other_data = false;     // 16 bits of other data after each payload
    bool crc = false;            // a configuration checksum
    unsigned mux_version = 0;    // audioMuxVersion 1: lengths as LatmGetValue, fill bits after the configuration
    unsigned mux_version_a = 0;  // 1: a form the split does not take
    unsigned length_type = 0;    // frameLengthType; other than 0 the split does not take
};

Bytes make_loas(const AdtsUnits& u, const LoasForm& form) {
    Bytes out;
    for (std::size_t k = 0; k < u.payloads.size(); ++k) {
        const Bytes& payload = u.payloads[k];
        const bool config = k == 0 || (form.config_every != 0 && k % form.config_every == 0);
        BitWriter b;
        b.put(config ? 0 : 1, 1);
        if (config) {
            b.put(form.mux_version, 1);
            if (form.mux_version == 1) b.put(form.mux_version_a, 1).put(0, 2).put(0xFF, 8);  // taraBufferFullness
            b.put(1, 1).put(0, 6).put(0, 4).put(0, 3);
            const unsigned config_bits = form.explicit_sbr ? 25 : 16;
            if (form.mux_version == 1) b.put(0, 2).put(config_bits + 5, 8);  // five fill bits follow it
            if (form.explicit_sbr)
                b.put(5, 5).put(u.sf_index, 4).put(u.channels, 4).put(u.sf_index - 3, 4).put(u.object_type, 5);
            else
                b.put(u.object_type, 5).put(u.sf_index, 4).put(u.channels, 4);
            b.put(0, 3);                      // GASpecificConfig
            if (form.mux_version == 1) b.put(0x15, 5);
            b.put(form.length_type, 3);
            b.put(form.length_type == 0 ? 0xFF : 0x1FF, form.length_type == 0 ? 8 : 9);
            b.put(form.other_data ? 1 : 0, 1);
            if (form.other_data && form.mux_version == 1) b.put(0, 2).put(16, 8);
            if (form.other_data && form.mux_version == 0) b.put(0, 1).put(16, 8);
            b.put(form.crc ? 1 : 0, 1);
            if (form.crc) b.put(0x5A, 8);
        }
        std::size_t left = payload.size();
        for (; left >= 255; left -= 255) b.put(255, 8);
        b.put(static_cast<std::uint32_t>(left), 8);
        for (std::uint8_t x : payload) b.put(x, 8);
        if (form.other_data) b.put(0xABCD, 16);
        b.align();
        const std::size_t length = b.bytes.size();
        out.push_back(0x56);
        out.push_back(static_cast<std::uint8_t>(0xE0 | length >> 8));
        out.push_back(static_cast<std::uint8_t>(length));
        out.insert(out.end(), b.bytes.begin(), b.bytes.end());
    }
    return out;
}

struct Split {
    std::size_t frames = 0;
    Bytes container, elementary;
    bool back = false;  // the merge gave the input again
};

Split split_and_merge(const Bytes& data, LatmConfig config = {}) {
    Split s;
    s.frames = split_loas(data.data(), data.size(), config, s.container, s.elementary);
    Bytes back(data.size());
    s.back = merge_loas(s.container.data(), s.container.size(), s.elementary.data(), s.elementary.size(), config,
                        back.data(), back.size()) &&
             back == data;
    return s;
}

// The payloads of the elementary stream's ADTS frames.
std::vector<Bytes> elementary_payloads(const Bytes& es) {
    return units_of(std::string(es.begin(), es.end())).payloads;
}

TEST(LoasFrames, TheElementaryStreamHoldsTheAccessUnitsOfTheAdtsFile) {
    const AdtsUnits stereo = units_of(read_file(test_data("lc_stereo_44k.aac")));
    ASSERT_GT(stereo.payloads.size(), 40u);
    // ffmpeg's LOAS file of the same frames (a configuration in every 20th)
    const Bytes ffmpeg = bytes_of(read_file(test_data("loas/lc_stereo_44k.loas")));
    const Split s = split_and_merge(ffmpeg);
    EXPECT_TRUE(s.back);
    EXPECT_EQ(s.frames, stereo.payloads.size());
    EXPECT_EQ(elementary_payloads(s.elementary), stereo.payloads);
    // what stays of each frame are its headers, the lengths in them zeroed
    EXPECT_LT(s.container.size(), 8 * s.frames);
    EXPECT_EQ(bytes_of(read_file(test_data("lc_stereo_44k.aac"))).size() - stereo.payloads.size() * 7,
              s.elementary.size() - s.frames * 7);

    const struct {
        const char* name;
        LoasForm form;
    } forms[] = {{"a configuration every third frame", {3, false, false, false, 0, 0, 0}},
                 {"SBR signalled before the core", {2, true, false, false, 0, 0, 0}},
                 {"other data after each payload", {0, false, true, false, 0, 0, 0}},
                 {"a configuration checksum", {5, false, false, true, 0, 0, 0}},
                 {"audioMuxVersion 1", {4, false, false, false, 1, 0, 0}},
                 {"audioMuxVersion 1, SBR signalled, other data", {0, true, true, true, 1, 0, 0}}};
    for (const auto& f : forms) {
        SCOPED_TRACE(f.name);
        const Split t = split_and_merge(make_loas(stereo, f.form));
        EXPECT_TRUE(t.back);
        EXPECT_EQ(t.frames, stereo.payloads.size());
        EXPECT_EQ(elementary_payloads(t.elementary), stereo.payloads);
    }
}

TEST(LoasFrames, FormsTheSplitDoesNotTakeStayBytes) {
    const AdtsUnits stereo = units_of(read_file(test_data("lc_stereo_44k.aac")));
    AdtsUnits main_pce = stereo;
    main_pce.channels = 0;  // a program config element would follow
    AdtsUnits sbr_core = stereo;
    sbr_core.object_type = 5;  // SBR as the core
    const struct {
        const char* name;
        AdtsUnits units;
        LoasForm form;
    } cases[] = {{"audioMuxVersionA 1", stereo, {0, false, false, false, 1, 1, 0}},
                 {"frame lengths not in bytes", stereo, {0, false, false, false, 0, 0, 1}},
                 {"channel configuration 0", main_pce, {0, false, false, false, 0, 0, 0}},
                 {"an object type the models do not code", sbr_core, {0, false, false, false, 0, 0, 0}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes data = make_loas(c.units, c.form);
        const Split s = split_and_merge(data);
        EXPECT_TRUE(s.back);
        EXPECT_EQ(s.frames, 0u);
        EXPECT_EQ(s.container, data);
        EXPECT_TRUE(s.elementary.empty());
    }
}

TEST(LoasFrames, AnyBytesComeBackAndStreamsThatDoNotAddUpAreRefused) {
    const Bytes loas = bytes_of(read_file(test_data("loas/lc_stereo_44k.loas")));
    const auto at = [&](std::size_t k) { return loas.begin() + static_cast<std::ptrdiff_t>(k); };
    const Bytes first(loas.begin(), at(5000)), rest(at(5000), loas.end());
    Bytes damaged = loas;
    damaged[2] ^= 0x10;  // the first frame's length: its configuration is lost with it
    Bytes syncs(700, 0x56);
    for (std::size_t k = 1; k < syncs.size(); k += 2) syncs[k] = 0xE1;
    const struct {
        const char* name;
        Bytes data;
    } inputs[] = {{"junk before, between and after frames",
                   concat({random_bytes(300, 1), first, random_bytes(77, 2), rest, random_bytes(50, 3)})},
                  {"cut in a frame", Bytes(loas.begin(), at(loas.size() - 100))},
                  {"a wrong frame length", damaged},
                  {"sync words and nothing else", syncs},
                  {"random bytes", random_bytes(20000, 4)},
                  {"nothing", {}}};
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.name);
        EXPECT_TRUE(split_and_merge(input.data).back);
    }

    Split s = split_and_merge(loas);
    ASSERT_TRUE(s.back);
    Bytes back(loas.size());
    const auto merges = [&](const Bytes& container, const Bytes& elementary) {
        return merge_loas(container.data(), container.size(), elementary.data(), elementary.size(), LatmConfig{},
                          back.data(), back.size());
    };
    Bytes header = s.elementary;
    header[1] ^= 0x08;  // an MPEG-2 header, which the split never makes
    Bytes longer = s.elementary;
    longer.push_back(0);
    const Bytes cut_container(s.container.begin(), s.container.end() - 1);
    const Bytes cut_elementary(s.elementary.begin(), s.elementary.end() - 1);
    EXPECT_FALSE(merges(s.container, header));
    EXPECT_FALSE(merges(s.container, longer));
    EXPECT_FALSE(merges(cut_container, s.elementary));
    EXPECT_FALSE(merges(s.container, cut_elementary));
    EXPECT_TRUE(merges(s.container, s.elementary));
}

TEST(LoasFrames, AChunkGoesOnWithTheConfigurationInEffectBeforeIt) {
    // a configuration in the first frame only
    const Bytes loas = make_loas(units_of(read_file(test_data("lc_stereo_44k.aac"))), LoasForm{});
    LatmConfig config;
    const LoasWalk whole = walk_loas(loas.data(), loas.size(), config, 6000);
    ASSERT_GT(whole.frames, 40u);
    EXPECT_EQ(whole.frame_bytes, loas.size());
    ASSERT_TRUE(config.known);
    EXPECT_EQ(config.object_type, 2);
    EXPECT_EQ(config.sf_index, 4);
    EXPECT_EQ(config.channel_config, 2);

    // the walk up to a frame's end gives what the second part starts from
    LatmConfig before;
    const std::size_t cut = whole.last_end;
    ASSERT_GT(cut, 5000u);
    ASSERT_LE(cut, 6000u);
    const LoasWalk head = walk_loas(loas.data(), cut, before, cut);
    const Bytes second(loas.begin() + static_cast<std::ptrdiff_t>(cut), loas.end());
    const Split carried = split_and_merge(second, before);
    EXPECT_TRUE(carried.back);
    EXPECT_EQ(head.frames + carried.frames, whole.frames);
    // without it none of the second part's frames is taken; its own first configuration fits
    EXPECT_EQ(split_and_merge(second).frames, 0u);
    EXPECT_FALSE(first_loas_config(second.data(), second.size()).known);
    EXPECT_TRUE(first_loas_config(loas.data(), loas.size()).known);

    std::uint8_t bytes[kLatmConfigBytes];
    put_latm_config(config, bytes);
    LatmConfig read;
    EXPECT_TRUE(read_latm_config(bytes, read));
    EXPECT_TRUE(read.known && read.object_type == 2 && read.sf_index == 4 && read.channel_config == 2);
    put_latm_config(LatmConfig{}, bytes);
    EXPECT_TRUE(read_latm_config(bytes, read));
    EXPECT_FALSE(read.known);
    for (const Bytes& bad : {Bytes{0, 2, 0, 0}, Bytes{1, 3, 4, 2}, Bytes{1, 2, 13, 2}, Bytes{1, 2, 4, 0}, Bytes{2, 2, 4, 2}})
        EXPECT_FALSE(read_latm_config(bad.data(), read));
}

// Packed, the access units are modelled and the run's line says what was found, in several
// chunks too (each after the first going on with the configuration its frames leave).
TEST(LoasPacking, LoasFilesAndLatmInPacketsAreModelled) {
    const struct {
        const char* name;
        const char* found;
        std::size_t chunk_cap;
        std::uint8_t method;
    } samples[] = {
        {"loas/lc_stereo_44k.loas", "LOAS/LATM (LC, 44.1 kHz, stereo), 53 access units", 0, METHOD_LOAS},
        {"loas/lc_stereo_44k.loas", "LOAS/LATM (LC, 44.1 kHz, stereo), 53 access units", 4096, METHOD_LOAS},
        {"ts/latm_mono.ts", "MPEG-TS, 1 AAC stream (LATM, LC, 44.1 kHz, mono), 53 access units", 0, METHOD_TS},
    };
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        SCOPED_TRACE(s.chunk_cap);
        const Bytes data = bytes_of(read_file(test_data(s.name)));
        PackSettings settings;
        settings.input_size = data.size();
        if (s.chunk_cap != 0) settings.chunk_cap = s.chunk_cap;
        Bytes packed, back;
        PackReport report;
        MemorySource src{data.data(), data.size(), 0};
        ASSERT_EQ(pack_input(memory_source(src), nullptr, vector_sink(packed), settings, report), PACK_OK)
            << report.message;
        EXPECT_EQ(report.units, s.found);
        EXPECT_EQ(report.chunks_by_method[s.method], report.chunks);
        EXPECT_EQ(report.chunks > 3, s.chunk_cap != 0);
        ASSERT_EQ(unpack_bytes(packed, back, settings, report), PACK_OK) << report.message;
        EXPECT_TRUE(back == data);
    }
}

// A LOAS payload whose lengths do not hold, or whose elementary stream claims to be a LOAS
// stream's payload again, is refused before anything is made of it.
TEST(LoasPacking, PayloadsThatDoNotHoldAreRefused) {
    const Bytes data = bytes_of(read_file(test_data("loas/lc_stereo_44k.loas")));
    PackSettings settings;
    Bytes packed, back;
    PackReport report;
    ASSERT_EQ(pack_bytes(data, packed, settings, report), PACK_OK) << report.message;
    ASSERT_EQ(report.chunks_by_method[METHOD_LOAS], 1u);
    const std::size_t payload = kFileHeaderSize + kChunkRecordSize;
    const std::size_t lengths = payload + kLatmConfigBytes;  // the elementary stream's, then the side stream's
    const std::size_t side_packed = packed[lengths + 9] | packed[lengths + 10] << 8 | packed[lengths + 11] << 16;
    const std::size_t method = lengths + 4 + 9 + side_packed;
    ASSERT_LT(method, packed.size());
    ASSERT_EQ(packed[method], METHOD_MODEL);
    const struct {
        const char* name;
        std::size_t at;
        std::uint8_t value;
    } damage[] = {{"an elementary stream far longer than the chunk", lengths + 3, 0x7F},
                  {"an elementary stream a byte longer", lengths, static_cast<std::uint8_t>(packed[lengths] + 1)},
                  {"a LOAS stream's payload inside one", method, METHOD_LOAS},
                  {"a configuration that is none", payload + 1, 9}};
    for (const auto& d : damage) {
        SCOPED_TRACE(d.name);
        Bytes bad = packed;
        bad[d.at] = d.value;
        EXPECT_EQ(unpack_bytes(bad, back, settings, report), PACK_DAMAGED);
        EXPECT_FALSE(report.message.empty());
    }
}

}  // namespace
