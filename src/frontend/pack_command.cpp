// Packing, unpacking, testing and listing of named files: the strict command line, output
// names, the refusal to replace anything that exists or to write over an input, the progress
// display, and the line of each file.
#include "frontend/pack_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <string>

#include "aaczavrok.h"
#include "frontend/batch.h"
#include "frontend/progress_line.h"
#include "streams/output_file.h"

namespace {

constexpr char kPackedSuffix[] = ".aaz";
constexpr std::size_t kPackedSuffixLength = sizeof kPackedSuffix - 1;
// Options of the data-block directions that mean nothing for an exact copy.
constexpr char kLossyOptions[] = "lhstmv";

// How one file ended; the run's status follows from the worst.
enum FileResult { FILE_DONE, FILE_FAILED, FILE_SKIPPED };

// Why a file was skipped: the batch summary counts each.
enum SkipReason { SKIP_PACKED, SKIP_NOT_PACKED, SKIP_LINK, SKIP_SPECIAL, SKIP_REASONS };
constexpr const char* kSkipTexts[SKIP_REASONS][2] = {{"already packed", "already packed"},
                                                     {"not packed", "not packed"},
                                                     {"symbolic link", "symbolic links"},
                                                     {"not a regular file", "not regular files"}};

// What the files of a run came to, for the progress of the whole run and its summary.
struct Batch {
    std::size_t files = 0;  // entries of the run
    std::size_t index = 0;  // the one being handled, from 1
    std::uint64_t bytes = 0;       // of the regular files to handle
    std::uint64_t bytes_done = 0;  // of those handled so far
    std::size_t done = 0, failed = 0;
    std::size_t skipped[SKIP_REASONS] = {};
    std::uint64_t in = 0, out = 0;  // the handled files' input and output bytes
};

struct PackCommandContext {
    const CommandLine& cl;
    PackedMode mode;
    std::FILE* err;
    std::FILE* out;         // the listing
    bool terminal = false;  // standard error is a terminal: progress and speed are shown
    aaz_options options;
    Batch batch;
};

struct Progress {
    ProgressLine line;
    const std::string* name = nullptr;
    const Batch* batch = nullptr;
    int last = -1;
};

const char* mode_name(PackedMode mode) {
    switch (mode) {
        case PACKED_PACK: return "-p";
        case PACKED_UNPACK: return "-d of a packed file";
        case PACKED_TEST: return "--test";
        case PACKED_LIST: return "--list";
        default: return "";
    }
}

// The output's name; "" for an input that --output-dir cannot mirror (a ".." in its path).
std::string output_name_for(const PackCommandContext& ctx, const std::string& input) {
    if (ctx.cl.has_outfile) return ctx.cl.outfile;
    // -dc, as users of gzip, xz and zstd type it: -c selects the data-block compression,
    // which a packed file never goes to, so beside -d it can only mean standard output.
    if (input == "-" || (ctx.mode == PACKED_UNPACK && ctx.cl.given.find('c') != std::string::npos)) return "-";
    std::string name = input;
    if (ctx.cl.has_output_dir) {
        std::string relative;
        if (!mirrored_path(input, relative)) return "";
        name = ctx.cl.output_dir + (ends_with(ctx.cl.output_dir + "x", "/x") ? "" : "/") + relative;
    }
    if (ctx.mode == PACKED_PACK) return name + kPackedSuffix;
    return ends_with(name, kPackedSuffix) ? name.substr(0, name.size() - kPackedSuffixLength) : name + ".out";
}

// What carried a file in which no AAC was found: "stored with zstd", "stored with zstd and
// LZMA2", "stored with the byte model" (bytes that zstd barely shrinks), or "stored as is".
std::string stored_text(const aaz_info& r) {
    std::vector<std::string> ways;
    if (r.chunks_by_method[AAZ_METHOD_ZSTD] > 0) ways.push_back("zstd");
    if (r.chunks_by_method[AAZ_METHOD_LZMA] > 0) ways.push_back("LZMA2");
    if (r.chunks_by_method[AAZ_METHOD_MODEL] + r.chunks_by_method[AAZ_METHOD_UNITS] > 0) ways.push_back("the byte model");
    if (ways.empty()) return "stored as is";
    std::string text = "stored with " + ways[0];
    for (std::size_t i = 1; i < ways.size(); ++i) text += (i + 1 == ways.size() ? " and " : ", ") + ways[i];
    return text;
}

// "(15.02% smaller)", rounded to the nearest hundredth of a percent, in integers.
std::string saving_text(std::uint64_t from, std::uint64_t to) {
    if (from == 0 || from == to) return from == 0 ? "" : " (same size)";
    const bool smaller = to < from;
    const std::uint64_t diff = smaller ? from - to : to - from;
    const unsigned __int128 hundredths = (static_cast<unsigned __int128>(diff) * 20000u + from) / (2u * from);
    const std::uint64_t h = static_cast<std::uint64_t>(hundredths);
    char text[64];
    std::snprintf(text, sizeof text, " (%" PRIu64 ".%02" PRIu64 "%% %s)", h / 100, h % 100,
                  smaller ? "smaller" : "larger");
    return text;
}

// total: the input's length when the library knows it (a file's, or a stream kept whole). In a
// run of several files the line starts with the run's own count of files and bytes.
void show_progress(void* self, std::uint64_t bytes_in, std::uint64_t total) {
    Progress& p = *static_cast<Progress*>(self);
    std::string run;
    const Batch& b = *p.batch;
    if (b.files > 1) {
        run = "[" + std::to_string(b.index) + "/" + std::to_string(b.files) + " files";
        if (b.bytes > 0)
            run += ", " + std::to_string(std::min<std::uint64_t>(100, (b.bytes_done + bytes_in) * 100 / b.bytes)) +
                   "% of " + with_thousands(b.bytes) + " bytes";
        run += "] ";
    }
    if (total > 0) {
        const int percent = static_cast<int>(bytes_in * 100 / total);
        if (percent == p.last) return;
        p.last = percent;
        progress_show(p.line, run + *p.name + ": " + std::to_string(percent) + "%");
    } else {
        progress_show(p.line, run + *p.name + ": " + with_thousands(bytes_in) + " bytes");
    }
}

// A chunk method's name; "?" for one this program was not built to know.
const char* method_text(unsigned method) {
    const char* name = aaz_method_name(method);
    return name != nullptr ? name : "?";
}

void print_stats(std::FILE* err, const aaz_info& r) {
    constexpr int kFamilyCount = 12;
    static constexpr const char* kFamilyNames[kFamilyCount] = {"adts",         "structure",  "ics_info", "sections",
                                                               "scalefactors", "magnitudes", "signs",    "escapes",
                                                               "tools",        "fill",       "raw",      "container"};
    std::fprintf(err, "  chunks: %" PRIu64 " model, %" PRIu64 " zstd, %" PRIu64 " stored\n",
                 r.chunks_by_method[AAZ_METHOD_MODEL] + r.chunks_by_method[AAZ_METHOD_UNITS] +
                     r.chunks_by_method[AAZ_METHOD_TS] + r.chunks_by_method[AAZ_METHOD_SPLIT] +
                     r.chunks_by_method[AAZ_METHOD_LOAS],
                 r.chunks_by_method[AAZ_METHOD_ZSTD], r.chunks_by_method[AAZ_METHOD_STORED]);
    for (unsigned m = 0; m < AAZ_METHODS; ++m) {
        if (r.chunks_by_method[m] == 0) continue;
        std::fprintf(err, "  %-6s %s -> %s bytes\n", method_text(m), with_thousands(r.original_by_method[m]).c_str(),
                     with_thousands(r.packed_by_method[m]).c_str());
    }
    std::fprintf(err, "  frames: %" PRIu64 " (%" PRIu64 " modelled, %" PRIu64 " raw); other bytes: %" PRIu64 "\n",
                 r.frames, r.frames_modelled, r.frames_raw, r.other_bytes);
    std::uint64_t total = 0;
    for (std::uint64_t b : r.family_bits) total += b;
    if (total == 0) return;
    for (int f = 0; f < kFamilyCount; ++f) {
        const std::uint64_t b = r.family_bits[f];
        std::fprintf(err, "  %-13s %14s bits %6.2f%%", kFamilyNames[f], with_thousands(b).c_str(),
                     100.0 * static_cast<double>(b) / static_cast<double>(total));
        if (r.frames_modelled > 0)
            std::fprintf(err, " %10.1f bits/frame",
                         static_cast<double>(b) / static_cast<double>(r.frames_modelled));
        std::fputc('\n', err);
    }
}

// The input as the library reads it: one read after another, and, for a regular file, reads at
// offsets that leave the descriptor's position alone. self: the descriptor.
long long read_input(void* self, std::uint8_t* buf, std::size_t n) {
    const int fd = *static_cast<const int*>(self);
    for (;;) {
        const ssize_t r = read(fd, buf, n);
        if (r >= 0) return r;
        if (errno != EINTR) return -static_cast<long long>(errno);
    }
}

long long read_input_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const int fd = *static_cast<const int*>(self);
    for (;;) {
        const ssize_t r = pread(fd, buf, n, static_cast<off_t>(offset));
        if (r >= 0) return r;
        if (errno != EINTR) return -static_cast<long long>(errno);
    }
}

// True when the named file starts with the packed-file magic number, or is a stream (a pipe,
// a FIFO, a device), which would lose what is read here: such a stream is never a data-block
// container (read by seeking), so it goes to the unpacker unread, which says so if it holds no
// packed file.
bool file_is_packed(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return true;
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::uint8_t head[AAZ_MAGIC_SIZE];
    std::size_t got = 0;
    for (long long r = 1; r > 0 && got < sizeof head; got += r > 0 ? static_cast<std::size_t>(r) : 0)
        r = read_input(&fd, head + got, sizeof head - got);
    close(fd);
    return aaz_is_packed(head, got) != 0;
}

// A file's output. Packing opens it at the library's first write, after the input's first
// bytes were read: an input that is packed already is skipped before its output is looked at.
struct Output {
    const PackCommandContext* ctx = nullptr;
    const std::string* input = nullptr;  // as named on the command line
    const std::string* shown = nullptr;
    std::string name;
    const struct stat* like = nullptr;  // the input's, for its permissions and times, or null
    OutputFile file;
    bool opened = false;
    std::string problem;  // why it was not opened: the file's line
};

// Opens the output, unless it would replace the input or write packed data to a terminal.
// Returns false with the file's line in o.problem.
bool open_for_writing(Output& o) {
    const std::string& shown = *o.shown;
    if (o.name.empty()) {
        o.problem = shown + ": a path with \"..\" is not mirrored under --output-dir; nothing done";
        return false;
    }
    if (o.ctx->cl.has_output_dir) {
        if (int e = make_folders_for(o.name); e != 0) {
            o.problem = shown + ": cannot make the folders of " + o.name + ": " + std::strerror(e);
            return false;
        }
    }
    if (o.name != "-" && *o.input != "-" && same_file(*o.input, o.name)) {
        o.problem = shown + ": the output " + o.name + " would replace the input; nothing done";
        return false;
    }
    if (o.ctx->mode == PACKED_PACK && o.name == "-" && isatty(STDOUT_FILENO)) {
        o.problem = shown + ": packed data is not written to a terminal (use -o FILE)";
        return false;
    }
    if (int e = open_output(o.file, o.name, o.ctx->cl.force, o.like); e != 0) {
        o.problem = e == EEXIST ? shown + ": " + o.name + " already exists (use -f to replace it)"
                                : shown + ": cannot create " + o.name + ": " + std::strerror(e);
        return false;
    }
    o.opened = true;
    return true;
}

int write_to_output(void* self, const std::uint8_t* data, std::size_t n) {
    Output& o = *static_cast<Output*>(self);
    if (!o.opened && !open_for_writing(o)) return ECANCELED;
    return write_output(o.file, data, n);
}

// The first option of the data-block modes on the command line (-l, -h, -s, -t, -m, -v), or 0.
char lossy_option(const CommandLine& cl) {
    for (char c : cl.given)
        if (std::strchr(kLossyOptions, c) != nullptr) return c;
    return 0;
}

// --list: one line per chunk, gathered while the file is read and shown under its line.
struct ChunkListing {
    std::string text;
    std::uint64_t count = 0;
};

void list_chunk(void* self, unsigned method, std::uint64_t original, std::uint64_t packed) {
    ChunkListing& l = *static_cast<ChunkListing*>(self);
    ++l.count;
    l.text += "  chunk " + std::to_string(l.count) + ": " + method_text(method) +
              ", original " + with_thousands(original) + " bytes, packed " + with_thousands(packed) +
              saving_text(original, packed) + "\n";
}

// "song.aac.aaz: format version 2; 3 chunks: 2 model, 1 zstd; original ... bytes, packed ..."
void print_listing(std::FILE* out, const std::string& shown, const aaz_info& r, const ChunkListing& chunks) {
    std::string methods;
    for (int m = AAZ_METHODS - 1; m >= 0; --m) {
        if (r.chunks_by_method[m] == 0) continue;
        methods += (methods.empty() ? ": " : ", ") + std::to_string(r.chunks_by_method[m]) + " " +
                   method_text(static_cast<unsigned>(m));
    }
    std::fprintf(out, "%s: format version %u; %" PRIu64 " chunk%s%s; original %s bytes, packed %s%s\n", shown.c_str(),
                 r.format_version, r.chunks, r.chunks == 1 ? "" : "s", methods.c_str(),
                 with_thousands(r.original_bytes).c_str(), with_thousands(r.packed_bytes).c_str(),
                 saving_text(r.original_bytes, r.packed_bytes).c_str());
    std::fputs(chunks.text.c_str(), out);
}

// ", 11.58 MB/s" of original bytes, shown on a terminal only.
std::string speed_text(const PackCommandContext& ctx, std::uint64_t bytes, std::chrono::steady_clock::duration took) {
    const double seconds = std::chrono::duration<double>(took).count();
    if (!ctx.terminal || seconds <= 0.0) return "";
    char text[48];
    std::snprintf(text, sizeof text, ", %.2f MB/s", static_cast<double>(bytes) / 1e6 / seconds);
    return text;
}

FileResult skipped(PackCommandContext& ctx, SkipReason why) {
    ++ctx.batch.skipped[why];
    return FILE_SKIPPED;
}

// Removes an input whose output is written, checked and synced to disk; false after the line
// that says why it could not be.
bool remove_input(PackCommandContext& ctx, const std::string& name, const std::string& shown) {
    if (unlink(name.c_str()) == 0) return true;
    std::fprintf(ctx.err, "%s: cannot remove it: %s (its output is complete)\n", shown.c_str(), std::strerror(errno));
    return false;
}

// One file, start to end; `walked` when it was found under a folder rather than named.
FileResult run_one(PackCommandContext& ctx, const std::string& name, bool walked) {
    std::FILE* err = ctx.err;
    const bool writes = ctx.mode == PACKED_PACK || ctx.mode == PACKED_UNPACK;
    const bool from_stdin = name == "-";
    const std::string shown = from_stdin ? "(standard input)" : name;
    // Under a folder, only packed files are unpacked, tested or listed.
    if (walked && ctx.mode != PACKED_PACK && !file_is_packed(name)) return skipped(ctx, SKIP_NOT_PACKED);
    const std::string out_name = writes ? output_name_for(ctx, name) : "";

    const int fd = from_stdin ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(err, "%s: cannot open: %s\n", shown.c_str(), std::strerror(errno));
        return FILE_FAILED;
    }
    struct FdCloser {
        int fd;
        bool owned;
        ~FdCloser() {
            if (owned && fd >= 0) close(fd);
        }
    } closer{fd, !from_stdin};

    struct stat st;
    if (fstat(fd, &st) != 0) {
        std::fprintf(err, "%s: cannot read: %s\n", shown.c_str(), std::strerror(errno));
        return FILE_FAILED;
    }
    if (S_ISDIR(st.st_mode)) {
        std::fprintf(err, "%s: is a directory (-r handles the files under it)\n", shown.c_str());
        return FILE_FAILED;
    }
    // A named file's output takes its permissions, times and, where allowed, owner; a stream's
    // has nothing to take.
    Output out;
    out.ctx = &ctx;
    out.input = &name;
    out.shown = &shown;
    out.name = out_name;
    out.like = !from_stdin && S_ISREG(st.st_mode) ? &st : nullptr;
    if (ctx.mode == PACKED_UNPACK && !open_for_writing(out)) {
        std::fprintf(err, "%s\n", out.problem.c_str());
        return FILE_FAILED;
    }

    // A regular file is read at offsets too, so that the access units of a container or of an
    // ADIF or headerless stream are found first; the library keeps a stream whole for that
    // only when it starts like a container or an ADIF file.
    int input_fd = fd;
    const bool regular = S_ISREG(st.st_mode);
    aaz_io io{read_input, &input_fd, writes ? write_to_output : nullptr, writes ? &out : nullptr, nullptr, nullptr, 0};
    aaz_options options = ctx.options;
    options.input_size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (ctx.mode == PACKED_PACK && regular) {
        io.read_at = read_input_at;
        io.read_at_self = &input_fd;
        io.size = options.input_size;
    }

    Progress progress;
    progress.line.err = err;
    progress.line.terminal = ctx.terminal;
    progress.name = &shown;
    progress.batch = &ctx.batch;
    ChunkListing chunks;
    if (ctx.terminal && ctx.mode != PACKED_LIST) {
        options.progress = show_progress;
        options.user = &progress;
    }
    if (ctx.mode == PACKED_LIST && ctx.cl.verbose) {
        options.chunk_done = list_chunk;
        options.user = &chunks;
    }
    aaz_info report;
    aaz_info_init(&report);
    const auto start = std::chrono::steady_clock::now();
    const int status =
        ctx.mode == PACKED_PACK ? aaz_pack_io(&options, &io, &report) : aaz_unpack_io(&options, &io, &report);
    progress_clear(progress.line);

    if (status != AAZ_OK) {
        if (out.opened) discard_output(out.file);
        if (status == AAZ_ALREADY_PACKED) {
            std::fprintf(err, "%s is already packed; skipped\n", shown.c_str());
            return skipped(ctx, SKIP_PACKED);
        }
        if (!out.problem.empty()) {
            std::fprintf(err, "%s\n", out.problem.c_str());
            return FILE_FAILED;
        }
        std::string message = report.message;
        // A name that promises a packed file but lacks its magic number is not read as
        // anything else.
        if (status == AAZ_NOT_PACKED && ends_with(name, kPackedSuffix))
            message = "file is damaged (no packed-file magic number)";
        std::fprintf(err, "%s: %s%s\n", shown.c_str(), message.c_str(),
                     out.opened && !out.file.in_place ? "; no output was kept" : "");
        return FILE_FAILED;
    }
    // An input goes only when its output is a file, complete, checked and on disk.
    const bool removing = ctx.cl.remove_input && out.opened && !out.file.in_place;
    if (out.opened) {
        out.file.durable = removing;
        if (int e = commit_output(out.file); e != 0) {
            if (e == EEXIST && !ctx.cl.force)
                std::fprintf(err, "%s: %s appeared while it was being written; not replaced (use -f to replace it)\n",
                             shown.c_str(), out_name.c_str());
            else
                std::fprintf(err, "%s: cannot write %s: %s\n", shown.c_str(), out_name.c_str(), std::strerror(e));
            return FILE_FAILED;
        }
    }
    if (removing && !remove_input(ctx, name, shown)) return FILE_FAILED;
    const std::string speed = speed_text(ctx, report.original_bytes, std::chrono::steady_clock::now() - start);
    const bool packing = ctx.mode == PACKED_PACK;
    ctx.batch.in += packing ? report.original_bytes : report.packed_bytes;
    ctx.batch.out += packing ? report.packed_bytes : report.original_bytes;

    if (ctx.mode == PACKED_LIST) {
        print_listing(ctx.out, shown, report, chunks);
        return FILE_DONE;
    }
    if (ctx.cl.quiet) return FILE_DONE;
    if (ctx.mode == PACKED_TEST) {
        std::fprintf(err, "%s: OK, %s -> %s bytes, every checksum matches%s\n", shown.c_str(),
                     with_thousands(report.packed_bytes).c_str(), with_thousands(report.original_bytes).c_str(),
                     speed.c_str());
        return FILE_DONE;
    }
    const std::uint64_t from = packing ? report.original_bytes : report.packed_bytes;
    const std::uint64_t to = packing ? report.packed_bytes : report.original_bytes;
    std::string what;
    if (packing && report.units[0] != '\0')
        what = std::string(report.units) + ": ";
    else if (packing && report.frames == 0 && report.original_bytes > 0)
        what = "not AAC, " + stored_text(report) + ": ";
    std::fprintf(err, "%s -> %s: %s%s -> %s bytes%s%s\n", shown.c_str(),
                 out_name == "-" ? "(standard output)" : out_name.c_str(), what.c_str(), with_thousands(from).c_str(),
                 with_thousands(to).c_str(), packing ? saving_text(from, to).c_str() : "", speed.c_str());
    if (ctx.cl.pack_stats) print_stats(err, report);
    return FILE_DONE;
}

// One entry of the run: a file handled, or what stands under a folder and is not opened.
FileResult run_entry(PackCommandContext& ctx, const BatchEntry& e) {
    switch (e.kind) {
    case EntryKind::LINK:
        std::fprintf(ctx.err, "%s: symbolic link, not followed; skipped\n", e.name.c_str());
        return skipped(ctx, SKIP_LINK);
    case EntryKind::SPECIAL:
        std::fprintf(ctx.err, "%s: not a regular file; skipped\n", e.name.c_str());
        return skipped(ctx, SKIP_SPECIAL);
    case EntryKind::UNREADABLE:
        std::fprintf(ctx.err, "%s: cannot read the folder: %s\n", e.name.c_str(), std::strerror(e.error));
        return FILE_FAILED;
    case EntryKind::OPERAND:
    case EntryKind::FILE: break;
    }
    return run_one(ctx, e.name, e.kind == EntryKind::FILE);
}

// "37 files packed, 2 skipped (already packed): 412,380,113 -> 354,950,027 bytes (13.93% smaller), 42.1 s"
void print_summary(const PackCommandContext& ctx, double seconds) {
    static constexpr const char* kVerbs[] = {"", "packed", "unpacked", "tested", "listed"};
    const Batch& b = ctx.batch;
    std::string text = std::to_string(b.done) + (b.done == 1 ? " file " : " files ") + kVerbs[ctx.mode];
    if (b.failed > 0) text += ", " + std::to_string(b.failed) + " failed";
    std::size_t skips = 0, reasons = 0;
    for (std::size_t n : b.skipped) {
        skips += n;
        reasons += n > 0 ? 1 : 0;
    }
    std::string why;
    for (int r = 0; r < SKIP_REASONS; ++r) {
        if (b.skipped[r] == 0) continue;
        const char* reason = kSkipTexts[r][b.skipped[r] == 1 ? 0 : 1];
        why += (why.empty() ? "" : ", ") + (reasons == 1 ? std::string(reason) : std::to_string(b.skipped[r]) + " " + reason);
    }
    if (skips > 0) text += ", " + std::to_string(skips) + " skipped (" + why + ")";
    char time[32];
    std::snprintf(time, sizeof time, ", %.1f s", seconds);
    std::fprintf(ctx.err, "%s: %s -> %s bytes%s%s\n", text.c_str(), with_thousands(b.in).c_str(),
                 with_thousands(b.out).c_str(), ctx.mode == PACKED_PACK ? saving_text(b.in, b.out).c_str() : "", time);
}

// The packed form takes no option it would not use: an option error, an option of the
// data-block modes or a name too many ends the run here, before anything is written.
// Returns 0, or 1 after the message.
int check_command_line(const CommandLine& cl, PackedMode mode, std::FILE* err) {
    const char* program = cl.options.program_name.c_str();
    const char* name = mode_name(mode);
    if (!cl.errors.empty()) {
        std::fputs(cl.errors.c_str(), err);
        std::fprintf(err, "%s: nothing was done (%s --help lists the options)\n", program, program);
        return 1;
    }
    if (const char c = lossy_option(cl); c != 0) {
        std::fprintf(err, "%s: -%c cannot be used with %s: the packed form is an exact copy\n", program, c, name);
        return 1;
    }
    for (char c : cl.given) {
        // -d of a packed file unpacks it whatever mode option stands beside it.
        bool allowed = true;
        if (c == 'c') allowed = mode == PACKED_UNPACK;
        if (c == 'p') allowed = mode == PACKED_PACK || mode == PACKED_UNPACK;
        if (c == 'd') allowed = mode != PACKED_PACK;
        if (!allowed) {
            std::fprintf(err, "%s: -%c cannot be used with %s%s\n", program, c, name,
                         c == 'c' ? ": -c selects the data-block compression (--stdout writes standard output)" : "");
            return 1;
        }
    }
    if (cl.test && cl.list) {
        std::fprintf(err, "%s: --test and --list cannot be used together\n", program);
        return 1;
    }
    if (cl.has_outfile && mode >= PACKED_TEST) {
        std::fprintf(err, "%s: %s writes no file; -o and --stdout cannot be used with it\n", program, name);
        return 1;
    }
    if (cl.has_outfile && cl.operands.size() > 1) {
        std::fprintf(err, "%s: -o names one output, but %zu files were given\n", program, cl.operands.size());
        return 1;
    }
    if (cl.has_output_dir && (cl.has_outfile || mode >= PACKED_TEST)) {
        std::fprintf(err, "%s: --output-dir cannot be used with %s\n", program,
                     mode >= PACKED_TEST ? name : cl.outfile == "-" ? "--stdout" : "-o");
        return 1;
    }
    if (cl.remove_input && (mode >= PACKED_TEST || (cl.has_outfile && cl.outfile == "-"))) {
        std::fprintf(err, "%s: --rm cannot be used with %s: nothing would be kept of the input\n", program,
                     mode >= PACKED_TEST ? name : "--stdout");
        return 1;
    }
    int stdin_count = 0;
    for (const std::string& op : cl.operands) stdin_count += op == "-" ? 1 : 0;
    if (stdin_count > 1) {
        std::fprintf(err, "%s: standard input (-) can be read only once\n", program);
        return 1;
    }
    const bool from_stdin = cl.operands.empty() || std::find(cl.operands.begin(), cl.operands.end(), "-") != cl.operands.end();
    if ((cl.has_output_dir || cl.remove_input) && from_stdin) {
        std::fprintf(err, "%s: %s needs named files, not standard input\n", program,
                     cl.has_output_dir ? "--output-dir" : "--rm");
        return 1;
    }
    if (cl.operands.empty() && isatty(STDIN_FILENO)) {
        std::fprintf(err,
                     "%s: %s without a file reads standard input, which is a terminal here; name a file or "
                     "redirect the input (%s --help shows how)\n",
                     program, mode == PACKED_UNPACK ? "-d" : name, program);
        return 1;
    }
    return 0;
}

}  // namespace

PackedMode packed_mode(const CommandLine& cl) {
    if (cl.test) return PACKED_TEST;
    if (cl.list) return PACKED_LIST;
    // Folders, removal and an output folder are the packed form's alone.
    const bool batch_options = cl.recursive || cl.remove_input || cl.has_output_dir;
    if (cl.unpack && batch_options) return PACKED_UNPACK;
    if (cl.unpack) {
        if (cl.operands.empty()) {
            if (lossy_option(cl) == 0) return PACKED_UNPACK;
        } else {
            const std::string& first = cl.operands[0];
            if (first == "-" || ends_with(first, kPackedSuffix) || file_is_packed(first)) return PACKED_UNPACK;
        }
    }
    return cl.pack ? PACKED_PACK : PACKED_NONE;
}

int run_pack_command(const CommandLine& cl, PackedMode mode, std::FILE* err, std::FILE* out) {
    if (check_command_line(cl, mode, err) != 0) return 1;
    PackCommandContext ctx{cl, mode, err, out, isatty(STDERR_FILENO) != 0, aaz_options{}, Batch{}};
    aaz_options_init(&ctx.options);
    ctx.options.family_stats = cl.pack_stats ? 1 : 0;
    ctx.options.threads = cl.threads;  // 0: the library's choice
    ctx.options.refuse_packed = mode == PACKED_PACK && !cl.force ? 1 : 0;
    const std::vector<BatchEntry> entries = list_entries(cl.operands.empty() ? std::vector<std::string>{"-"} : cl.operands,
                                                         cl.recursive);
    if (cl.has_outfile && entries.size() > 1) {
        std::fprintf(err, "%s: -o names one output, but the folders given hold %zu files\n",
                     cl.options.program_name.c_str(), entries.size());
        return 1;
    }
    Batch& b = ctx.batch;
    b.files = entries.size();
    for (const BatchEntry& e : entries) b.bytes += e.size;
    const auto start = std::chrono::steady_clock::now();
    for (const BatchEntry& e : entries) {
        ++b.index;
        const FileResult r = run_entry(ctx, e);
        b.done += r == FILE_DONE ? 1 : 0;
        b.failed += r == FILE_FAILED ? 1 : 0;
        b.bytes_done += e.size;
    }
    if (b.files > 1 && !cl.quiet)
        print_summary(ctx, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::size_t skips = 0;
    for (std::size_t n : b.skipped) skips += n;
    return b.failed > 0 ? 1 : skips > 0 ? 2 : 0;
}
