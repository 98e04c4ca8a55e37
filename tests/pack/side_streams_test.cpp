// The side streams of a chunk (a transport stream's container stream, the runs of a split
// chunk) and chunks without units are carried by whatever makes them smallest: from format
// version 8, LZMA2 for structured bytes and the byte model for another track's samples that zstd
// barely shrinks. Earlier versions keep to zstd, and refuse what only version 8 may hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/container/ts_packets.h"
#include "pack/format/pack_format.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

constexpr std::size_t kFirstPayload = kFileHeaderSize + kChunkRecordSize;

struct Packed {
    Bytes bytes;
    PackReport report;
    unsigned version = kPackFormatVersion;
};

// Packed as a file is, read whole where its form needs it.
Packed pack_at(const Bytes& data, unsigned version) {
    PackSettings settings;
    settings.format_version = version;
    settings.input_size = data.size();
    MemorySource src{data.data(), data.size(), 0}, whole{data.data(), data.size(), 0};
    const RandomReader reader{&whole, read_memory_at, data.size()};
    Packed p;
    p.version = version;
    EXPECT_EQ(pack_input(memory_source(src), &reader, vector_sink(p.bytes), settings, p.report), PACK_OK)
        << p.report.message;
    Bytes back;
    PackReport report;
    EXPECT_EQ(unpack_bytes(p.bytes, back, PackSettings{}, report), PACK_OK) << report.message;
    EXPECT_TRUE(back == data);
    return p;
}

// The method byte of each chunk's side streams: after a transport stream chunk's layout (packet
// size, lead, PIDs and from version 9 the elementary stream's length), then its other packets'
// bodies' where they are apart; at a split chunk's start.
std::vector<std::uint8_t> side_methods(const Packed& p) {
    std::vector<std::uint8_t> methods;
    ChunkRecord r;
    for (std::size_t at = kFileHeaderSize; at < p.bytes.size() && p.bytes[at] == kChunkTag;
         at += kChunkRecordSize + r.packed_length) {
        EXPECT_TRUE(read_chunk_record(&p.bytes[at], r));
        const std::uint8_t* payload = &p.bytes[at + kChunkRecordSize];
        if (r.method == METHOD_SPLIT) methods.push_back(payload[0]);
        if (r.method == METHOD_TS) {
            const std::uint8_t* side = payload + 6 + 2 * payload[5] + (p.version >= 9 ? 4 : 0);
            methods.push_back(side[0]);
            if ((payload[0] & 2) != 0) methods.push_back(side[9 + get_le(side + 5, 4)]);  // the bodies'
        }
    }
    return methods;
}

bool has(const std::vector<std::uint8_t>& methods, std::uint8_t method) {
    for (const std::uint8_t m : methods)
        if (m == method) return true;
    return false;
}

TEST(SideStreams, EachGoesToWhatMakesItSmallest) {
    const struct {
        const char* file;
        std::uint8_t method;  // in version 8; version 7 has zstd
    } cases[] = {
        {"ts/noise_video.ts", METHOD_MODEL},   // noisy video packets beside the audio
        {"mkv/noise_video.mkv", METHOD_MODEL}, // noisy video blocks between the units
        {"ts/ff_stereo.ts", METHOD_LZMA},      // packet and PES headers
        {"mp4/other_codecs.mp4", METHOD_LZMA}, // another track's samples with much repeated
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes data = bytes_of(read_file(test_data(c.file)));
        const Packed now = pack_at(data, kPackFormatVersion);
        const Packed before = pack_at(data, 7);
        EXPECT_TRUE(has(side_methods(now), c.method));
        for (const std::uint8_t m : side_methods(before)) EXPECT_EQ(m, METHOD_ZSTD);
        EXPECT_LT(now.bytes.size(), before.bytes.size());
        if (c.method == METHOD_MODEL) {
            EXPECT_LT(now.bytes.size() * 100, before.bytes.size() * 99);
        }
    }
}

TEST(SideStreams, StretchesWithoutUnitsGoToLzmaOrTheByteModel) {
    // a Matroska file's cue points, one per frame, without units of their own
    const Bytes cues = bytes_of(read_file(test_data("mkv/gst_cues.mka")));
    const Packed now = pack_at(cues, kPackFormatVersion);
    EXPECT_EQ(now.report.chunks_by_method[METHOD_LZMA], now.report.chunks);  // the silence before them too
    const Packed before = pack_at(cues, 7);
    EXPECT_EQ(before.report.chunks_by_method[METHOD_LZMA], 0u);
    EXPECT_LT(now.bytes.size() * 100, before.bytes.size() * 85);
    // a Matroska file that holds no AAC track: video that zstd barely shrinks
    const Bytes video = bytes_of(read_file(test_data("video/noise_alone.mkv")));
    const Packed modelled = pack_at(video, kPackFormatVersion);
    EXPECT_EQ(modelled.report.chunks_by_method[METHOD_MODEL], modelled.report.chunks);
    const Packed zstd = pack_at(video, 7);
    EXPECT_EQ(zstd.report.chunks_by_method[METHOD_ZSTD], zstd.report.chunks);
    EXPECT_LT(modelled.bytes.size() * 100, zstd.bytes.size() * 98);
}

// An index after the media (a moov at the end) is a chunk of its own from the end of the last
// unit: its size tables are derived there and the rest of it goes to a side stream, where
// LZMA2 finds its repeats. A small index stays where it was: the bytes before its first table
// are too few to be worth a chunk.
TEST(SideStreams, AnIndexAfterTheMediaIsAChunkOfItsOwn) {
    const struct {
        const char* file;
        bool own_chunk;
    } cases[] = {{"mp4/video_two_tracks.mp4", true}, {"mp4/stereo.mov", false}, {"mp4/chapters.m4a", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes data = bytes_of(read_file(test_data(c.file)));
        const std::string text(data.begin(), data.end());
        const std::size_t moov = text.rfind("moov") - 4;
        const Packed p = pack_at(data, kPackFormatVersion);
        ChunkRecord r, last;
        for (std::size_t at = kFileHeaderSize; at < p.bytes.size() && p.bytes[at] == kChunkTag;
             at += kChunkRecordSize + r.packed_length) {
            ASSERT_TRUE(read_chunk_record(&p.bytes[at], r));
            last = r;
        }
        EXPECT_EQ(last.original_length == data.size() - moov, c.own_chunk);
        if (c.own_chunk) {
            EXPECT_EQ(last.method, METHOD_SPLIT);
        }
    }
}

// Transport stream packets of other PIDs (video) keep their 4-byte headers in the container
// stream and send their bodies to a side stream of their own, where there are enough of them
// (a payload flag says so); a transport stream without any AAC stream is coded so too.
TEST(SideStreams, OtherPacketsBodiesGoApartFromTheirHeaders) {
    const Bytes ts = bytes_of(read_file(test_data("ts/noise_video.ts")));
    const Bytes ff = bytes_of(read_file(test_data("ts/ff_stereo.ts")));
    const auto flags = [](const Packed& p) { return p.bytes[kFirstPayload]; };
    const Packed apart = pack_at(ts, kPackFormatVersion);
    EXPECT_EQ(flags(apart), 2);
    EXPECT_LT(apart.bytes.size(), pack_at(ts, 7).bytes.size());
    EXPECT_EQ(flags(pack_at(ff, kPackFormatVersion)), 0) << "two tables' bodies stay with their headers";

    // the same file without its audio packets
    TsLayout layout;
    layout.packet_size = kTsPacket;
    const std::uint16_t audio = find_adts_pids(ts.data(), ts.size(), layout)[0];
    Bytes video;
    for (std::size_t at = 0; at + kTsPacket <= ts.size(); at += kTsPacket)
        if (((ts[at + 1] & 0x1F) << 8 | ts[at + 2]) != audio) video.insert(video.end(), &ts[at], &ts[at + kTsPacket]);
    const Packed alone = pack_at(video, kPackFormatVersion);
    EXPECT_EQ(alone.report.chunks_by_method[METHOD_TS], 1u);
    EXPECT_EQ(alone.report.units, "MPEG-TS, no AAC stream it could read");
    EXPECT_EQ(alone.bytes[kFirstPayload + 5], 0) << "no PID";
    const Packed before = pack_at(video, 7);
    EXPECT_EQ(before.report.chunks_by_method[METHOD_TS], 0u);
    EXPECT_LT(alone.bytes.size() * 100, before.bytes.size() * 99);

    // a flag that is none, a 192-byte packet said of 188-byte ones, no PID without bodies apart
    const struct {
        const char* what;
        const Packed& packed;
        std::uint8_t flags;
    } damage[] = {{"flag 4", apart, 6}, {"192-byte packets", apart, 3}, {"no PID, bodies together", alone, 0}};
    for (const auto& d : damage) {
        SCOPED_TRACE(d.what);
        Bytes bad = d.packed.bytes, back;
        bad[kFirstPayload] = d.flags;
        PackReport report;
        EXPECT_EQ(unpack_bytes(bad, back, PackSettings{}, report), PACK_DAMAGED);
    }
}

// A version 8 payload relabelled as version 7 holds what version 7 does not know: LZMA2 chunks
// are an unknown method, and an LZMA2 side stream is refused as damage. A damaged LZMA2 stream
// is found out. (A version 9 transport stream payload has a length more than version 8's.)
TEST(SideStreams, WhatOnlyVersion8HoldsIsRefusedElsewhereAndDamageIsFound) {
    const auto relabelled = [](Bytes packed, unsigned version) {
        FileHeader h;
        h.version = static_cast<std::uint16_t>(version);
        write_file_header(h, packed.data());
        return packed;
    };
    Bytes back;
    PackReport report;
    const Packed cues = pack_at(bytes_of(read_file(test_data("mkv/gst_cues.mka"))), 8);
    EXPECT_EQ(unpack_bytes(relabelled(cues.bytes, 7), back, PackSettings{}, report), PACK_DAMAGED);
    EXPECT_NE(report.message.find("unknown method 7"), std::string::npos) << report.message;
    const Packed ts = pack_at(bytes_of(read_file(test_data("ts/ff_stereo.ts"))), 8);
    ASSERT_TRUE(has(side_methods(ts), METHOD_LZMA));
    EXPECT_EQ(unpack_bytes(relabelled(ts.bytes, 7), back, PackSettings{}, report), PACK_DAMAGED);
    ASSERT_EQ(unpack_bytes(relabelled(ts.bytes, 8), back, PackSettings{}, report), PACK_OK) << report.message;
    const Packed ts9 = pack_at(bytes_of(read_file(test_data("ts/ff_stereo.ts"))), 9);
    EXPECT_EQ(unpack_bytes(relabelled(ts9.bytes, 8), back, PackSettings{}, report), PACK_DAMAGED);

    Bytes damaged = cues.bytes;
    damaged[kFirstPayload + 40] ^= 0x10;
    EXPECT_EQ(unpack_bytes(damaged, back, PackSettings{}, report), PACK_DAMAGED);
    EXPECT_NE(report.message.find("chunk 1 is damaged"), std::string::npos) << report.message;
}

}  // namespace
