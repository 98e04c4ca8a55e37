// Streaming contexts over the pull-style driver: the driver runs on a thread of the context's
// own, reading from and writing to two bounded buffers that the caller's calls fill and
// drain. Memory stays bounded whatever piece sizes the caller uses; the packed bytes are the
// driver's, so they do not depend on those pieces.
//
// A packing stream goes through the same start as aaz_pack_io without read_at (lib_input.h):
// one that starts like an ISO media file or ADIF is kept whole and packed once its input has
// ended, as the program packs such a pipe. Given an input-size hint, a stream is taken for a
// file of that length: one that might hold access units without ADTS headers (anything not
// starting like ADTS) is kept whole too and mapped as the program maps a file. Without a hint
// a headerless stream is packed as it comes, as the program packs a pipe.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "aaczavrok.h"
#include "lib/lib_input.h"
#include "lib/lib_run.h"

namespace {

constexpr std::uint32_t kStreamMagic = 0x61617a73;  // "aazs"
constexpr std::size_t kRingBytes = 1u << 20;

enum Direction { DIR_PACK, DIR_UNPACK, DIR_TEST };
enum WorkerState { WORKER_RUNNING, WORKER_WAIT_INPUT, WORKER_WAIT_OUTPUT, WORKER_DONE };

// A bounded first-in first-out buffer of bytes.
struct Ring {
    std::vector<std::uint8_t> bytes;
    std::size_t head = 0;
    std::size_t size = 0;
};

std::size_t ring_put(Ring& r, const std::uint8_t* data, std::size_t n) {
    const std::size_t cap = r.bytes.size();
    std::size_t done = 0;
    while (done < n && r.size < cap) {
        const std::size_t tail = (r.head + r.size) % cap;
        const std::size_t run = std::min({n - done, cap - r.size, cap - tail});
        std::memcpy(r.bytes.data() + tail, data + done, run);
        r.size += run;
        done += run;
    }
    return done;
}

std::size_t ring_take(Ring& r, std::uint8_t* data, std::size_t n) {
    const std::size_t cap = r.bytes.size();
    std::size_t done = 0;
    while (done < n && r.size > 0) {
        const std::size_t run = std::min({n - done, r.size, cap - r.head});
        std::memcpy(data + done, r.bytes.data() + r.head, run);
        r.head = (r.head + run) % cap;
        r.size -= run;
        done += run;
    }
    return done;
}

}  // namespace

struct aaz_stream {
    std::uint32_t magic = kStreamMagic;
    Direction direction = DIR_PACK;
    aaz_options options{};
    PackSettings settings;
    std::mutex lock;
    std::condition_variable changed;
    Ring in, out;
    bool input_ended = false;  // the caller has finished
    bool cancel = false;       // aaz_stream_end: the worker is to stop
    WorkerState state = WORKER_RUNNING;
    int result = AAZ_OK;  // the worker's, once done
    aaz_info info{};      // the worker's, once done
    bool failed = false;  // an error has been returned to the caller
    bool finished = false;
    std::uint64_t taken = 0;   // input bytes taken so far
    std::uint64_t handed = 0;  // output bytes handed over so far
    std::thread worker;
};

namespace {

// The worker's side of the buffers.
long long read_ring(void* self, std::uint8_t* buf, std::size_t n) {
    aaz_stream& s = *static_cast<aaz_stream*>(self);
    std::unique_lock<std::mutex> hold(s.lock);
    while (s.in.size == 0 && !s.input_ended && !s.cancel) {
        s.state = WORKER_WAIT_INPUT;
        s.changed.notify_all();
        s.changed.wait(hold);
    }
    s.state = WORKER_RUNNING;
    if (s.cancel) return -ECANCELED;
    const std::size_t got = ring_take(s.in, buf, n);
    s.changed.notify_all();
    return static_cast<long long>(got);
}

int write_ring(void* self, const std::uint8_t* data, std::size_t n) {
    aaz_stream& s = *static_cast<aaz_stream*>(self);
    std::unique_lock<std::mutex> hold(s.lock);
    std::size_t done = 0;
    while (done < n) {
        while (s.out.size == s.out.bytes.size() && !s.cancel) {
            s.state = WORKER_WAIT_OUTPUT;
            s.changed.notify_all();
            s.changed.wait(hold);
        }
        s.state = WORKER_RUNNING;
        if (s.cancel) return ECANCELED;
        done += ring_put(s.out, data + done, n - done);
        s.changed.notify_all();
    }
    return 0;
}

void run_worker(aaz_stream* stream) {
    aaz_stream& s = *stream;
    aaz_info info;
    aaz_info_init(&info);
    int result = AAZ_OK;
    try {
        const ByteSink sink = s.direction == DIR_TEST ? null_sink() : ByteSink{&s, write_ring};
        if (s.direction == DIR_PACK) {
            result = run_pack(s.settings, s.options.refuse_packed != 0, ByteSource{&s, read_ring}, nullptr, sink, &info);
        } else {
            result = run_unpack(s.settings, ByteSource{&s, read_ring}, sink, &info);
        }
    } catch (const std::bad_alloc&) {
        result = AAZ_NO_MEMORY;
        fail_info(result, &info);
    } catch (const std::system_error&) {
        result = AAZ_NO_MEMORY;
        fail_info(result, &info);
    }
    std::lock_guard<std::mutex> hold(s.lock);
    s.result = result;
    s.info = info;
    s.state = WORKER_DONE;
    s.changed.notify_all();
}

int begin(aaz_stream** stream, const aaz_options* options, Direction direction) {
    if (stream == nullptr) return AAZ_NULL_ARGUMENT;
    *stream = nullptr;
    aaz_stream* s = new (std::nothrow) aaz_stream;
    if (s == nullptr) return AAZ_NO_MEMORY;
    s->direction = direction;
    if (int r = settings_from_options(options, s->options, s->settings); r != AAZ_OK) {
        delete s;
        return r;
    }
    // The two buffers count against an unpacking limit beside the chunks in flight.
    const std::uint64_t buffers = direction == DIR_PACK ? 0 : (direction == DIR_TEST ? 1 : 2) * kRingBytes;
    if (direction != DIR_PACK && s->options.memory_limit != 0) {
        if (s->options.memory_limit <= buffers) {
            delete s;
            return AAZ_MEMORY_LIMIT;
        }
        s->settings.memory_limit = s->options.memory_limit - buffers;
    }
    try {
        s->in.bytes.resize(kRingBytes);
        if (direction != DIR_TEST) s->out.bytes.resize(kRingBytes);
        s->worker = std::thread(run_worker, s);
    } catch (const std::bad_alloc&) {
        delete s;
        return AAZ_NO_MEMORY;
    } catch (const std::system_error&) {
        delete s;
        return AAZ_NO_MEMORY;
    }
    *stream = s;
    return AAZ_OK;
}

int check_stream(const aaz_stream* s, Direction direction) {
    if (s == nullptr) return AAZ_NULL_ARGUMENT;
    if (s->magic != kStreamMagic) return AAZ_BAD_ARGUMENT;
    if (s->direction != direction) return AAZ_WRONG_DIRECTION;
    if (s->failed || s->finished) return AAZ_STREAM_FAILED;
    return AAZ_OK;
}

// Called with the lock held, once the worker is done: its error, returned once.
int worker_error(aaz_stream& s) {
    s.failed = true;
    return s.result;
}

int update(aaz_stream* s, Direction direction, const void* in, size_t in_size, size_t* in_used, void* out,
           size_t out_capacity, size_t* out_written) {
    if (int r = check_stream(s, direction); r != AAZ_OK) return r;
    if (in_used == nullptr || (in == nullptr && in_size != 0) || (direction != DIR_TEST && out_written == nullptr) ||
        (out == nullptr && out_capacity != 0))
        return AAZ_NULL_ARGUMENT;
    *in_used = 0;
    if (out_written != nullptr) *out_written = 0;
    if (s->input_ended) return AAZ_STREAM_FAILED;
    const auto* from = static_cast<const std::uint8_t*>(in);
    auto* to = static_cast<std::uint8_t*>(out);
    std::unique_lock<std::mutex> hold(s->lock);
    for (;;) {
        const std::size_t put = ring_put(s->in, from + *in_used, in_size - *in_used);
        const std::size_t got =
            direction == DIR_TEST ? 0 : ring_take(s->out, to + *out_written, out_capacity - *out_written);
        *in_used += put;
        if (out_written != nullptr) *out_written += got;
        s->taken += put;
        s->handed += got;
        if (put + got != 0) {
            s->changed.notify_all();
            break;
        }
        if (s->state == WORKER_DONE) break;
        if (s->state == WORKER_WAIT_INPUT && *in_used == in_size) break;
        if (s->state == WORKER_WAIT_OUTPUT && (out_written == nullptr || *out_written == out_capacity)) break;
        s->changed.wait(hold);
    }
    if (s->state == WORKER_DONE && s->result != AAZ_OK) return worker_error(*s);
    return AAZ_OK;
}

int finish(aaz_stream* s, Direction direction, void* out, size_t out_capacity, size_t* out_written) {
    if (int r = check_stream(s, direction); r != AAZ_OK) return r;
    if ((direction != DIR_TEST && out_written == nullptr) || (out == nullptr && out_capacity != 0))
        return AAZ_NULL_ARGUMENT;
    if (out_written != nullptr) *out_written = 0;
    auto* to = static_cast<std::uint8_t*>(out);
    std::unique_lock<std::mutex> hold(s->lock);
    if (!s->input_ended) {
        s->input_ended = true;
        s->changed.notify_all();
    }
    for (;;) {
        if (out_written != nullptr) {
            const std::size_t got = ring_take(s->out, to + *out_written, out_capacity - *out_written);
            *out_written += got;
            s->handed += got;
            if (got != 0) s->changed.notify_all();
        }
        if (s->state == WORKER_DONE) {
            if (s->result != AAZ_OK) return worker_error(*s);
            if (s->out.size == 0) {
                s->finished = true;
                return AAZ_OK;
            }
        }
        if (s->out.size != 0 && (out_written == nullptr || *out_written == out_capacity)) return AAZ_MORE_OUTPUT;
        s->changed.wait(hold);
    }
}

}  // namespace

extern "C" {

int aaz_pack_begin(aaz_stream** stream, const aaz_options* options) { return begin(stream, options, DIR_PACK); }
int aaz_unpack_begin(aaz_stream** stream, const aaz_options* options) { return begin(stream, options, DIR_UNPACK); }
int aaz_test_begin(aaz_stream** stream, const aaz_options* options) { return begin(stream, options, DIR_TEST); }

int aaz_pack_update(aaz_stream* stream, const void* in, size_t in_size, size_t* in_used, void* out,
                    size_t out_capacity, size_t* out_written) {
    return update(stream, DIR_PACK, in, in_size, in_used, out, out_capacity, out_written);
}
int aaz_unpack_update(aaz_stream* stream, const void* in, size_t in_size, size_t* in_used, void* out,
                      size_t out_capacity, size_t* out_written) {
    return update(stream, DIR_UNPACK, in, in_size, in_used, out, out_capacity, out_written);
}
int aaz_test_update(aaz_stream* stream, const void* in, size_t in_size, size_t* in_used) {
    return update(stream, DIR_TEST, in, in_size, in_used, nullptr, 0, nullptr);
}

int aaz_pack_finish(aaz_stream* stream, void* out, size_t out_capacity, size_t* out_written) {
    return finish(stream, DIR_PACK, out, out_capacity, out_written);
}
int aaz_unpack_finish(aaz_stream* stream, void* out, size_t out_capacity, size_t* out_written) {
    return finish(stream, DIR_UNPACK, out, out_capacity, out_written);
}
int aaz_test_finish(aaz_stream* stream) { return finish(stream, DIR_TEST, nullptr, 0, nullptr); }

int aaz_stream_info(const aaz_stream* stream, aaz_info* info) {
    if (!info_usable(info)) return AAZ_BAD_ARGUMENT;
    if (stream == nullptr || info == nullptr) return AAZ_NULL_ARGUMENT;
    if (stream->magic != kStreamMagic) return AAZ_BAD_ARGUMENT;
    aaz_stream& s = const_cast<aaz_stream&>(*stream);
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.state == WORKER_DONE) {
        hand_info(s.info, info);
        return AAZ_OK;
    }
    // Still running: what has passed through the buffers so far.
    aaz_info so_far{};
    const bool packing = s.direction == DIR_PACK;
    so_far.original_bytes = packing ? s.taken : s.handed;
    so_far.packed_bytes = packing ? s.handed : s.taken;
    hand_info(so_far, info);
    return AAZ_OK;
}

void aaz_stream_end(aaz_stream* stream) {
    if (stream == nullptr || stream->magic != kStreamMagic) return;
    {
        std::lock_guard<std::mutex> hold(stream->lock);
        stream->cancel = true;
        stream->changed.notify_all();
    }
    if (stream->worker.joinable()) stream->worker.join();
    stream->magic = 0;
    delete stream;
}

}  // extern "C"
