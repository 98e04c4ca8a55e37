// The decoder library running ahead of the splitter on a thread of its own. The library
// takes its frames from the compression's input window exactly as one loop would (the
// window moves on by the bytes the library consumed), and hands over, in order, each
// frame's input bytes, its result and a copy of its samples. The compression loop splits
// every frame from those same bytes and decides its outcome as before; frames decoded past
// the one that ends the loop are simply dropped. The library is by far the larger half of a
// frame's work, so the splitter, the streams and the WAV output cost almost no extra time.
// When no thread can be started, each frame is decoded when it is asked for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include <pthread.h>

#include "aac/bit_reader.h"
#include "decoder/decoder.h"
#include "frontend/input_buffer.h"

struct DecodedFrame {
    // The bytes the library was given (the window's fill), with the zero tail the splitter's
    // reader needs: this copy is the only one a frame's bytes go through.
    PaddedBytes window;
    FrameInfo info;
    bool has_samples = false;           // the library returned samples
    std::vector<std::int16_t> samples;  // info.samples of them
    long file_offset = 0;               // the input's file_offset once the frame was consumed
    long fill_after = 0;                // the window's fill after topping it up again
};

// Whether the frame ends the loop whatever the splitter says.
inline bool frame_is_last(const DecodedFrame& f) {
    return f.fill_after == 0 || !f.has_samples || f.info.error != 0 || f.info.bytesconsumed == 0;
}

constexpr std::size_t kFramesAhead = 32;

// The frames pass through a ring of kFramesAhead slots: the decoding thread fills slot
// `produced`, the loop reads slot `taken`. The counters are atomic so that neither side
// takes a lock while the other has work; a side that has none sleeps on its condition
// variable, and the loop is only woken once several frames wait for it.
struct DecodeAhead {
    DecoderHandle* decoder = nullptr;
    InputBuffer* input = nullptr;
    DecodedFrame frames[kFramesAhead];
    std::atomic<std::size_t> produced{0};  // frames decoded so far
    std::atomic<std::size_t> taken{0};     // frames the loop has finished with
    std::atomic<bool> finished{false};     // the last frame is decoded
    std::atomic<bool> stop{false};         // the loop wants no more frames
    std::atomic<bool> loop_waiting{false};
    std::atomic<bool> decoder_waiting{false};
    bool threaded = false;
    std::mutex lock;  // only for sleeping and waking
    std::condition_variable wake_loop;
    std::condition_variable wake_decoder;
    pthread_t thread{};
};

// Starts decoding from the input's current window with an initialised decoder; without
// `allow_thread` (or when no thread can be started) frames are decoded when asked for.
void decode_ahead_start(DecodeAhead& ahead, DecoderHandle& decoder, InputBuffer& input, bool allow_thread = true);
// The next frame in order (valid until decode_ahead_release); null once every frame has
// been handed over.
DecodedFrame* decode_ahead_next(DecodeAhead& ahead);
// The loop is done with the frame decode_ahead_next gave it.
void decode_ahead_release(DecodeAhead& ahead);
// Stops decoding and waits for the thread; the decoder and the input may then be closed.
void decode_ahead_finish(DecodeAhead& ahead);
