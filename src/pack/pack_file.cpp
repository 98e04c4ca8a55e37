// Packing and unpacking of whole streams: the input window, chunk cutting, the pipeline that
// codes chunks on two threads, the verification of every chunk, and the records of the format.
#include "pack/pack_file.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#include <zstd.h>

namespace {

std::uint32_t record_check(const std::uint8_t* p, std::size_t n) {
    return static_cast<std::uint32_t>(XXH3_64bits(p, n));
}

// Reads until n bytes are in or the input ends; returns the count or -errno.
long long read_full(const ByteSource& in, std::uint8_t* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const long long r = in.read(in.self, buf + got, n - got);
        if (r < 0) return r;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
}

std::string format_message(const char* fmt, std::uint64_t a, std::uint64_t b = 0) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// ---------------------------------------------------------------------------------------------
// The pipeline: a ring of job slots. The calling thread fills slots in stream order and writes
// finished ones in the same order; worker threads take filled slots as they come, so no thread
// waits for a whole batch to end, and reading and writing overlap the coding. Without worker
// threads the calling thread does each job as it is submitted.

constexpr unsigned kMaxWorkers = 2;

template <class Job>
struct Pipeline {
    std::vector<Job>& slots;
    void (*work)(Job&) = nullptr;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    std::uint64_t submitted = 0;  // jobs filled, in stream order
    std::uint64_t taken = 0;      // jobs a worker has started
    std::uint64_t finished = 0;   // jobs handed back to the caller
    std::vector<std::uint8_t> done;
    bool closing = false;
    pthread_t workers[kMaxWorkers];
    unsigned started = 0;

    Pipeline(std::vector<Job>& jobs, void (*fn)(Job&), unsigned threads) : slots(jobs), work(fn), done(jobs.size(), 0) {
        const unsigned wanted = threads > kMaxWorkers ? kMaxWorkers : threads;
        // one thread means the caller's own
        while (wanted > 1 && started < wanted && pthread_create(&workers[started], nullptr, worker_main, this) == 0)
            ++started;
    }
    ~Pipeline() {
        pthread_mutex_lock(&lock);
        closing = true;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
        for (unsigned i = 0; i < started; ++i) pthread_join(workers[i], nullptr);
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
            work(slots[i]);
            done[i] = 1;
            ++submitted;
            return;
        }
        pthread_mutex_lock(&lock);
        done[i] = 0;
        ++submitted;
        pthread_cond_broadcast(&changed);
        pthread_mutex_unlock(&lock);
    }

    // Waits for the oldest job still out and returns it; only while not empty. The slot is
    // free again at the next call.
    Job& next_finished() {
        const std::size_t i = finished % slots.size();
        if (started != 0) {
            pthread_mutex_lock(&lock);
            while (!done[i]) pthread_cond_wait(&changed, &lock);
            pthread_mutex_unlock(&lock);
        }
        ++finished;
        return slots[i];
    }

    static void* worker_main(void* arg) {
        Pipeline& p = *static_cast<Pipeline*>(arg);
        pthread_mutex_lock(&p.lock);
        for (;;) {
            while (!p.closing && p.taken == p.submitted) pthread_cond_wait(&p.changed, &p.lock);
            if (p.closing) break;
            const std::size_t i = p.taken++ % p.slots.size();
            pthread_mutex_unlock(&p.lock);
            p.work(p.slots[i]);
            pthread_mutex_lock(&p.lock);
            p.done[i] = 1;
            pthread_cond_broadcast(&p.changed);
        }
        pthread_mutex_unlock(&p.lock);
        return nullptr;
    }
};

// ---------------------------------------------------------------------------------------------
// Packing

struct PackJob {
    const ChunkCoder* coder = nullptr;
    std::vector<std::uint8_t> original;
    std::vector<std::uint8_t> payload;  // model or zstd bytes; empty when stored
    std::uint8_t method = METHOD_STORED;
    std::uint64_t checksum = 0;
    PackStats stats;
    bool by_family = false;
    bool verify_failed = false;
};

// zstd with tables sized for a 1 MiB source at most, so two threads stay well inside the
// memory bound whatever the chunk's size. Returns the size or 0 when zstd failed.
std::size_t compress_zstd(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    if (cctx == nullptr) return 0;
    std::size_t r = 0;
    if (!ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kPackZstdLevel)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, 20)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_hashLog, 20)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_chainLog, 21)) &&
        // The record already holds the length and a checksum.
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0)) &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0))) {
        out.resize(ZSTD_compressBound(size));
        r = ZSTD_compress2(cctx, out.data(), out.size(), data, size);
        if (ZSTD_isError(r)) r = 0;
    }
    ZSTD_freeCCtx(cctx);
    return r;
}

// Decodes a payload into exactly size bytes at out; 0 when it decoded to that length.
int decode_payload(const ChunkCoder& coder, std::uint8_t method, const std::uint8_t* payload, std::size_t payload_size,
                   std::uint8_t* out, std::size_t size) {
    if (method == METHOD_MODEL) return coder.decode(payload, payload_size, out, size) == 0 ? 0 : 1;
    if (method == METHOD_ZSTD) {
        const std::size_t r = ZSTD_decompress(out, size, payload, payload_size);
        return !ZSTD_isError(r) && r == size ? 0 : 1;
    }
    return 1;
}

// Decodes the chunk's payload again and compares it with the input.
bool decodes_back(PackJob& job) {
    const std::size_t size = job.original.size();
    std::vector<std::uint8_t> back(size);
    return decode_payload(*job.coder, job.method, job.payload.data(), job.payload.size(), back.data(), size) == 0 &&
           std::memcmp(back.data(), job.original.data(), size) == 0;
}

// The model takes chunks that hold frames; zstd takes what the model refuses or does not make
// smaller, and what is not AAC; a chunk neither makes smaller is stored. Whatever is chosen is
// decoded again here and compared with the input.
//
// The model is first tried without writing each frame back before coding it: the decode that
// follows checks the whole chunk anyway. Only when that attempt is not kept is the chunk coded
// again with every frame checked, so that a frame which would not come back is stored raw
// rather than costing its chunk the model.
// A chunk whose bytes lie mostly outside the frames the models describe is carried by the
// codec's byte model, which zstd may beat on bytes with long repeats (ADIF and raw streams,
// tags, damaged files).
bool mostly_unmodelled(const PackStats& stats) {
    std::uint64_t total = stats.frame_bits;
    for (std::uint64_t b : stats.bits) total += b;
    return stats.bits[FAMILY_RAW] * 2 > total;
}

void prefer_zstd_if_smaller(PackJob& job) {
    std::vector<std::uint8_t> z;
    const std::size_t n = compress_zstd(job.original.data(), job.original.size(), z);
    if (n == 0 || n >= job.payload.size()) return;
    z.resize(n);
    job.payload.swap(z);
    job.method = METHOD_ZSTD;
    job.verify_failed = !decodes_back(job);
}

void pack_chunk(PackJob& job) {
    const std::uint8_t* data = job.original.data();
    const std::size_t size = job.original.size();
    job.checksum = XXH3_64bits(data, size);
    job.verify_failed = false;

    bool model_chosen = false;
    for (const bool check_frames : {false, true}) {
        job.stats = PackStats{};
        job.stats.by_family = job.by_family;
        const bool model_ok = job.coder->encode(data, size, job.payload, &job.stats, check_frames) == 0;
        const bool has_frames = job.stats.frames_modelled + job.stats.frames_raw > 0;
        model_chosen = model_ok && has_frames && !job.payload.empty() && job.payload.size() < size;
        job.method = model_chosen ? METHOD_MODEL : METHOD_STORED;
        if (model_chosen && decodes_back(job)) {
            if (mostly_unmodelled(job.stats)) prefer_zstd_if_smaller(job);
            return;
        }
        // without frames modelled, checking them changes nothing
        if (model_ok && job.stats.frames_modelled == 0) break;
    }
    // a chosen model that does not decode back even with every frame checked is a bug: it is
    // reported below, not hidden behind zstd
    if (job.method != METHOD_MODEL) {
        const std::size_t z = compress_zstd(data, size, job.payload);
        if (z != 0 && z < size) {
            job.method = METHOD_ZSTD;
            job.payload.resize(z);
        }
    }
    if (job.method == METHOD_STORED) {
        std::vector<std::uint8_t>().swap(job.payload);
        return;
    }
    job.verify_failed = !decodes_back(job);
}

struct PackRun {
    const ByteSource& in;
    const ByteSink& out;
    const PackSettings& settings;
    PackReport& report;
    std::vector<std::uint8_t> window;  // input not yet cut: [begin, end)
    std::size_t begin = 0;
    std::size_t end = 0;
    bool eof = false;
    XXH3_state_t whole;
    std::size_t max_frames = 0;    // frames per chunk
    std::size_t target_bytes = 0;  // frame bytes per chunk, 0 = no target
};

// Chunking for the input: by frame count when its length is unknown; otherwise an even number
// of chunks of about equal size, each at most about kPackChunkTarget, so that the two threads
// share the work evenly to the end (a frame count leaves a last chunk that one thread codes
// alone while the other waits), and no frame count bounds them.
void plan_chunks(PackRun& run) {
    const PackSettings& s = run.settings;
    run.max_frames = s.max_frames;
    run.target_bytes = 0;
    if (s.input_size == 0) return;
    const std::uint64_t pairs = (s.input_size + 2 * kPackChunkTarget - 1) / (2 * kPackChunkTarget);
    const std::uint64_t chunks = s.input_size < 2 * kPackChunkAlone ? 1 : 2 * pairs;
    run.max_frames = ~std::size_t{0};
    run.target_bytes = static_cast<std::size_t>((s.input_size + chunks - 1) / chunks);
}

[[nodiscard]] int emit(PackRun& run, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return PACK_OK;
    if (int e = run.out.write(run.out.self, data, size); e != 0) {
        run.report.error = e;
        run.report.message = std::string("cannot write the output: ") + std::strerror(e);
        return PACK_WRITE_FAILED;
    }
    run.report.packed_bytes += size;
    return PACK_OK;
}

// Reads until the window holds a whole chunk's worth (cap) or the input has ended. The window
// is twice the cap, so the unread rest moves to the front at most once per cap bytes cut.
[[nodiscard]] int fill_window(PackRun& run) {
    const std::size_t cap = run.settings.chunk_cap;
    while (!run.eof && run.end - run.begin < cap) {
        if (run.window.size() - run.end < cap - (run.end - run.begin)) {
            std::memmove(run.window.data(), run.window.data() + run.begin, run.end - run.begin);
            run.end -= run.begin;
            run.begin = 0;
        }
        const long long r = run.in.read(run.in.self, run.window.data() + run.end, run.window.size() - run.end);
        if (r < 0) {
            run.report.error = static_cast<int>(-r);
            run.report.message = std::string("cannot read the input: ") + std::strerror(run.report.error);
            return PACK_READ_FAILED;
        }
        if (r == 0) {
            run.eof = true;
        } else {
            run.end += static_cast<std::size_t>(r);
        }
    }
    return PACK_OK;
}

// Length of the next chunk at the window's front. A window full to the cap is cut there even
// where a unit would continue, since no chunk may exceed the cap.
[[nodiscard]] int cut_chunk(PackRun& run, std::size_t& n) {
    const std::size_t avail = run.end - run.begin;
    const std::size_t size = avail < run.settings.chunk_cap ? avail : run.settings.chunk_cap;
    const bool at_end = run.eof && avail <= run.settings.chunk_cap;
    const std::uint8_t* p = run.window.data() + run.begin;
    n = next_chunk_length(p, size, at_end, run.max_frames, run.settings.max_other_bytes, run.target_bytes);
    if (n == 0 && !at_end) n = next_chunk_length(p, size, true, run.max_frames, run.settings.max_other_bytes, run.target_bytes);
    if (n == 0 || n > size) {
        run.report.message = "internal error: the chunk codec cut a chunk outside the input window";
        return PACK_VERIFY_FAILED;
    }
    return PACK_OK;
}

[[nodiscard]] int write_chunk(PackRun& run, const PackJob& job) {
    PackReport& r = run.report;
    const bool stored = job.method == METHOD_STORED;
    const std::uint8_t* payload = stored ? job.original.data() : job.payload.data();
    const std::size_t payload_size = stored ? job.original.size() : job.payload.size();
    std::uint8_t rec[kChunkRecordSize] = {};
    rec[0] = kChunkTag;
    rec[1] = job.method;
    put_le(rec + 4, job.original.size(), 4);
    put_le(rec + 8, payload_size, 4);
    put_le(rec + 12, job.checksum, 8);
    put_le(rec + 20, record_check(rec, 20), 4);
    if (int s = emit(run, rec, sizeof rec); s != 0) return s;
    if (int s = emit(run, payload, payload_size); s != 0) return s;
    XXH3_64bits_update(&run.whole, job.original.data(), job.original.size());
    r.original_bytes += job.original.size();
    ++r.chunks;
    ++r.chunks_by_method[job.method];
    r.original_by_method[job.method] += job.original.size();
    r.packed_by_method[job.method] += payload_size;
    r.frames += job.stats.frames_modelled + job.stats.frames_raw;
    if (job.method == METHOD_MODEL) {
        for (int f = 0; f < FAMILY_COUNT; ++f) r.stats.bits[f] += job.stats.bits[f];
        r.stats.frame_bits += job.stats.frame_bits;
        r.stats.frames_modelled += job.stats.frames_modelled;
        r.stats.frames_raw += job.stats.frames_raw;
        r.stats.other_bytes += job.stats.other_bytes;
    }
    return PACK_OK;
}

[[nodiscard]] int write_file_header(PackRun& run) {
    std::uint8_t h[kFileHeaderSize] = {};
    std::memcpy(h, kPackMagic, sizeof kPackMagic);
    put_le(h + 8, kPackFormatVersion, 2);
    put_le(h + 12, record_check(h, 12), 4);
    return emit(run, h, sizeof h);
}

[[nodiscard]] int write_end_record(PackRun& run) {
    std::uint8_t e[kEndRecordSize] = {};
    e[0] = kEndTag;
    put_le(e + 8, run.report.original_bytes, 8);
    put_le(e + 16, run.report.chunks, 8);
    put_le(e + 24, XXH3_64bits_digest(&run.whole), 8);
    put_le(e + 32, record_check(e, 32), 4);
    return emit(run, e, sizeof e);
}

bool settings_valid(const PackSettings& s) {
    return s.chunk_cap >= 1 && s.chunk_cap <= kMaxChunkOriginal && s.max_frames >= 1 && s.max_other_bytes >= 1;
}

// ---------------------------------------------------------------------------------------------
// Unpacking

struct UnpackJob {
    const ChunkCoder* coder = nullptr;
    std::uint8_t method = METHOD_STORED;
    std::uint32_t original_length = 0;
    std::uint64_t checksum = 0;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> output;
    const char* problem = nullptr;
};

void unpack_chunk(UnpackJob& job) {
    job.problem = nullptr;
    if (job.method == METHOD_STORED) {
        job.output.swap(job.payload);
    } else {
        job.output.resize(job.original_length);
        if (decode_payload(*job.coder, job.method, job.payload.data(), job.payload.size(), job.output.data(),
                           job.original_length) != 0) {
            job.problem = "cannot be decoded";
            return;
        }
    }
    if (XXH3_64bits(job.output.data(), job.output.size()) != job.checksum) job.problem = "checksum mismatch";
}

struct UnpackRun {
    const ByteSource& in;
    const ByteSink& out;
    const PackSettings& settings;
    PackReport& report;
    XXH3_state_t whole;
};

[[nodiscard]] int read_exact(UnpackRun& run, std::uint8_t* buf, std::size_t n, bool& complete) {
    const long long r = read_full(run.in, buf, n);
    if (r < 0) {
        run.report.error = static_cast<int>(-r);
        run.report.message = std::string("cannot read the input: ") + std::strerror(run.report.error);
        return PACK_READ_FAILED;
    }
    run.report.packed_bytes += static_cast<std::uint64_t>(r);
    complete = static_cast<std::size_t>(r) == n;
    return PACK_OK;
}

int damaged(PackReport& report, std::string message) {
    report.message = std::move(message);
    return PACK_DAMAGED;
}

[[nodiscard]] int read_file_header(UnpackRun& run) {
    std::uint8_t h[kFileHeaderSize];
    const long long r = read_full(run.in, h, sizeof h);
    if (r < 0) {
        run.report.error = static_cast<int>(-r);
        run.report.message = std::string("cannot read the input: ") + std::strerror(run.report.error);
        return PACK_READ_FAILED;
    }
    run.report.packed_bytes += static_cast<std::uint64_t>(r);
    const std::size_t got = static_cast<std::size_t>(r);
    const std::size_t magic_got = got < sizeof kPackMagic ? got : sizeof kPackMagic;
    if (got == 0 || std::memcmp(h, kPackMagic, magic_got) != 0) {
        run.report.message = "not a packed file (no packed-file magic number)";
        return PACK_NOT_PACKED;
    }
    if (got < sizeof h) return damaged(run.report, "file is truncated (in its header)");
    const std::uint64_t version = get_le(h + 8, 2);
    run.report.format_version = static_cast<unsigned>(version);
    if (version != kPackFormatVersion) {
        run.report.message =
            format_message("format version %" PRIu64 " is not supported by this version of aaczavrok"
                           " (it reads format version %" PRIu64 ")",
                           version, kPackFormatVersion);
        return PACK_UNSUPPORTED_VERSION;
    }
    if (get_le(h + 10, 2) != 0 || get_le(h + 12, 4) != record_check(h, 12))
        return damaged(run.report, "file header is damaged");
    return PACK_OK;
}

// Reads the rest of one chunk record (its tag already read) and its payload, checking each
// length against its bound before anything is allocated.
[[nodiscard]] int read_chunk(UnpackRun& run, UnpackJob& job, std::uint64_t number) {
    std::uint8_t rec[kChunkRecordSize];
    rec[0] = kChunkTag;
    bool complete = false;
    if (int s = read_exact(run, rec + 1, sizeof rec - 1, complete); s != 0) return s;
    if (!complete) return damaged(run.report, format_message("file is truncated (in chunk %" PRIu64 ")", number));
    if (get_le(rec + 20, 4) != record_check(rec, 20))
        return damaged(run.report, format_message("chunk %" PRIu64 " is damaged (record checksum mismatch)", number));
    const std::uint8_t method = rec[1];
    const std::uint64_t original = get_le(rec + 4, 4);
    const std::uint64_t packed = get_le(rec + 8, 4);
    if (method >= METHOD_COUNT || get_le(rec + 2, 2) != 0)
        return damaged(run.report,
                       format_message("chunk %" PRIu64 " is damaged (unknown method %" PRIu64 ")", number, method));
    if (original == 0 || original > kMaxChunkOriginal)
        return damaged(run.report,
                       format_message("chunk %" PRIu64 " is damaged (original length %" PRIu64 " is out of bounds)",
                                      number, original));
    const bool packed_ok = method == METHOD_STORED ? packed == original : packed >= 1 && packed < original;
    if (!packed_ok)
        return damaged(run.report,
                       format_message("chunk %" PRIu64 " is damaged (packed length %" PRIu64 " is out of bounds)",
                                      number, packed));
    job.method = method;
    job.original_length = static_cast<std::uint32_t>(original);
    job.checksum = get_le(rec + 12, 8);
    job.payload.resize(static_cast<std::size_t>(packed));
    if (int s = read_exact(run, job.payload.data(), job.payload.size(), complete); s != 0) return s;
    if (!complete) return damaged(run.report, format_message("file is truncated (in chunk %" PRIu64 ")", number));
    return PACK_OK;
}

[[nodiscard]] int check_end(UnpackRun& run) {
    std::uint8_t e[kEndRecordSize];
    e[0] = kEndTag;
    bool complete = false;
    if (int s = read_exact(run, e + 1, sizeof e - 1, complete); s != 0) return s;
    if (!complete) return damaged(run.report, "file is truncated (in its end record)");
    if (get_le(e + 32, 4) != record_check(e, 32) || get_le(e + 1, 3) != 0 || get_le(e + 4, 4) != 0)
        return damaged(run.report, "end record is damaged");
    PackReport& r = run.report;
    if (get_le(e + 16, 8) != r.chunks)
        return damaged(r, format_message("file is damaged (%" PRIu64 " chunks found, the end record says %" PRIu64 ")",
                                         r.chunks, get_le(e + 16, 8)));
    if (get_le(e + 8, 8) != r.original_bytes)
        return damaged(r,
                       format_message("file is damaged (%" PRIu64 " bytes unpacked, the end record says %" PRIu64 ")",
                                      r.original_bytes, get_le(e + 8, 8)));
    if (get_le(e + 24, 8) != XXH3_64bits_digest(&run.whole))
        return damaged(r, "file is damaged (checksum mismatch of the whole)");
    std::uint8_t extra;
    const long long more = run.in.read(run.in.self, &extra, 1);
    if (more < 0) {
        r.error = static_cast<int>(-more);
        r.message = std::string("cannot read the input: ") + std::strerror(r.error);
        return PACK_READ_FAILED;
    }
    if (more > 0) return damaged(r, "file is damaged (bytes follow its end record)");
    return PACK_OK;
}

}  // namespace

int pack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings, PackReport& report) {
    report = PackReport{};
    if (!settings_valid(settings)) {
        report.message = "internal error: chunk settings out of bounds";
        return PACK_BAD_SETTINGS;
    }
    PackRun run{in, out, settings, report, {}, 0, 0, false, {}, 0, 0};
    plan_chunks(run);
    run.window.resize(2 * settings.chunk_cap);
    XXH3_64bits_reset(&run.whole);
    if (int s = write_file_header(run); s != 0) return s;

    std::vector<PackJob> jobs(kPackInFlight);
    for (PackJob& job : jobs) {
        job.coder = &settings.coder;
        job.by_family = settings.stats_by_family;
    }
    Pipeline<PackJob> pipeline(jobs, pack_chunk, settings.threads);
    std::uint64_t consumed = 0;
    bool input_done = false;
    for (;;) {
        while (!input_done && !pipeline.full()) {
            if (int s = fill_window(run); s != 0) return s;
            if (run.end == run.begin) {
                input_done = true;
                break;
            }
            std::size_t n = 0;
            if (int s = cut_chunk(run, n); s != 0) return s;
            const std::uint8_t* p = run.window.data() + run.begin;
            pipeline.next_free().original.assign(p, p + n);
            pipeline.submit();
            run.begin += n;
        }
        if (pipeline.empty()) break;
        const PackJob& job = pipeline.next_finished();
        if (job.verify_failed) {
            report.message = format_message("internal error: chunk %" PRIu64
                                            " did not decode back to its input; nothing was kept",
                                            report.chunks + 1);
            return PACK_VERIFY_FAILED;
        }
        if (int s = write_chunk(run, job); s != 0) return s;
        consumed += job.original.size();
        if (settings.progress != nullptr) settings.progress(settings.progress_self, consumed);
    }
    return write_end_record(run);
}

int unpack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings, PackReport& report) {
    report = PackReport{};
    UnpackRun run{in, out, settings, report, {}};
    XXH3_64bits_reset(&run.whole);
    if (int s = read_file_header(run); s != 0) return s;

    std::vector<UnpackJob> jobs(kPackInFlight);
    for (UnpackJob& job : jobs) job.coder = &settings.coder;
    Pipeline<UnpackJob> pipeline(jobs, unpack_chunk, settings.threads);
    // A problem met while reading is reported after the chunks read before it, so the first
    // problem in file order is the one named.
    int pending = PACK_OK;
    std::string pending_message;
    bool input_done = false;
    std::uint64_t read_chunks = 0;
    for (;;) {
        while (!input_done && !pipeline.full()) {
            const std::uint64_t number = read_chunks + 1;
            std::uint8_t tag = 0;
            bool complete = false;
            input_done = true;
            if (pending = read_exact(run, &tag, 1, complete); pending != 0) break;
            if (!complete) {
                pending = damaged(report, "file is truncated (its end record is missing)");
                break;
            }
            if (tag == kEndTag) break;
            if (tag != kChunkTag) {
                pending = damaged(report, format_message("chunk %" PRIu64 " is damaged (unknown record)", number));
                break;
            }
            if (pending = read_chunk(run, pipeline.next_free(), number); pending != 0) break;
            pipeline.submit();
            ++read_chunks;
            input_done = false;
        }
        if (pending != 0 && pending_message.empty()) pending_message = report.message;
        if (pipeline.empty()) break;
        const UnpackJob& job = pipeline.next_finished();
        if (job.problem != nullptr)
            return damaged(report, format_message("chunk %" PRIu64 " is damaged (", report.chunks + 1) + job.problem + ")");
        if (int e = out.write(out.self, job.output.data(), job.output.size()); e != 0) {
            report.error = e;
            report.message = std::string("cannot write the output: ") + std::strerror(e);
            return PACK_WRITE_FAILED;
        }
        XXH3_64bits_update(&run.whole, job.output.data(), job.output.size());
        report.original_bytes += job.output.size();
        ++report.chunks;
        ++report.chunks_by_method[job.method];
        report.original_by_method[job.method] += job.output.size();
        const std::size_t packed_size = job.method == METHOD_STORED ? job.output.size() : job.payload.size();
        report.packed_by_method[job.method] += packed_size;
        if (settings.chunk_done != nullptr)
            settings.chunk_done(settings.chunk_done_self, job.method, job.output.size(), packed_size);
        if (settings.progress != nullptr) settings.progress(settings.progress_self, report.packed_bytes);
    }
    if (pending != 0) {
        report.message = pending_message;
        return pending;
    }
    return check_end(run);
}

bool has_pack_magic(const std::uint8_t* data, std::size_t size) {
    return size >= sizeof kPackMagic && std::memcmp(data, kPackMagic, sizeof kPackMagic) == 0;
}

namespace {

long long read_fd(void* self, std::uint8_t* buf, std::size_t n) {
    const FdSource& s = *static_cast<const FdSource*>(self);
    for (;;) {
        const ssize_t r = ::read(s.fd, buf, n);
        if (r >= 0) return r;
        if (errno != EINTR) return -static_cast<long long>(errno);
    }
}

long long read_memory(void* self, std::uint8_t* buf, std::size_t n) {
    MemorySource& s = *static_cast<MemorySource*>(self);
    const std::size_t left = s.size - s.pos;
    const std::size_t take = n < left ? n : left;
    if (take > 0) std::memcpy(buf, s.data + s.pos, take);
    s.pos += take;
    return static_cast<long long>(take);
}

int write_vector(void* self, const std::uint8_t* data, std::size_t n) {
    static_cast<std::vector<std::uint8_t>*>(self)->insert(static_cast<std::vector<std::uint8_t>*>(self)->end(), data,
                                                          data + n);
    return 0;
}

}  // namespace

ByteSource fd_source(FdSource& s) { return ByteSource{&s, read_fd}; }
ByteSource memory_source(MemorySource& s) { return ByteSource{&s, read_memory}; }
ByteSink vector_sink(std::vector<std::uint8_t>& v) { return ByteSink{&v, write_vector}; }
