// The pipeline that codes chunks on worker threads: a ring of job slots. The calling thread
// fills slots in stream order and takes finished ones back in the same order; worker threads
// take filled slots as they come, so no thread waits for a whole batch to end, and reading and
// writing overlap the coding. Without worker threads the calling thread does each job as it
// is submitted. Each worker has a scratch record of its own (Scratch), for buffers a job needs
// only while it runs: kept per worker, they stay put from job to job instead of being made
// and freed for every chunk.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// How often a thread about to wait looks again, giving way in between, before it sleeps.
constexpr unsigned kPipelineLooks = 64;
// More threads than this are not started, whatever is asked.
constexpr unsigned kMaxWorkers = 64;

// Job slots for a pipeline of `threads` threads: one coding on each, and one read ahead or
// finished and waiting to be written in order; one thread codes each job as it is submitted,
// so one slot does. The packed form's memory stays bounded whatever the input: the input
// window, the original and packed bytes of each chunk in a slot, each thread's working copy
// and one zstd compressor the threads take in turn; it grows with the thread count, not with
// the input.
inline std::size_t pipeline_slots(unsigned threads) {
    if (threads < 2) return 1;
    return std::size_t{threads > kMaxWorkers ? kMaxWorkers : threads} + 1;
}

template <class Job, class Scratch>
struct Pipeline {
    std::vector<Job>& slots;
    void (*work)(Job&, Scratch&) = nullptr;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::atomic<std::uint64_t> submitted{0};  // jobs filled, in stream order (written by the caller)
    std::uint64_t taken = 0;                   // jobs a worker has started
    std::uint64_t finished = 0;                // jobs handed back to the caller
    std::vector<std::atomic<std::uint8_t>> done;
    std::atomic<bool> closing{false};
    struct Worker {
        Pipeline* pipeline = nullptr;
        pthread_t thread;
        Scratch scratch;  // the caller's own when there is no worker thread
    };
    std::vector<Worker> workers;  // never resized once the threads run
    unsigned started = 0;

    Pipeline(std::vector<Job>& jobs, void (*fn)(Job&, Scratch&), unsigned threads)
        : slots(jobs), work(fn), done(jobs.size()) {
        const unsigned wanted = threads > kMaxWorkers ? kMaxWorkers : threads;
        workers.resize(wanted > 1 ? wanted : 1);
        for (Worker& w : workers) w.pipeline = this;
        // one thread means the caller's own
        while (wanted > 1 && started < wanted &&
               pthread_create(&workers[started].thread, nullptr, worker_main, &workers[started]) == 0)
            ++started;
    }
    ~Pipeline() {
        pthread_mutex_lock(&lock);
        closing = true;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        for (unsigned i = 0; i < started; ++i) pthread_join(workers[i].thread, nullptr);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    bool full() const { return submitted - finished == slots.size(); }
    bool empty() const { return submitted == finished; }
    // The slot to fill next; only while not full.
    Job& next_free() { return slots[submitted % slots.size()]; }

    void submit() {
        const std::size_t i = submitted % slots.size();
        if (started == 0) {
            work(slots[i], workers[0].scratch);
            done[i].store(1, std::memory_order_relaxed);
            submitted.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        pthread_mutex_lock(&lock);
        done[i].store(0, std::memory_order_relaxed);
        submitted.fetch_add(1, std::memory_order_release);
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    }

    // Waits for the oldest job still out and returns it; only while not empty. The slot is
    // free again at the next call.
    Job& next_finished() {
        const std::size_t i = finished % slots.size();
        if (started != 0 && !await([&] { return done[i].load(std::memory_order_acquire) != 0; })) {
            pthread_mutex_lock(&lock);
            while (!done[i].load(std::memory_order_relaxed)) pthread_cond_wait(&changed, &lock);
            pthread_mutex_unlock(&lock);
        }
        ++finished;
        return slots[i];
    }

    // A small chunk is coded in microseconds, while putting a thread to sleep and waking it
    // costs tens of them: a thread that would wait first looks again a few times, giving
    // way to the others, and sleeps only when that was not enough. Packed files of many tiny
    // chunks unpack several times faster for it; long chunks never notice.
    template <class Ready>
    static bool await(Ready ready) {
        for (unsigned k = 0; k < kPipelineLooks; ++k) {
            if (ready()) return true;
            sched_yield();
        }
        return ready();
    }

    static void* worker_main(void* arg) {
        Worker& w = *static_cast<Worker*>(arg);
        Pipeline& p = *w.pipeline;
        pthread_mutex_lock(&p.lock);
        for (;;) {
            if (!p.closing && p.taken == p.submitted.load(std::memory_order_relaxed)) {
                const std::uint64_t seen = p.taken;
                pthread_mutex_unlock(&p.lock);
                await([&] { return p.closing.load(std::memory_order_relaxed) ||
                                   p.submitted.load(std::memory_order_acquire) != seen; });
                pthread_mutex_lock(&p.lock);
            }
            while (!p.closing && p.taken == p.submitted.load(std::memory_order_relaxed))
                pthread_cond_wait(&p.changed, &p.lock);
            if (p.closing) break;
            const std::size_t i = p.taken++ % p.slots.size();
            pthread_mutex_unlock(&p.lock);
            p.work(p.slots[i], w.scratch);
            pthread_mutex_lock(&p.lock);
            p.done[i].store(1, std::memory_order_release);
            pthread_cond_broadcast(&p.changed);
        }
        pthread_mutex_unlock(&p.lock);
        return nullptr;
    }
};
