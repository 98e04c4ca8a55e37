// The decoding thread hands over the frames one loop would decode, in order: the same
// input bytes, results and samples, whether it runs on its own thread or frame by frame;
// and it can be stopped while it waits on a full ring.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frontend/decode_ahead.h"
#include "support/faad_reference.h"
#include "support/test_util.h"

namespace {

const std::string kSample = std::string(AACZ_TEST_DATA_DIR) + "/lc_stereo_44k.aac";

// A decoder initialised on the sample, with the window moved past its header bytes, as the
// compression driver leaves them before its loop.
struct OpenInput {
    InputBuffer b;
    DecoderHandle decoder;
    OpenInput() {
        b.file = std::fopen(kSample.c_str(), "rb");
        reload_buffer(b, 0);
        decoder_open(decoder);
        unsigned long rate = 0;
        std::uint8_t channels = 0;
        const long skip = decoder_init(decoder, b.window, static_cast<unsigned long>(b.fill_count), rate, channels);
        advance_buffer(b, skip);
        fill_buffer(b);
    }
    ~OpenInput() {
        decoder_close(decoder);
        std::fclose(b.file);
    }
};

TEST(DecodeAhead, HandsOverEveryFrameInOrderAsOneLoopWould) {
    const std::string data = read_file(kSample);
    const ReferenceDecode ref = reference_decode(data);
    ASSERT_GT(ref.frame_bytes.size(), kFramesAhead);  // the ring wraps
    for (bool thread : {true, false}) {
        SCOPED_TRACE(thread ? "own thread" : "frame by frame");
        OpenInput in;
        DecodeAhead ahead;
        decode_ahead_start(ahead, in.decoder, in.b, thread);
        EXPECT_EQ(ahead.threaded, thread);
        std::size_t pos = 0;
        std::size_t frames = 0;
        std::vector<std::int16_t> pcm;
        while (DecodedFrame* f = decode_ahead_next(ahead)) {
            ASSERT_LT(frames, ref.frame_bytes.size());
            EXPECT_EQ(f->info.error, 0);
            EXPECT_EQ(f->info.bytesconsumed, ref.frame_bytes[frames]);
            const auto* bytes = reinterpret_cast<const char*>(f->window.data());
            ASSERT_TRUE(std::string(bytes, f->window.size()) == data.substr(pos, f->window.size()));
            EXPECT_EQ(f->window.size(), std::min<std::size_t>(kInputWindowSize, data.size() - pos));
            // The splitter reads this copy in place: its look-ahead needs the zero tail.
            EXPECT_EQ(std::string(bytes + f->window.size(), kReaderTail), std::string(kReaderTail, '\0'));
            pcm.insert(pcm.end(), f->samples.begin(), f->samples.end());
            pos += f->info.bytesconsumed;
            EXPECT_EQ(f->file_offset, static_cast<long>(pos));
            ++frames;
            const bool last = frame_is_last(*f);
            decode_ahead_release(ahead);
            if (last) break;
        }
        decode_ahead_finish(ahead);
        EXPECT_EQ(frames, ref.frame_bytes.size());
        EXPECT_EQ(pos, data.size());
        EXPECT_TRUE(pcm == ref.pcm);
    }
}

TEST(DecodeAhead, StopsWhileTheDecoderWaitsOnAFullRing) {
    OpenInput in;
    DecodeAhead ahead;
    decode_ahead_start(ahead, in.decoder, in.b);
    ASSERT_TRUE(ahead.threaded);
    ASSERT_NE(decode_ahead_next(ahead), nullptr);
    decode_ahead_release(ahead);
    // The decoder fills the ring and then waits for the loop, which never comes back.
    for (int i = 0; i < 2000 && ahead.produced - ahead.taken < kFramesAhead; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(ahead.produced - ahead.taken, kFramesAhead);
    decode_ahead_finish(ahead);
    EXPECT_FALSE(ahead.threaded);
    EXPECT_EQ(ahead.produced, 1 + kFramesAhead);  // nothing decoded past the full ring
}

}  // namespace
