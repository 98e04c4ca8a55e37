// The ADTS header on the ADTS stream with -s: the once-per-file fields only in the first
// header, no CRC word, the stereo stop; and the search for the syncword.
#include <gtest/gtest.h>

#include "split_test_support.h"
#include "splitter/adts_header.h"

namespace {

struct HeaderFields {
    unsigned id = 1, profile = 1, sf_index = 4, channel_configuration = 1, frame_length = 300, fullness = 0x123;
    bool crc = false;
};

BitWriter header_bits(const HeaderFields& f) {
    BitWriter w;
    w.put(0xFFF, 12).put(f.id, 1).put(0, 2).put(f.crc ? 0 : 1, 1).put(f.profile, 2).put(f.sf_index, 4).put(1, 1);
    w.put(f.channel_configuration, 3).put(1, 1).put(0, 1).put(1, 1).put(0, 1).put(f.frame_length, 13);
    w.put(f.fullness, 11).put(2, 2);
    if (f.crc) w.put(0xBEEF, 16);
    return w;
}

std::string bits_of(const BitWriter& w) {
    std::string s;
    for (std::size_t i = 0; i < w.bits; ++i) s.push_back(((w.bytes[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0');
    return s;
}

Status parse(SplitContext& ctx, const BitWriter& w, AdtsHeader& h, std::uint32_t& used, bool emit = true) {
    std::vector<std::uint8_t> storage;
    BitReader br;
    init_reader(br, storage, w.bytes.data(), w.bytes.size());
    const Status s = read_adts_header(ctx, br, h, emit);
    used = processed_bits(br);
    return s;
}

TEST(AdtsHeader, StaticModeKeepsConstantFieldsOnceAndNoCrc) {
    for (bool crc : {false, true}) {
        SCOPED_TRACE(crc ? "crc" : "no crc");
        SplitSettings options;
        options.static_compression = 1;
        Capture cap;
        SplitContext ctx = make_context(options, cap);
        HeaderFields f;
        f.crc = crc;
        AdtsHeader h;
        std::uint32_t used = 0;
        ASSERT_EQ(parse(ctx, header_bits(f), h, used), 0);
        EXPECT_EQ(cap.set.stream_bits[STREAM_ADTS], 23u);
        f.frame_length = 301;
        ASSERT_EQ(parse(ctx, header_bits(f), h, used), 0);
        EXPECT_EQ(used, crc ? 72u : 56u);  // the CRC is still read, only not kept
        EXPECT_EQ(cap.set.stream_bits[STREAM_ADTS], 23u + 13u);
        EXPECT_EQ(cap.bits(STREAM_ADTS), "1" "01" "0100" "001" + to_bits(300, 13) + to_bits(301, 13));
        const auto lines = cap.lines(STREAM_ADTS);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], (std::vector<int>{1, 1, 4, 1, 300}));
        EXPECT_EQ(lines[1], (std::vector<int>{301}));
    }
}

TEST(AdtsHeader, StaticModeStopsOnMoreThanOneChannelEvenWithoutEmission) {
    for (unsigned channels : {0u, 1u, 2u, 6u}) {
        SCOPED_TRACE(channels);
        SplitSettings options;
        options.static_compression = 1;
        Capture cap;
        SplitContext ctx = make_context(options, cap);
        HeaderFields f;
        f.channel_configuration = channels;
        const BitWriter w = header_bits(f);
        AdtsHeader h;
        std::uint32_t used = 0;
        const Status expected = channels > 1 ? kStatusStaticStereoStop : Status{0};
        EXPECT_EQ(parse(ctx, w, h, used, false), expected);
        long header_bytes = -1;
        EXPECT_EQ(split_init(ctx, w.bytes.data(), w.bytes.size(), 2, 44100, header_bytes), expected);
        EXPECT_EQ(cap.set.stream_bits[STREAM_ADTS], 0u);  // initialisation emits nothing
        EXPECT_EQ(parse(ctx, w, h, used, true), expected);
    }
}

TEST(AdtsHeader, SyncSearchSkipsJunkBytesWithoutKeepingThem) {
    SplitSettings options;
    Capture cap;
    SplitContext ctx = make_context(options, cap);
    const BitWriter header = header_bits(HeaderFields{});
    BitWriter w;
    w.put(0x12, 8).put(0xFF, 8).put(0xE0, 8);
    for (std::size_t i = 0; i < header.bits; ++i) w.put((header.bytes[i / 8] >> (7 - i % 8)) & 1u, 1);
    AdtsHeader h;
    std::uint32_t used = 0;
    ASSERT_EQ(parse(ctx, w, h, used), 0);
    EXPECT_EQ(used, 24u + 56u);
    EXPECT_EQ(cap.bits(STREAM_ADTS), bits_of(header));

    BitWriter junk;
    for (int i = 0; i < 800; ++i) junk.put(0x55, 8);
    EXPECT_EQ(parse(ctx, junk, h, used), kStatusNoSyncword);
    EXPECT_EQ(cap.bits(STREAM_ADTS), bits_of(header));
}

}  // namespace
