// Whole crafted frames through split_frame: the statuses that end a frame, cut frames and
// element positions that change their kind.
#include <gtest/gtest.h>

#include "split_test_support.h"

namespace {

// One channel: global gain, ics_info (long window, max_sfb 1), one section of book 1,
// scale factor unchanged, the tool flags, one all-zero quadruple.
void put_channel(BitWriter& w, bool with_ics_info, bool tns = false) {
    w.put(100, 8);
    if (with_ics_info) w.put(0, 1).put(0, 2).put(1, 1).put(1, 6).put(0, 1);
    w.put(1, 4).put(1, 5).put("0");
    w.put(0, 1);
    w.put(tns ? 1 : 0, 1);
    if (tns) w.put(1, 2).put(0, 1).put(5, 6).put(0, 5);  // one filter of order 0
    w.put(0, 1);
    w.put("0");
}

void put_sce(BitWriter& w, unsigned id = 0, bool tns = false) {
    w.put(id, 3).put(5, 4);
    put_channel(w, true, tns);
}

void put_cpe(BitWriter& w) {
    w.put(1, 3).put(3, 4).put(0, 1);
    put_channel(w, true);
    put_channel(w, true);
}

void put_fill(BitWriter& w, std::initializer_list<unsigned> payload) {
    w.put(6, 3);
    if (payload.size() >= 15) {
        w.put(15, 4).put(static_cast<unsigned>(payload.size() - 14), 8);
    } else {
        w.put(static_cast<unsigned>(payload.size()), 4);
    }
    for (unsigned b : payload) w.put(b, 8);
}

std::vector<std::uint8_t> adts_frame(const BitWriter& block, unsigned channels = 1) {
    BitWriter w;
    const std::size_t length = 7 + block.bytes.size();
    w.put(0xFFF, 12).put(0, 1).put(0, 2).put(1, 1).put(1, 2).put(4, 4).put(0, 1).put(channels, 3).put(0, 4);
    w.put(static_cast<unsigned>(length), 13).put(0x7FF, 11).put(0, 2);
    w.bytes.insert(w.bytes.end(), block.bytes.begin(), block.bytes.end());
    return w.bytes;
}

struct SplitRun {
    SplitSettings options;
    Capture cap;
    SplitContext ctx;
    explicit SplitRun(int static_compression = 0, int static_tns = 0) {
        options.static_compression = static_compression;
        options.static_tns = static_tns;
        ctx = make_context(options, cap);
        ctx.header_kind = HEADER_ADTS;
    }
    Status split(const std::vector<std::uint8_t>& frame, std::uint32_t* bits = nullptr) {
        std::uint32_t used = 0;
        const Status s = split_frame(ctx, frame.data(), frame.size(), used);
        if (bits) *bits = used;
        return s;
    }
};

TEST(RawDataBlock, StatusesThatEndAFrame) {
    auto frame_of = [](auto build) {
        BitWriter b;
        build(b);
        b.put(7, 3).put(0, 32).align();
        return adts_frame(b);
    };
    struct Row {
        const char* name;
        std::vector<std::uint8_t> frame;
        Status expected;
    };
    BitWriter many;
    for (int i = 0; i < 49; ++i) many.put(0, 3).put(0, 4).put(0, 8).put(0, 11).put(0, 3);  // max_sfb 0
    many.put(7, 3).align();
    const Row rows[] = {
        {"coupling channel", frame_of([](BitWriter& b) { b.put(2, 3).put(0xFFF, 12); }), kStatusCoupling},
        {"program config after a channel", frame_of([](BitWriter& b) { put_sce(b); b.put(5, 3); }),
         kStatusPceNotFirst},
        {"SBR data at block level",
         frame_of([](BitWriter& b) { put_fill(b, {0xD0, 0}); put_sce(b); }), kStatusSbrAtBlockLevel},
        {"no channel at all", frame_of([](BitWriter& b) { put_fill(b, {0, 0}); }), kStatusChannelCount},
        {"reserved ics bit", frame_of([](BitWriter& b) { b.put(0, 7).put(100, 8).put(1, 1).put(0, 16); }),
         kStatusBadSyntax},
        {"gain control", frame_of([](BitWriter& b) {
             b.put(0, 7).put(100, 8).put(0, 10).put(0, 1).put(0, 1).put(0, 1).put(1, 1);
         }), kStatusGainControl},
        {"pulses in short windows", frame_of([](BitWriter& b) {
             b.put(0, 7).put(100, 8).put(0, 1).put(2, 2).put(0, 1).put(1, 4).put(0x7F, 7);  // one group of 8
             b.put(1, 4).put(1, 3).put("0").put(1, 1).put(0, 2).put(0, 6).put(0, 9).put(0, 1).put(0, 1);
             for (int w = 0; w < 8; ++w) b.put("0");
         }), kStatusPulseShort},
        {"49 channel elements", adts_frame(many), kStatusElementCount},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SplitRun run;
        EXPECT_EQ(run.split(row.frame), row.expected);
    }
}

TEST(RawDataBlock, CutFramesEndWithBufferTooSmall) {
    BitWriter block;
    put_sce(block);
    block.put(7, 3).align();
    const auto whole = adts_frame(block);
    for (std::size_t cut = 7; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        SplitRun run;
        const std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(cut));
        EXPECT_EQ(run.split(part), kStatusBufferTooSmall);
    }
}

TEST(RawDataBlock, ElementPositionsKeepTheirKindAcrossFrames) {
    BitWriter mono, stereo;
    put_sce(mono);
    mono.put(7, 3).align();
    put_cpe(stereo);
    stereo.put(7, 3).align();
    SplitRun a;
    ASSERT_EQ(a.split(adts_frame(mono)), 0);
    EXPECT_EQ(a.split(adts_frame(stereo, 2)), kStatusConfigChange);
    SplitRun b;
    ASSERT_EQ(b.split(adts_frame(stereo, 2)), 0);
    EXPECT_EQ(b.split(adts_frame(mono)), kStatusConfigChange);
}

}  // namespace
