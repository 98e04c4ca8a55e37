// The decoding thread and its hand-over of frames to the compression loop.
#include "frontend/decode_ahead.h"

namespace {

// The loop is woken once this many frames wait for it (or the last one is decoded), so the
// two threads meet every few frames rather than at every frame.
constexpr std::size_t kWakeAfter = 24;
static_assert(kWakeAfter <= kFramesAhead, "the loop would wait for more frames than the ring holds");

// Decodes the frame at the front of the window into `f` and moves the window on by the
// bytes the library consumed, as a loop that decodes and splits each frame in turn does.
void decode_one(DecodeAhead& ahead, DecodedFrame& f) {
    InputBuffer& b = *ahead.input;
    f.window.assign(b.window, b.window + b.fill_count);
    f.info = FrameInfo{};
    const std::int16_t* samples =
        decoder_decode(*ahead.decoder, f.info, b.window, static_cast<unsigned long>(b.fill_count));
    f.has_samples = samples != nullptr;
    if (samples != nullptr) {
        f.samples.assign(samples, samples + f.info.samples);
    } else {
        f.samples.clear();
    }
    advance_buffer(b, static_cast<long>(f.info.bytesconsumed));
    f.file_offset = b.file_offset;
    fill_buffer(b);
    f.fill_after = b.fill_count;
}

void* decode_frames(void* arg) {
    DecodeAhead& ahead = *static_cast<DecodeAhead*>(arg);
    for (;;) {
        if (ahead.produced - ahead.taken == kFramesAhead) {
            std::unique_lock<std::mutex> hold(ahead.lock);
            ahead.decoder_waiting = true;
            while (!ahead.stop && ahead.produced - ahead.taken == kFramesAhead) ahead.wake_decoder.wait(hold);
            ahead.decoder_waiting = false;
        }
        if (ahead.stop) return nullptr;
        // The slot is the decoder's alone until `produced` counts it.
        DecodedFrame& f = ahead.frames[ahead.produced % kFramesAhead];
        decode_one(ahead, f);
        const bool last = frame_is_last(f);
        if (last) ahead.finished = true;
        ++ahead.produced;
        if (ahead.loop_waiting && (last || ahead.produced - ahead.taken >= kWakeAfter)) {
            std::lock_guard<std::mutex> hold(ahead.lock);
            ahead.wake_loop.notify_one();
        }
        if (last) return nullptr;
    }
}

}  // namespace

void decode_ahead_start(DecodeAhead& ahead, DecoderHandle& decoder, InputBuffer& input, bool allow_thread) {
    ahead.decoder = &decoder;
    ahead.input = &input;
    ahead.threaded = allow_thread && pthread_create(&ahead.thread, nullptr, decode_frames, &ahead) == 0;
}

DecodedFrame* decode_ahead_next(DecodeAhead& ahead) {
    if (!ahead.threaded) {
        // One frame at a time, decoded when asked for.
        if (ahead.finished) return nullptr;
        DecodedFrame& f = ahead.frames[0];
        decode_one(ahead, f);
        ++ahead.produced;
        if (frame_is_last(f)) ahead.finished = true;
        return &f;
    }
    if (ahead.produced == ahead.taken) {
        std::unique_lock<std::mutex> hold(ahead.lock);
        ahead.loop_waiting = true;
        while (!ahead.finished && ahead.produced - ahead.taken < kWakeAfter) ahead.wake_loop.wait(hold);
        ahead.loop_waiting = false;
    }
    if (ahead.produced == ahead.taken) return nullptr;
    return &ahead.frames[ahead.taken % kFramesAhead];
}

void decode_ahead_release(DecodeAhead& ahead) {
    if (!ahead.threaded) {
        ++ahead.taken;
        return;
    }
    ++ahead.taken;
    if (ahead.decoder_waiting) {
        std::lock_guard<std::mutex> hold(ahead.lock);
        ahead.wake_decoder.notify_one();
    }
}

void decode_ahead_finish(DecodeAhead& ahead) {
    if (!ahead.threaded) return;
    ahead.stop = true;
    {
        std::lock_guard<std::mutex> hold(ahead.lock);
        ahead.wake_decoder.notify_one();
    }
    pthread_join(ahead.thread, nullptr);
    ahead.threaded = false;
}
