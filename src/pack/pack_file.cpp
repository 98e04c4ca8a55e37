// Packing and unpacking of whole streams: the input window, chunk cutting, the batches coded
// on two threads, the verification of every chunk, and the records of the format.
#include "pack/pack_file.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
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
// Batches: the chunks of a batch are independent, so each thread takes the next one until none
// is left; the caller writes the results in order once all are done.

template <class Job>
struct BatchRun {
    Job* jobs = nullptr;
    std::size_t count = 0;
    void (*work)(Job&) = nullptr;
    std::atomic<std::size_t> next{0};
};

template <class Job>
void* batch_worker(void* arg) {
    BatchRun<Job>& b = *static_cast<BatchRun<Job>*>(arg);
    for (;;) {
        const std::size_t i = b.next.fetch_add(1);
        if (i >= b.count) break;
        b.work(b.jobs[i]);
    }
    return nullptr;
}

// When no second thread can be started, the calling thread does the whole batch.
template <class Job>
void run_batch(Job* jobs, std::size_t count, unsigned threads, void (*work)(Job&)) {
    BatchRun<Job> b;
    b.jobs = jobs;
    b.count = count;
    b.work = work;
    pthread_t helper;
    const bool started = threads > 1 && count > 1 && pthread_create(&helper, nullptr, batch_worker<Job>, &b) == 0;
    batch_worker<Job>(&b);
    if (started) pthread_join(helper, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Packing

struct PackJob {
    const ChunkCoder* coder = nullptr;
    std::vector<std::uint8_t> original;
    std::vector<std::uint8_t> payload;  // model or zstd bytes; empty when stored
    std::uint8_t method = METHOD_STORED;
    std::uint64_t checksum = 0;
    PackStats stats;
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
    std::uint64_t total = 0;
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
};

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
    n = next_chunk_length(p, size, at_end, run.settings.max_frames, run.settings.max_other_bytes);
    if (n == 0 && !at_end) n = next_chunk_length(p, size, true, run.settings.max_frames, run.settings.max_other_bytes);
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
    if (version != kPackFormatVersion) {
        run.report.message =
            format_message("format version %" PRIu64 " is not supported by this version of aaczavrok", version);
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
    PackRun run{in, out, settings, report, {}, 0, 0, false, {}};
    run.window.resize(2 * settings.chunk_cap);
    XXH3_64bits_reset(&run.whole);
    if (int s = write_file_header(run); s != 0) return s;

    std::vector<PackJob> jobs(kPackBatch);
    for (PackJob& job : jobs) job.coder = &settings.coder;
    std::uint64_t consumed = 0;
    for (;;) {
        std::size_t count = 0;
        while (count < jobs.size()) {
            if (int s = fill_window(run); s != 0) return s;
            if (run.end == run.begin) break;
            std::size_t n = 0;
            if (int s = cut_chunk(run, n); s != 0) return s;
            const std::uint8_t* p = run.window.data() + run.begin;
            jobs[count].original.assign(p, p + n);
            run.begin += n;
            consumed += n;
            ++count;
        }
        if (count == 0) break;
        run_batch(jobs.data(), count, settings.threads, pack_chunk);
        for (std::size_t i = 0; i < count; ++i) {
            if (jobs[i].verify_failed) {
                report.message = format_message("internal error: chunk %" PRIu64
                                                " did not decode back to its input; nothing was kept",
                                                report.chunks + 1);
                return PACK_VERIFY_FAILED;
            }
            if (int s = write_chunk(run, jobs[i]); s != 0) return s;
        }
        if (settings.progress != nullptr) settings.progress(settings.progress_self, consumed);
    }
    return write_end_record(run);
}

int unpack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings, PackReport& report) {
    report = PackReport{};
    UnpackRun run{in, out, settings, report, {}};
    XXH3_64bits_reset(&run.whole);
    if (int s = read_file_header(run); s != 0) return s;

    std::vector<UnpackJob> jobs(kPackBatch);
    for (UnpackJob& job : jobs) job.coder = &settings.coder;
    for (;;) {
        // A problem met while reading is reported after the chunks read before it, so the
        // first problem in file order is the one named.
        int pending = PACK_OK;
        bool ended = false;
        std::size_t count = 0;
        while (count < jobs.size()) {
            const std::uint64_t number = report.chunks + count + 1;
            std::uint8_t tag = 0;
            bool complete = false;
            if (pending = read_exact(run, &tag, 1, complete); pending != 0) break;
            if (!complete) {
                pending = damaged(report, "file is truncated (its end record is missing)");
                break;
            }
            if (tag == kEndTag) {
                ended = true;
                break;
            }
            if (tag != kChunkTag) {
                pending = damaged(report, format_message("chunk %" PRIu64 " is damaged (unknown record)", number));
                break;
            }
            if (pending = read_chunk(run, jobs[count], number); pending != 0) break;
            ++count;
        }
        const std::string pending_message = report.message;
        run_batch(jobs.data(), count, settings.threads, unpack_chunk);
        for (std::size_t i = 0; i < count; ++i) {
            const UnpackJob& job = jobs[i];
            if (job.problem != nullptr)
                return damaged(report,
                               format_message("chunk %" PRIu64 " is damaged (", report.chunks + 1) + job.problem + ")");
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
            report.packed_by_method[job.method] += job.method == METHOD_STORED ? job.output.size() : job.payload.size();
        }
        if (pending != 0) {
            report.message = pending_message;
            return pending;
        }
        if (settings.progress != nullptr) settings.progress(settings.progress_self, report.packed_bytes);
        if (ended) break;
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
