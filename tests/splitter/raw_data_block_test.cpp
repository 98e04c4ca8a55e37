// Whole crafted frames through split_frame: the statuses that end a frame, cut frames and
// element positions that change their kind.
#include <gtest/gtest.h>

#include "split_test_support.h"

namespace {

void put_sce(BitWriter& w) { put_quiet_channel(w.put(0, 3).put(5, 4)); }

void put_cpe(BitWriter& w) { put_quiet_channel(put_quiet_channel(w.put(1, 3).put(3, 4).put(0, 1))); }

// A fill element of fewer than 15 bytes.
void put_fill(BitWriter& w, std::initializer_list<unsigned> payload) {
    w.put(6, 3).put(static_cast<unsigned>(payload.size()), 4);
    for (unsigned b : payload) w.put(b, 8);
}

// An ADTS frame at 44.1 kHz: the elements `build` writes, END, then `pad` zero bytes.
template <typename Build>
std::vector<std::uint8_t> block_frame(Build build, unsigned channels = 1, unsigned pad = 0) {
    BitWriter block;
    build(block);
    block.put(7, 3).align();
    for (unsigned i = 0; i < pad; ++i) block.put(0, 8);
    const std::string frame = adts_frame(block, channels);
    return std::vector<std::uint8_t>(frame.begin(), frame.end());
}

// A splitter set up for ADTS frames at 44.1 kHz, as the driver sets one up.
struct SplitRun {
    Capture cap;
    SplitContext ctx;
    SplitRun() {
        ctx.streams = &cap.set;
        ctx.sf_index = 4;
        ctx.object_type = 2;
        ctx.header_kind = HEADER_ADTS;
    }
    Status split(const std::vector<std::uint8_t>& frame) {
        std::uint32_t used = 0;
        return split_frame(ctx, frame.data(), frame.size(), used);
    }
};

TEST(RawDataBlock, StatusesThatEndAFrame) {
    auto frame_of = [](auto build) { return block_frame(build, 1, 4); };
    struct Row {
        const char* name;
        std::vector<std::uint8_t> frame;
        Status expected;
    };
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
        {"49 channel elements", frame_of([](BitWriter& b) {
             for (int i = 0; i < 49; ++i) b.put(0, 3).put(0, 4).put(0, 8).put(0, 11).put(0, 3);  // max_sfb 0
         }), kStatusElementCount},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SplitRun run;
        EXPECT_EQ(run.split(row.frame), row.expected);
    }
}

TEST(RawDataBlock, CutFramesEndWithBufferTooSmall) {
    const auto whole = block_frame(put_sce);
    for (std::size_t cut = 7; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        SplitRun run;
        const std::vector<std::uint8_t> part(whole.begin(), whole.begin() + static_cast<long>(cut));
        EXPECT_EQ(run.split(part), kStatusBufferTooSmall);
    }
}

TEST(RawDataBlock, ElementPositionsKeepTheirKindAcrossFrames) {
    SplitRun a;
    ASSERT_EQ(a.split(block_frame(put_sce)), 0);
    EXPECT_EQ(a.split(block_frame(put_cpe, 2)), kStatusConfigChange);
    SplitRun b;
    ASSERT_EQ(b.split(block_frame(put_cpe, 2)), 0);
    EXPECT_EQ(b.split(block_frame(put_sce)), kStatusConfigChange);
}

}  // namespace
