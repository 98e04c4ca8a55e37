// Transport stream packets split into a container stream and an elementary stream: on files
// ffmpeg and GStreamer wrote, the elementary stream is exactly the ADTS file the audio came
// from, and the fields derived from what came before leave a container stream that compresses
// far better; on packets built here, each form of header sends its bytes where it should; on
// any bytes whatever, merging the two streams gives the input back, derived or not, and
// streams that do not add up are refused. From format version 9 (pes_frames) a PES packet's
// length is predicted from the frames of the one before, and the stuffing that ends one is a
// byte of the container stream.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <zstd.h>

#include "pack/container/ts_packets.h"
#include "support/test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

TsLayout layout_of(const Bytes& data) {
    TsLayout layout;
    std::size_t first = 0, size = 0;
    if (!find_ts_packets(data.data(), data.size(), first, size)) return layout;
    layout.lead = static_cast<std::uint32_t>(first);
    layout.packet_size = static_cast<std::uint16_t>(size);
    layout.pids = find_adts_pids(data.data(), data.size(), layout);
    return layout;
}

// Splits and merges back: true when the merge gives data again. The other packets' bodies,
// apart as the layout says, go to *other when given.
bool round_trip(const Bytes& data, const TsLayout& layout, Bytes* es = nullptr, Bytes* other = nullptr) {
    Bytes container, elementary, bodies;
    split_ts(data.data(), data.size(), layout, container, elementary, &bodies);
    Bytes back(data.size());
    if (es != nullptr) *es = elementary;
    if (other != nullptr) *other = bodies;
    return (layout.bodies_apart || bodies.empty()) &&
           merge_ts(container.data(), container.size(), elementary.data(), elementary.size(), layout, back.data(),
                    back.size(), bodies.data(), bodies.size()) &&
           back == data;
}

TEST(TsPackets, TheElementaryStreamIsTheAdtsFileTheAudioCameFrom) {
    const struct {
        const char* name;
        const char* adts;
        std::size_t packet, lead, derived_percent;
    } samples[] = {{"ts/ff_stereo.ts", "lc_stereo_44k.aac", 188, 0, 85},   // ffmpeg
                   {"ts/ff_stereo.m2ts", "lc_stereo_44k.aac", 192, 0, 85}, // ffmpeg, 4-byte time codes
                   {"ts/gst_mono.ts", "lc_mono_44k.aac", 188, 0, 75},      // GStreamer
                   {"ts/video.ts", "ts/video.ts.adts", 188, 0, 100}};      // ffmpeg, beside H.264
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        const Bytes data = bytes_of(read_file(test_data(s.name)));
        const TsLayout layout = layout_of(data);
        EXPECT_EQ(layout.packet_size, s.packet);
        EXPECT_EQ(layout.lead, s.lead);
        ASSERT_EQ(layout.pids.size(), 1u);
        Bytes es;
        ASSERT_TRUE(round_trip(data, layout, &es));
        EXPECT_TRUE(es == bytes_of(read_file(test_data(s.adts))));
        std::size_t packed[3] = {};
        for (const int form : {0, 1, 2}) {
            TsLayout d = layout;
            d.derive = form >= 1;
            d.pes_frames = form == 2;
            Bytes container, elementary;
            split_ts(data.data(), data.size(), d, container, elementary);
            EXPECT_TRUE(elementary == es);
            Bytes z(ZSTD_compressBound(container.size()));
            packed[form] = ZSTD_compress(z.data(), z.size(), container.data(), container.size(), 19);
            EXPECT_TRUE(round_trip(data, d));
        }
        // counters, lengths, time stamps and clock references that follow from the packets
        // before cost next to nothing (where video's packets are most of the stream, they
        // are most of what is left); the stuffing at the end of each PES packet costs less still
        EXPECT_LT(packed[1] * 100, packed[0] * s.derived_percent) << packed[0] << " " << packed[1];
        EXPECT_LT(packed[2], packed[1]);
        // With the other packets' bodies apart, the container stream keeps their 4-byte
        // headers, and the elementary stream is the same.
        TsLayout apart = layout;
        apart.derive = true;
        apart.bodies_apart = true;
        Bytes bodies, apart_es;
        ASSERT_TRUE(round_trip(data, apart, &apart_es, &bodies));
        EXPECT_TRUE(apart_es == es);
        std::size_t other_packets = 0;
        for (std::size_t at = layout.lead; at + layout.packet_size <= data.size(); at += layout.packet_size) {
            const std::uint8_t* h = &data[at + layout.packet_size - kTsPacket];
            other_packets += layout.pids[0] != ((h[1] & 0x1F) << 8 | h[2]);
        }
        EXPECT_EQ(bodies.size(), 184 * other_packets);
        // An HLS segment or a cut recording starts anywhere: behind junk, inside a PES packet.
        for (const std::size_t cut : {std::size_t{3}, std::size_t{188 * 7 + 100}}) {
            const Bytes tail(data.begin() + static_cast<std::ptrdiff_t>(cut), data.end());
            TsLayout t = layout_of(tail);
            ASSERT_EQ(t.pids, layout.pids);
            EXPECT_TRUE(round_trip(tail, t));
            t.derive = t.pes_frames = true;
            EXPECT_TRUE(round_trip(tail, t));
        }
    }
}

// A packet of the given PID with its header flags (byte 1's top bits, byte 3's control bits)
// and payload, filled to 188 bytes with 0xEE.
Bytes packet(unsigned pid, unsigned start, unsigned control, const Bytes& body) {
    Bytes p(kTsPacket, 0xEE);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>(start | pid >> 8);
    p[2] = static_cast<std::uint8_t>(pid);
    p[3] = static_cast<std::uint8_t>(control);
    for (std::size_t i = 0; i < body.size() && 4 + i < p.size(); ++i) p[4 + i] = body[i];
    return p;
}

Bytes joined(const Bytes& a, const Bytes& b) {
    Bytes r(a.size() + b.size());
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = i < a.size() ? a[i] : b[i - a.size()];
    return r;
}

TEST(TsPackets, EachFormOfPacketSendsItsBytesWhereTheyBelong) {
    const Bytes adts = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC};
    const Bytes pes = joined({0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 5, 1, 2, 3, 4, 5}, adts);  // a PES header of 14 bytes
    const Bytes with_af = joined({7, 0x10, 1, 2, 3, 4, 5, 6}, pes);  // behind an adaptation field of 7 bytes
    struct Case {
        const char* what;
        Bytes packet;
        std::size_t elementary;  // bytes of the packet that go to the elementary stream
    };
    const Case cases[] = {
        {"unit start with a PES header", packet(0x100, 0x40, 0x10, pes), 184 - 14},
        {"continuation", packet(0x100, 0, 0x11, {}), 184},
        {"adaptation field then PES header", packet(0x100, 0x40, 0x32, with_af), 184 - 8 - 14},
        {"adaptation field only", packet(0x100, 0, 0x20, {183}), 0},
        {"adaptation field longer than the packet", packet(0x100, 0, 0x30, {190}), 0},
        {"adaptation field of the whole rest", packet(0x100, 0, 0x30, {183}), 0},
        {"not a PES start", packet(0x100, 0x40, 0x10, {0, 0, 2}), 0},
        {"PES header longer than the packet", packet(0x100, 0x40, 0x10, {0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 180}), 0},
        {"PES header of the whole rest", packet(0x100, 0x40, 0x10, {0, 0, 1, 0xC0, 0, 0, 0x80, 0x80, 175}), 0},
        {"unit start with fewer than 9 bytes", packet(0x100, 0x40, 0x30, {176}), 0},
        {"transport error", packet(0x100, 0x80, 0x10, {}), 0},
        {"scrambled", packet(0x100, 0, 0x90, {}), 0},
        {"another PID", packet(0x101, 0, 0x10, {}), 0},
        {"out of sync", [] {
             Bytes p = packet(0x100, 0, 0x10, {});
             p[0] = 0x48;
             return p;
         }(),
         0},
    };
    TsLayout layout;
    layout.pids = {0x100};
    TsLayout apart = layout;
    apart.bodies_apart = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes es, bodies;
        ASSERT_TRUE(round_trip(c.packet, layout, &es));
        EXPECT_EQ(es.size(), c.elementary);
        EXPECT_TRUE(std::equal(es.begin(), es.end(), c.packet.end() - static_cast<std::ptrdiff_t>(es.size())));
        // apart, the bodies of the packets the elementary stream takes nothing from
        ASSERT_TRUE(round_trip(c.packet, apart, &es, &bodies));
        const std::uint8_t* h = c.packet.data();
        const bool whole_container = h[0] != 0x47 || (h[1] & 0x80) != 0 || (h[3] & 0xC0) != 0 ||
                                     (h[3] & 0x10) == 0 || ((h[1] & 0x1F) << 8 | h[2]) != 0x100;
        EXPECT_EQ(bodies.size(), whole_container ? 184u : 0u);
    }
    // The PID is found from a unit start of an audio stream whose payload starts with ADTS.
    EXPECT_EQ(find_adts_pids(cases[0].packet.data(), kTsPacket, layout), std::vector<std::uint16_t>{0x100});
    EXPECT_EQ(find_adts_pids(cases[2].packet.data(), kTsPacket, layout), std::vector<std::uint16_t>{0x100});
    Bytes video = cases[0].packet;
    video[4 + 3] = 0xE0;  // a video stream id
    EXPECT_TRUE(find_adts_pids(video.data(), kTsPacket, layout).empty());

    // Lead bytes, 192-byte packets and a partial last packet are the container's.
    Bytes all = {1, 2, 3};
    TsLayout prefixed;
    prefixed.lead = 3;
    prefixed.packet_size = kTsPacket + 4;
    prefixed.pids = {0x100};
    std::size_t elementary = 0;
    for (const Case& c : cases) {
        all = joined(all, joined({9, 9, 9, 9}, c.packet));  // behind its prefix
        elementary += c.elementary;
    }
    all = joined(all, Bytes(cases[1].packet.begin(), cases[1].packet.begin() + 100));
    Bytes es;
    ASSERT_TRUE(round_trip(all, prefixed, &es));
    EXPECT_EQ(es.size(), elementary);
}

// An HLS segment from ffmpeg holds 9 to 11 frames in each PES packet: predicted from the frames of
// the packet before, the lengths of most are found, which the first frame alone never gives.
TEST(TsPackets, PesPacketsOfSeveralFramesAreFoundFromTheOneBefore) {
    const Bytes data = bytes_of(read_file(test_data("ts/ff_hls_segment.ts")));
    TsLayout layout = layout_of(data);
    ASSERT_EQ(layout.pids.size(), 1u);
    layout.derive = true;
    std::size_t lengths_found[2] = {};
    for (const bool frames : {false, true}) {
        layout.pes_frames = frames;
        ASSERT_TRUE(round_trip(data, layout));
        Bytes container, elementary;
        split_ts(data.data(), data.size(), layout, container, elementary);
        // a PES header in the container stream: 00 00 01 C0, then its length as the difference
        // from the one predicted
        for (std::size_t at = 0; at + 6 <= container.size(); ++at)
            if (container[at] == 0 && container[at + 1] == 0 && container[at + 2] == 1 && container[at + 3] == 0xC0)
                lengths_found[frames] += container[at + 4] == 0 && container[at + 5] == 0;
    }
    EXPECT_EQ(lengths_found[0], 0u);
    EXPECT_GE(lengths_found[1], 2u);
}

TEST(TsPackets, AnyBytesComeBackAndStreamsThatDoNotAddUpAreRefused) {
    const Bytes data = bytes_of(read_file(test_data("ts/gst_mono.ts")));
    const TsLayout layout = layout_of(data);
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        Bytes bad = data;
        for (int k = 1 + static_cast<int>(rng() % 20); k > 0; --k) bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
        bad.resize(bad.size() - rng() % 400);
        TsLayout d = layout;
        d.derive = round % 2 == 1;
        d.bodies_apart = round % 4 == 3;
        d.pes_frames = d.derive && round % 3 != 0;
        ASSERT_TRUE(round_trip(bad, d)) << round;
    }
    // 192-byte packets, whose time stamps are derived too
    const Bytes m2ts = bytes_of(read_file(test_data("ts/ff_stereo.m2ts")));
    TsLayout m2ts_layout = layout_of(m2ts);
    m2ts_layout.derive = true;
    for (int round = 0; round < 100; ++round) {
        Bytes bad = m2ts;
        for (int k = 1 + static_cast<int>(rng() % 20); k > 0; --k) bad[rng() % bad.size()] = static_cast<std::uint8_t>(rng());
        ASSERT_TRUE(round_trip(bad, m2ts_layout)) << round;
    }
    // Bodies apart: the three lengths must add up, and bodies need a layout that has them.
    {
        TsLayout apart = layout;
        apart.derive = true;
        apart.bodies_apart = true;
        Bytes container, elementary, bodies, back(data.size());
        split_ts(data.data(), data.size(), apart, container, elementary, &bodies);
        ASSERT_FALSE(bodies.empty());
        const auto merges = [&](const TsLayout& l, std::size_t b_said) {
            return merge_ts(container.data(), container.size(), elementary.data(), elementary.size(), l, back.data(),
                            data.size(), bodies.data(), b_said);
        };
        EXPECT_TRUE(merges(apart, bodies.size()));
        EXPECT_FALSE(merges(apart, bodies.size() - 1));
        TsLayout together = apart;
        together.bodies_apart = false;
        EXPECT_FALSE(merges(together, bodies.size()));
    }
    Bytes container, elementary, back(data.size() + 1);
    split_ts(data.data(), data.size(), layout, container, elementary);
    const std::size_t c = container.size(), e = elementary.size();
    container.push_back(0);  // a byte more than each stream holds, for the lengths said wrong below
    elementary.push_back(0);
    const auto merges = [&](std::size_t c_said, std::size_t e_said, std::size_t n) {
        return merge_ts(container.data(), c_said, elementary.data(), e_said, layout, back.data(), n);
    };
    EXPECT_TRUE(merges(c, e, data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_FALSE(merges(c - 1, e, data.size()));
    EXPECT_FALSE(merges(c, e - 1, data.size()));
    EXPECT_FALSE(merges(c - 1, e + 1, data.size()));  // the right sum, cut wrong
    EXPECT_FALSE(merges(c + 1, e - 1, data.size()));
    EXPECT_FALSE(merges(c, e, data.size() + 1));
    // With pes_frames the container stream has a byte of its own before each PES packet's
    // last packet (0: its stuffing as predicted, 1: its adaptation field follows); it must be
    // one of the two, and the streams must be used up exactly.
    TsLayout marked = layout;
    marked.derive = marked.pes_frames = true;
    split_ts(data.data(), data.size(), marked, container, elementary);
    const auto merges_marked = [&](const Bytes& m, std::size_t e_said) {
        return merge_ts(m.data(), m.size(), elementary.data(), e_said, marked, back.data(), data.size()) &&
               std::equal(data.begin(), data.end(), back.begin());
    };
    EXPECT_TRUE(merges_marked(container, elementary.size()));
    EXPECT_FALSE(merges_marked(container, elementary.size() - 1));
    Bytes longer = container;
    longer.push_back(0);
    EXPECT_FALSE(merges_marked(longer, elementary.size()));
    EXPECT_FALSE(merges_marked(Bytes(container.begin(), container.end() - 1), elementary.size()));
    unsigned refused = 0, changed = 0;
    for (std::size_t at = 0; at < container.size(); ++at) {
        if (container[at] > 1) continue;
        Bytes m = container;
        m[at] = 2;  // not a mark (where a mark is, refused; elsewhere another byte of the packets)
        refused += !merge_ts(m.data(), m.size(), elementary.data(), elementary.size(), marked, back.data(), data.size());
        changed += 1;
    }
    EXPECT_GT(refused, 0u);
    EXPECT_LT(refused, changed);
}

}  // namespace
