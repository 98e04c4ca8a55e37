// Packing and unpacking of whole streams: the input window and the cutting of chunks, the
// records written and read around each chunk, and the order in which chunks leave the
// pipeline. How each chunk is coded is in chunk_method, the threads in pack_pipeline.h, the
// layout of the records in pack_format.h.
#include "pack/driver/pack_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <cstring>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "pack/container/ts_packets.h"
#include "pack/container/unit_cuts.h"
#include "pack/frame/adts_frame.h"
#include "pack/driver/pack_pipeline.h"

namespace {

std::string format_message(const char* fmt, std::uint64_t a, std::uint64_t b = 0) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// r: what the failed read returned (-errno or kReadTooLong).
PackResult read_failed(PackReport& report, long long r) {
    report.error = read_errno(r);
    report.message = read_failure(r);
    return PACK_READ_FAILED;
}

PackResult write_failed(PackReport& report, int error) {
    report.error = error;
    report.message = std::string("cannot write the output: ") + std::strerror(error);
    return PACK_WRITE_FAILED;
}

// A build whose models cannot start neither packs nor unpacks: it would write files no other
// build reads, or misread what others wrote.
PackResult build_fault(const PackSettings& settings, PackReport& report) {
    const std::string fault = settings.coder.fault();
    if (fault.empty()) return PACK_OK;
    report.message = "build fault: " + fault + "; this build can neither pack nor unpack";
    return PACK_BUILD_FAULT;
}

PackResult damaged(PackReport& report, std::string message) {
    report.message = std::move(message);
    return PACK_DAMAGED;
}

// ---------------------------------------------------------------------------------------------
// Packing

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
    std::uint64_t offset = 0;      // of the window's front in the input
    UnitCuts cuts;                 // of an input with a unit plan
    std::uint64_t chunks_cut = 0;
    LatmConfig latm;               // of a LOAS stream: the configuration in effect at the window's front
    ReachBack reach;               // the bytes written last, where chunks may reach back
};

bool settings_valid(const PackSettings& s) {
    return s.chunk_cap >= 1 && s.chunk_cap <= kMaxChunkOriginal && s.max_frames >= 1 && s.max_other_bytes >= 1 &&
           s.format_version >= kOldestReadableVersion && s.format_version <= kPackFormatVersion;
}

// Whether the input's unit plan, where it has one, leaves most of its bytes to other things.
bool mostly_not_units(const PackRun& run) {
    if (run.cuts.plan == nullptr) return true;
    std::uint64_t in_units = 0;
    for (const UnitExtent& u : run.cuts.plan->units) in_units += u.size;
    return in_units * 2 < run.settings.input_size;
}

// Chunking for the input: by frame count when its length is unknown; otherwise an even number
// of chunks of about equal size, each at most about kPackChunkTarget, so that the default two
// threads share the work evenly to the end (a frame count leaves a last chunk that one thread
// codes alone while the other waits), and no frame count bounds them. The cut never depends
// on the thread count, so neither do the packed bytes.
void plan_chunks(PackRun& run) {
    const PackSettings& s = run.settings;
    run.max_frames = s.max_frames;
    run.target_bytes = 0;
    if (s.input_size == 0) return;
    run.max_frames = ~std::size_t{0};
    run.target_bytes = chunk_target_bytes(s.input_size);
}

[[nodiscard]] PackResult emit(PackRun& run, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return PACK_OK;
    if (int e = run.out.write(run.out.self, data, size); e != 0) return write_failed(run.report, e);
    run.report.packed_bytes += size;
    return PACK_OK;
}

// Reads until the window holds a whole chunk's worth (cap) or the input has ended. The window
// is one cap long: what is left after a cut moves to its front before more is read.
[[nodiscard]] PackResult fill_window(PackRun& run) {
    const std::size_t cap = run.settings.chunk_cap;
    while (!run.eof && run.end - run.begin < cap) {
        if (run.begin != 0) {
            std::memmove(run.window.data(), run.window.data() + run.begin, run.end - run.begin);
            run.end -= run.begin;
            run.begin = 0;
        }
        const long long r = read_some(run.in, run.window.data() + run.end, run.window.size() - run.end);
        if (r < 0) return read_failed(run.report, r);
        if (r == 0) {
            run.eof = true;
        } else {
            run.end += static_cast<std::size_t>(r);
        }
    }
    return PACK_OK;
}

// The input offset the next chunk must reach unless it takes the input's last bytes: with k
// chunks cut, the bound pays for the records of k + 1 and of the last one (24 bytes each) only
// from the 1 KiB slack and a thousandth of the input read.
std::uint64_t bound_reach(const PackRun& run) {
    const std::uint64_t slack = kPackBoundSlack - kFileHeaderSize - kEndRecordSize;
    const std::uint64_t records = kChunkRecordSize * (run.chunks_cut + 2);
    return records > slack ? 1000 * (records - slack) : 0;
}

// Whether the window's front, as far as the next chunk could reach, is mostly frames of a LOAS
// stream the split takes (with the configuration the chunks before leave in effect).
bool holds_loas(const PackRun& run, const std::uint8_t* p, std::size_t size) {
    return mostly_loas(p, size, run.latm);
}

// Length of the next chunk of a LOAS stream: up to the end of a frame the split takes, at the
// target (or the cap), unless the rest of the input fits. The configuration in effect after
// it goes to the run.
std::size_t cut_loas_chunk(PackRun& run, const std::uint8_t* p, std::size_t size, std::size_t least) {
    const std::size_t avail = run.end - run.begin;
    const bool at_end = run.eof && avail <= run.settings.chunk_cap;
    const std::size_t want = run.target_bytes != 0 ? std::min(size, std::max(run.target_bytes, least)) : size;
    LatmConfig config = run.latm;
    const LoasWalk walk = walk_loas(p, size, config, want);
    std::size_t n = walk.last_end;
    if (at_end && avail <= want) {
        n = avail;
    } else if (n < least || n == 0) {
        n = want;
    } else if (at_end && avail - n < kContainerGapChunk) {
        n = avail;  // no short last chunk of a few frames
    }
    if (n == walk.last_end) {
        run.latm = walk.at_last_end;
    } else if (n == size) {
        run.latm = config;
    } else {
        walk_loas(p, n, run.latm, n);
    }
    return n;
}

// Length of the next chunk at the window's front. A window full to the cap is cut there even
// where a unit would continue, since no chunk may exceed the cap.
[[nodiscard]] PackResult cut_chunk(PackRun& run, std::size_t& n, PackJob& job) {
    const std::size_t avail = run.end - run.begin;
    const std::size_t size = avail < run.settings.chunk_cap ? avail : run.settings.chunk_cap;
    const std::uint64_t reach = bound_reach(run);
    const std::size_t least = reach > run.offset ? static_cast<std::size_t>(std::min<std::uint64_t>(reach - run.offset, size)) : 0;
    job.container = run.cuts.plan != nullptr;
    const std::uint8_t* p = run.window.data() + run.begin;
    std::size_t first_sync = 0, packet_size = 0;
    job.ts = !job.container && run.settings.format_version >= 5 && find_ts_packets(p, size, first_sync, packet_size);
    job.loas = !job.container && !job.ts && run.settings.format_version >= 7 && holds_loas(run, p, size);
    if (job.ts) {
        // Transport stream packets: whole ones after the bytes before the first, up to the
        // target (or the cap), unless the rest of the input fits.
        const bool at_end = run.eof && avail <= run.settings.chunk_cap;
        const std::size_t want = run.target_bytes != 0 ? std::min(size, std::max(run.target_bytes, least)) : size;
        if (at_end && avail <= want) {
            n = avail;
        } else {
            std::size_t packets = std::max<std::size_t>(1, (want - std::min(want, first_sync)) / packet_size);
            if (first_sync + packets * packet_size < least) ++packets;  // the bound's least reach, a packet further
            n = std::min(size, first_sync + packets * packet_size);
            if (at_end && avail - n < kContainerGapChunk) n = avail;  // no short last chunk of a few packets
        }
        job.ts_layout.lead = static_cast<std::uint32_t>(first_sync);
        job.ts_layout.packet_size = static_cast<std::uint16_t>(packet_size);
    } else if (job.loas) {
        job.latm = run.latm;
        n = cut_loas_chunk(run, p, size, least);
    } else if (job.container) {
        n = cut_unit_chunk(run.cuts, run.offset, size, run.target_bytes, job.units, job.first_unit);
        if (n < least) n = widen_unit_chunk(run.cuts, run.offset, size, least, job.units, job.first_unit);
    } else {
        const bool at_end = run.eof && avail <= run.settings.chunk_cap;
        const std::size_t other = run.settings.max_other_bytes;
        n = next_chunk_length(p, size, at_end, run.max_frames, other, run.target_bytes);
        if (n == 0 && !at_end) n = next_chunk_length(p, size, true, run.max_frames, other, run.target_bytes);
        if (n < least) {
            // a chunk that short would cost the bound more than the input so far pays for
            std::size_t longer = next_chunk_length(p, size, at_end, ~std::size_t{0}, std::max(other, least), least);
            if (longer == 0) longer = next_chunk_length(p, size, true, ~std::size_t{0}, std::max(other, least), least);
            n = std::max(n, longer);
        }
    }
    if (n == 0 || n > size) {
        run.report.message = "internal error: a chunk was cut outside the input window";
        return PACK_VERIFY_FAILED;
    }
    ++run.chunks_cut;
    return PACK_OK;
}

void count_chunk(PackReport& r, std::uint8_t method, std::uint64_t original, std::uint64_t packed) {
    r.original_bytes += original;
    ++r.chunks;
    ++r.chunks_by_method[method];
    r.original_by_method[method] += original;
    r.packed_by_method[method] += packed;
}

// Numbers the access units of a chunk coded as units, as the unpacker will: a derived size
// table the unpacker would fill in wrong is a bug, stopped here.
[[nodiscard]] PackResult check_numbering(PackRun& run, const PackJob& job) {
    if (!codes_units(job.method)) return PACK_OK;
    if (number_units(run.cuts, job.first_unit, job.units, job.original.data(), job.original.size(), job.checksum,
                     job.offset))
        return PACK_OK;
    run.report.message = "internal error: a derived size table does not match its access units; nothing was kept";
    return PACK_VERIFY_FAILED;
}

[[nodiscard]] PackResult write_chunk(PackRun& run, const PackJob& job) {
    if (PackResult s = check_numbering(run, job); s != PACK_OK) return s;
    const bool stored = job.method == METHOD_STORED;
    const std::vector<std::uint8_t>& payload = stored ? job.original : job.payload;
    ChunkRecord record;
    record.method = job.method;
    record.original_length = static_cast<std::uint32_t>(job.original.size());
    record.packed_length = static_cast<std::uint32_t>(payload.size());
    record.checksum = job.checksum;
    record.reserved = static_cast<std::uint16_t>((job.reaches_back ? kChunkReachesBack : 0) |
                                                 (job.keeps ? kChunkKeeps : 0));
    std::uint8_t bytes[kChunkRecordSize];
    write_chunk_record(record, bytes);
    if (PackResult s = emit(run, bytes, sizeof bytes); s != PACK_OK) return s;
    if (PackResult s = emit(run, payload.data(), payload.size()); s != PACK_OK) return s;
    XXH3_64bits_update(&run.whole, job.original.data(), job.original.size());
    PackReport& r = run.report;
    count_chunk(r, job.method, job.original.size(), payload.size());
    const std::uint64_t frames = job.stats.frames_modelled + job.stats.frames_raw;
    // the header of the first frame of a chunk that holds frames, for the run's line
    if (r.frames_parsed == 0 && job.stats.frames_modelled != 0 && !job.container && job.method != METHOD_TS &&
        job.method != METHOD_LOAS)
        first_adts_header(job.original.data(), job.original.size(), r.first_adts);
    r.frames += frames;
    if (!job.container) r.frames_parsed += job.stats.frames_modelled;
    if (job.method == METHOD_TS) {
        r.ts_streams = std::max<std::uint64_t>(r.ts_streams, job.ts_layout.pids.size());
        if (!r.has_ts_adts && job.has_first_adts) {
            std::memcpy(r.first_adts, job.first_adts, sizeof r.first_adts);
            r.ts_latm = job.latm_inside;
        }
        r.has_ts_adts = r.has_ts_adts || job.has_first_adts;
    }
    if (job.method == METHOD_LOAS) {
        if (!r.has_loas_adts && job.has_first_adts) std::memcpy(r.loas_adts, job.first_adts, sizeof r.loas_adts);
        r.has_loas_adts = r.has_loas_adts || job.has_first_adts;
        r.loas_frames += job.stats.frames_modelled + job.stats.frames_raw;
    }
    if (job.method == METHOD_MODEL || job.method == METHOD_UNITS || job.method == METHOD_TS ||
        job.method == METHOD_SPLIT || job.method == METHOD_LOAS) {
        for (int f = 0; f < FAMILY_COUNT; ++f) r.stats.bits[f] += job.stats.bits[f];
        r.stats.frame_bits += job.stats.frame_bits;
        r.stats.frames_modelled += job.stats.frames_modelled;
        r.stats.frames_raw += job.stats.frames_raw;
        r.stats.other_bytes += job.stats.other_bytes;
    }
    return PACK_OK;
}

[[nodiscard]] PackResult write_header(PackRun& run) {
    std::uint8_t bytes[kFileHeaderSize];
    FileHeader header;
    header.version = static_cast<std::uint16_t>(run.settings.format_version);
    write_file_header(header, bytes);
    return emit(run, bytes, sizeof bytes);
}

[[nodiscard]] PackResult write_end(PackRun& run) {
    EndRecord record;
    record.whole_length = run.report.original_bytes;
    record.chunk_count = run.report.chunks;
    record.whole_checksum = XXH3_64bits_digest(&run.whole);
    std::uint8_t bytes[kEndRecordSize];
    write_end_record(record, bytes);
    return emit(run, bytes, sizeof bytes);
}

// ---------------------------------------------------------------------------------------------
// Unpacking

struct UnpackRun {
    const ByteSource& in;
    PackReport& report;
    XXH3_state_t whole;
    UnitLengths known;  // the access units of the chunks of units written so far
    std::uint64_t memory_limit = 0;
    std::uint64_t slots = 1;
    ReachBack reach;              // the bytes written last, where the file's chunks may reach back
    bool keeping_read = false;    // a chunk read so far keeps
    std::uint64_t kept_read = 0;  // the original lengths of the chunks read since
};

[[nodiscard]] PackResult read_exact(UnpackRun& run, std::uint8_t* buf, std::size_t n, bool& complete) {
    const long long r = read_full(run.in, buf, n);
    if (r < 0) return read_failed(run.report, r);
    run.report.packed_bytes += static_cast<std::uint64_t>(r);
    complete = static_cast<std::size_t>(r) == n;
    return PACK_OK;
}

[[nodiscard]] PackResult read_header(UnpackRun& run) {
    std::uint8_t bytes[kFileHeaderSize];
    const long long r = read_full(run.in, bytes, sizeof bytes);
    if (r < 0) return read_failed(run.report, r);
    run.report.packed_bytes += static_cast<std::uint64_t>(r);
    const std::size_t got = static_cast<std::size_t>(r);
    const std::size_t magic_got = got < sizeof kPackMagic ? got : sizeof kPackMagic;
    if (got == 0 || std::memcmp(bytes, kPackMagic, magic_got) != 0) {
        run.report.message = "not a packed file (no packed-file magic number)";
        return PACK_NOT_PACKED;
    }
    if (got < sizeof bytes) return damaged(run.report, "file is truncated (in its header)");
    FileHeader header;
    const bool intact = read_file_header(bytes, header);
    // The version is named even when the rest does not match: a later format may change it.
    run.report.format_version = header.version;
    run.known.stretches = has_place_tables(header.version);
    if (header.version < kOldestReadableVersion || header.version > kPackFormatVersion) {
        run.report.message =
            format_message("format version %" PRIu64 " is not supported by this version of aaczavrok"
                           " (it reads format versions %" PRIu64 " to ",
                           header.version, kOldestReadableVersion) +
            std::to_string(kPackFormatVersion) + ")";
        return PACK_UNSUPPORTED_VERSION;
    }
    if (!intact || header.flags != 0) return damaged(run.report, "file header is damaged");
    return PACK_OK;
}

// Reads the rest of one chunk record (its tag already read) and its payload, checking each
// length against its bound before anything is allocated.
[[nodiscard]] PackResult read_chunk(UnpackRun& run, UnpackJob& job, std::uint64_t number) {
    std::uint8_t bytes[kChunkRecordSize];
    bytes[0] = kChunkTag;
    bool complete = false;
    if (PackResult s = read_exact(run, bytes + 1, sizeof bytes - 1, complete); s != PACK_OK) return s;
    if (!complete) return damaged(run.report, format_message("file is truncated (in chunk %" PRIu64 ")", number));
    ChunkRecord record;
    if (!read_chunk_record(bytes, record))
        return damaged(run.report, format_message("chunk %" PRIu64 " is damaged (record checksum mismatch)", number));
    if (const std::string problem = chunk_record_problem(record, run.report.format_version); !problem.empty())
        return damaged(run.report, format_message("chunk %" PRIu64 " is damaged (", number) + problem + ")");
    // a chunk reaches back only into bytes kept before it
    const bool keeping = run.keeping_read || (record.reserved & kChunkKeeps) != 0;
    if ((record.reserved & kChunkReachesBack) != 0 && !run.keeping_read)
        return damaged(run.report, format_message("chunk %" PRIu64 " is damaged (it reaches back where nothing is kept)",
                                                  number));
    // what the chunks in flight hold, and the bytes kept for chunks that reach back (those from
    // the first chunk that keeps on, up to kReachBackBytes)
    if (keeping) run.kept_read += record.original_length;
    run.keeping_read = keeping;
    const std::uint64_t kept = std::min<std::uint64_t>(run.kept_read, kReachBackBytes);
    const std::uint64_t need = run.slots * (std::uint64_t{record.original_length} + record.packed_length) + kept;
    if (run.memory_limit != 0 && need > run.memory_limit) {
        run.report.message = format_message("chunk %" PRIu64 " needs more memory than the limit allows (", number) +
                             std::to_string(need) + " bytes in flight, limit " + std::to_string(run.memory_limit) +
                             ")";
        return PACK_MEMORY_LIMIT;
    }
    job.method = record.method;
    job.reaches_back = (record.reserved & kChunkReachesBack) != 0;
    job.keeps = (record.reserved & kChunkKeeps) != 0;
    job.original_length = record.original_length;
    job.checksum = record.checksum;
    job.payload.resize(record.packed_length);
    if (PackResult s = read_exact(run, job.payload.data(), job.payload.size(), complete); s != PACK_OK) return s;
    if (!complete) return damaged(run.report, format_message("file is truncated (in chunk %" PRIu64 ")", number));
    return PACK_OK;
}

[[nodiscard]] PackResult check_end(UnpackRun& run) {
    std::uint8_t bytes[kEndRecordSize];
    bytes[0] = kEndTag;
    bool complete = false;
    if (PackResult s = read_exact(run, bytes + 1, sizeof bytes - 1, complete); s != PACK_OK) return s;
    if (!complete) return damaged(run.report, "file is truncated (in its end record)");
    EndRecord record;
    if (!read_end_record(bytes, record) || record.reserved != 0) return damaged(run.report, "end record is damaged");
    PackReport& r = run.report;
    if (record.chunk_count != r.chunks)
        return damaged(r, format_message("file is damaged (%" PRIu64 " chunks found, the end record says %" PRIu64 ")",
                                         r.chunks, record.chunk_count));
    if (record.whole_length != r.original_bytes)
        return damaged(r,
                       format_message("file is damaged (%" PRIu64 " bytes unpacked, the end record says %" PRIu64 ")",
                                      r.original_bytes, record.whole_length));
    if (record.whole_checksum != XXH3_64bits_digest(&run.whole))
        return damaged(r, "file is damaged (checksum mismatch of the whole)");
    std::uint8_t extra;
    const long long more = read_some(run.in, &extra, 1);
    if (more < 0) return read_failed(r, more);
    if (more > 0) return damaged(r, "file is damaged (bytes follow its end record)");
    return PACK_OK;
}

}  // namespace

PackResult pack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings, PackReport& report) {
    report = PackReport{};
    if (!settings_valid(settings)) {
        report.message = "internal error: chunk settings out of bounds";
        return PACK_BAD_SETTINGS;
    }
    if (PackResult s = build_fault(settings, report); s != PACK_OK) return s;
    PackRun run{in, out, settings, report, {}, 0, 0, false, {}, 0, 0, 0, {}, 0, {}, {}};
    if (settings.plan != nullptr && settings.plan->source != UnitSource::NONE && methods_of_version(settings.format_version) > METHOD_UNITS)
        run.cuts.plan = settings.plan;
    run.cuts.places = run.cuts.numbered.stretches = has_place_tables(settings.format_version);
    plan_chunks(run);
    run.window.resize(settings.chunk_cap);
    XXH3_64bits_reset(&run.whole);
    if (PackResult s = write_header(run); s != PACK_OK) return s;

    SharedZstd zstd;
    std::vector<PackJob> jobs(pipeline_slots(settings.threads));
    for (PackJob& job : jobs) {
        job.coder = &settings.coder;
        job.zstd = &zstd;
        job.by_family = settings.stats_by_family;
        job.version = settings.format_version;
        reserve_pack_buffers(job, settings.chunk_cap);
    }
    Pipeline<PackJob, PackScratch> pipeline(jobs, pack_chunk, settings.threads);
    for (auto& worker : pipeline.workers) reserve_pack_buffers(worker.scratch, settings.chunk_cap);
    std::uint64_t consumed = 0;
    // Writes the next chunk in order once it is coded.
    const bool may_keep = has_reach_back(settings.format_version) && mostly_not_units(run);
    const auto finish_one = [&]() -> PackResult {
        PackJob& job = pipeline.next_finished();
        // The bytes are kept from the first chunk that may reach back (or whose runs may) on:
        // an AAC file's chunks do not, and its packing keeps nothing for them. Nor does a file
        // mostly of access units, which takes its memory for their map.
        job.keeps = may_keep && !run.reach.kept && (may_reach_back(job) || job.method == METHOD_SPLIT);
        if (job.keeps) run.reach.kept = true;
        if (job.verify_failed) {
            report.message = format_message("internal error: chunk %" PRIu64
                                            " did not decode back to its input; nothing was kept",
                                            report.chunks + 1);
            return PACK_VERIFY_FAILED;
        }
        try_reach_back(job, run.reach);
        if (PackResult s = write_chunk(run, job); s != PACK_OK) return s;
        remember(run.reach, job.original.data(), job.original.size());
        consumed += job.original.size();
        if (settings.progress != nullptr) settings.progress(settings.progress_self, consumed, settings.input_size);
        return PACK_OK;
    };
    bool input_done = false;
    for (;;) {
        while (!input_done && !pipeline.full()) {
            if (PackResult s = fill_window(run); s != PACK_OK) return s;
            if (run.end == run.begin) {
                input_done = true;
                break;
            }
            std::size_t n = 0;
            PackJob& job = pipeline.next_free();
            if (PackResult s = cut_chunk(run, n, job); s != PACK_OK) return s;
            const std::uint8_t* p = run.window.data() + run.begin;
            if (job.container && size_table_ahead(run.cuts, run.offset, n)) {
                // the chunks before are written first (the free slot stays this job's)
                while (!pipeline.empty())
                    if (PackResult s = finish_one(); s != PACK_OK) return s;
                add_size_tables(run.cuts, run.offset, p, n, job.first_unit, job.units);
            }
            if (job.container && has_length_fields(job.version)) add_length_fields(p, n, job.units);
            job.original.assign(p, p + n);
            job.offset = run.offset;
            pipeline.submit();
            run.begin += n;
            run.offset += n;
        }
        if (pipeline.empty()) break;
        if (PackResult s = finish_one(); s != PACK_OK) return s;
    }
    return write_end(run);
}

PackResult unpack_stream(const ByteSource& in, const ByteSink& out, const PackSettings& settings, PackReport& report) {
    report = PackReport{};
    if (PackResult s = build_fault(settings, report); s != PACK_OK) return s;
    UnpackRun run{in, report, {}, {}, settings.memory_limit, pipeline_slots(settings.threads), {}, false, 0};
    XXH3_64bits_reset(&run.whole);
    if (PackResult s = read_header(run); s != PACK_OK) return s;

    std::vector<UnpackJob> jobs(pipeline_slots(settings.threads));
    for (UnpackJob& job : jobs) {
        job.coder = &settings.coder;
        job.version = run.report.format_version;
    }
    Pipeline<UnpackJob, UnpackScratch> pipeline(jobs, unpack_chunk, settings.threads);
    // A problem met while reading is reported after the chunks read before it, so the first
    // problem in file order is the one named.
    PackResult pending = PACK_OK;
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
        UnpackJob& job = pipeline.next_finished();
        if (job.keeps) run.reach.kept = true;
        if (job.result == PACK_OK && job.reaches_back) unpack_reaching(job, run.reach);
        if (job.result == PACK_OK && codes_units(job.method) &&
            !fill_size_tables(job.trace.units, run.known, job.output.data(), job.output.size(), job.checksum,
                              report.original_bytes))
            job.result = PACK_CHECKSUM_MISMATCH;
        if (job.result != PACK_OK)
            return damaged(report, format_message("chunk %" PRIu64 " is damaged (", report.chunks + 1) +
                                       reason_text(job.result) + ")");
        if (int e = out.write(out.self, job.output.data(), job.output.size()); e != 0) return write_failed(report, e);
        XXH3_64bits_update(&run.whole, job.output.data(), job.output.size());
        remember(run.reach, job.output.data(), job.output.size());
        const std::size_t packed_size = job.method == METHOD_STORED ? job.output.size() : job.payload.size();
        count_chunk(report, job.method, job.output.size(), packed_size);
        if (settings.chunk_done != nullptr)
            settings.chunk_done(settings.chunk_done_self, job.method, job.output.size(), packed_size);
        if (settings.progress != nullptr) settings.progress(settings.progress_self, report.packed_bytes, settings.input_size);
    }
    if (pending != 0) {
        report.message = pending_message;
        return pending;
    }
    return check_end(run);
}

std::size_t chunk_target_bytes(std::uint64_t input_size) {
    const std::uint64_t pairs = (input_size + 2 * kPackChunkTarget - 1) / (2 * kPackChunkTarget);
    const std::uint64_t chunks = input_size < 2 * kPackChunkAlone ? 1 : 2 * pairs;
    return static_cast<std::size_t>((input_size + chunks - 1) / chunks);
}

// What the run's line says was found: ADTS frames, or the plan's container or stream. Frame
// candidates of which most do not parse (a syncword here and there in other data, where now
// and then the bits after one happen to parse) do not make the file ADTS.
void describe_found(const UnitPlan* plan, PackReport& report) {
    if (plan != nullptr && plan->source != UnitSource::NONE)
        report.units = describe_units(*plan, report.stats.frames_modelled);
    else if (report.ts_streams != 0 || report.chunks_by_method[METHOD_TS] != 0)
        report.units = describe_ts(report.ts_streams, report.has_ts_adts ? report.first_adts : nullptr, report.ts_latm,
                                   report.stats.frames_modelled);
    else if (report.has_loas_adts && 2 * report.loas_frames >= report.frames)
        report.units = describe_loas(report.loas_adts, report.stats.frames_modelled);
    else if (report.frames_parsed != 0 && 2 * report.frames_parsed >= report.frames)
        report.units = describe_adts(report.first_adts, report.frames, report.stats.frames_modelled,
                                     report.chunks_by_method[METHOD_LZMA] == 0   ? LzmaUse::NONE
                                     : report.chunks_by_method[METHOD_ZSTD] == 0 ? LzmaUse::ONLY
                                                                                 : LzmaUse::BESIDE_ZSTD);
}

PackResult pack_input(const ByteSource& in, const RandomReader* whole, const ByteSink& out, const PackSettings& settings,
               PackReport& report) {
    if (whole == nullptr) {
        const PackResult status = pack_stream(in, out, settings, report);
        describe_found(nullptr, report);
        return status;
    }
    UnitPlan plan;
    map_units(*whole, plan);
    PackSettings with_plan = settings;
    with_plan.plan = &plan;
    const PackResult status = pack_stream(in, out, with_plan, report);
    describe_found(&plan, report);
    return status;
}
