// Packing and unpacking of named files: output names, the refusal to replace anything that
// exists or to write over an input, the progress display, and the line of each file.
#include "frontend/pack_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "pack/pack_file.h"
#include "streams/output_file.h"

namespace {

constexpr char kPackedSuffix[] = ".aaz";
constexpr std::size_t kPackedSuffixLength = sizeof kPackedSuffix - 1;
// Options of the data-block directions that mean nothing for an exact copy.
constexpr char kLossyOptions[] = "lhstmv";

struct PackCommandContext {
    const CommandLine& cl;
    std::FILE* err;
    bool unpack;
    bool show_progress;  // standard error is a terminal
    PackSettings settings;
};

struct Progress {
    std::FILE* err = nullptr;
    const std::string* name = nullptr;
    std::uint64_t total = 0;  // input size when known, else 0
    int last = -1;
    bool shown = false;
};

bool ends_with_suffix(const std::string& name) {
    return name.size() > kPackedSuffixLength &&
           name.compare(name.size() - kPackedSuffixLength, kPackedSuffixLength, kPackedSuffix) == 0;
}

std::string output_name_for(const PackCommandContext& ctx, const std::string& input) {
    if (ctx.cl.has_outfile) return ctx.cl.outfile;
    if (input == "-") return "-";
    if (!ctx.unpack) return input + kPackedSuffix;
    return ends_with_suffix(input) ? input.substr(0, input.size() - kPackedSuffixLength) : input + ".out";
}

std::string with_thousands(std::uint64_t v) {
    std::string digits = std::to_string(v);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
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

void show_progress(void* self, std::uint64_t bytes_in) {
    Progress& p = *static_cast<Progress*>(self);
    if (p.total > 0) {
        const int percent = static_cast<int>(bytes_in * 100 / p.total);
        if (percent == p.last) return;
        p.last = percent;
        std::fprintf(p.err, "\r%s: %d%%", p.name->c_str(), percent);
    } else {
        std::fprintf(p.err, "\r%s: %s bytes", p.name->c_str(), with_thousands(bytes_in).c_str());
    }
    std::fflush(p.err);
    p.shown = true;
}

void clear_progress(Progress& p) {
    if (!p.shown) return;
    std::fprintf(p.err, "\r%*s\r", static_cast<int>(p.name->size() + 30), "");
    p.shown = false;
}

void print_stats(std::FILE* err, const PackReport& r) {
    static constexpr const char* kFamilyNames[FAMILY_COUNT] = {"adts",         "structure",  "ics_info", "sections",
                                                               "scalefactors", "magnitudes", "signs",    "escapes",
                                                               "tools",        "fill",       "raw"};
    std::fprintf(err, "  chunks: %" PRIu64 " model, %" PRIu64 " zstd, %" PRIu64 " stored\n",
                 r.chunks_by_method[METHOD_MODEL], r.chunks_by_method[METHOD_ZSTD], r.chunks_by_method[METHOD_STORED]);
    for (int m = 0; m < METHOD_COUNT; ++m) {
        static constexpr const char* kMethodNames[METHOD_COUNT] = {"stored", "zstd", "model"};
        if (r.chunks_by_method[m] == 0) continue;
        std::fprintf(err, "  %-6s %s -> %s bytes\n", kMethodNames[m], with_thousands(r.original_by_method[m]).c_str(),
                     with_thousands(r.packed_by_method[m]).c_str());
    }
    std::fprintf(err, "  frames: %" PRIu64 " (%" PRIu64 " modelled, %" PRIu64 " raw); other bytes: %" PRIu64 "\n",
                 r.frames, r.stats.frames_modelled, r.stats.frames_raw, r.stats.other_bytes);
    std::uint64_t total = 0;
    for (std::uint64_t b : r.stats.bits) total += b;
    if (total == 0) return;
    for (int f = 0; f < FAMILY_COUNT; ++f) {
        const std::uint64_t b = r.stats.bits[f];
        std::fprintf(err, "  %-13s %14s bits %6.2f%%", kFamilyNames[f], with_thousands(b).c_str(),
                     100.0 * static_cast<double>(b) / static_cast<double>(total));
        if (r.stats.frames_modelled > 0)
            std::fprintf(err, " %10.1f bits/frame",
                         static_cast<double>(b) / static_cast<double>(r.stats.frames_modelled));
        std::fputc('\n', err);
    }
}

int write_to_output(void* self, const std::uint8_t* data, std::size_t n) {
    return write_output(*static_cast<OutputFile*>(self), data, n);
}

// One file, start to end. Returns 0 when it was packed and verified, or unpacked and checked.
int run_one(PackCommandContext& ctx, const std::string& name) {
    std::FILE* err = ctx.err;
    const bool from_stdin = name == "-";
    const std::string shown = from_stdin ? "(standard input)" : name;
    const std::string out_name = output_name_for(ctx, name);

    const int fd = from_stdin ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(err, "%s: cannot open: %s\n", shown.c_str(), std::strerror(errno));
        return 1;
    }
    struct FdCloser {
        int fd;
        bool owned;
        ~FdCloser() {
            if (owned) close(fd);
        }
    } closer{fd, !from_stdin};

    struct stat st;
    if (fstat(fd, &st) != 0) {
        std::fprintf(err, "%s: cannot read: %s\n", shown.c_str(), std::strerror(errno));
        return 1;
    }
    if (S_ISDIR(st.st_mode)) {
        std::fprintf(err, "%s: is a directory\n", shown.c_str());
        return 1;
    }
    if (out_name != "-" && !from_stdin && same_file(name, out_name)) {
        std::fprintf(err, "%s: the output %s would replace the input; nothing done\n", shown.c_str(), out_name.c_str());
        return 1;
    }
    if (out_name == "-" && !ctx.unpack && isatty(STDOUT_FILENO)) {
        std::fprintf(err, "%s: packed data is not written to a terminal (use -o FILE)\n", shown.c_str());
        return 1;
    }

    OutputFile out;
    // A named file's output takes its permissions, times and, where allowed, owner; a
    // stream's has nothing to take.
    const bool keep_metadata = !from_stdin && S_ISREG(st.st_mode);
    if (int e = open_output(out, out_name, ctx.cl.force, keep_metadata ? &st : nullptr); e != 0) {
        if (e == EEXIST) {
            std::fprintf(err, "%s: %s already exists (use -f to replace it)\n", shown.c_str(), out_name.c_str());
        } else {
            std::fprintf(err, "%s: cannot create %s: %s\n", shown.c_str(), out_name.c_str(), std::strerror(e));
        }
        return 1;
    }

    Progress progress{err, &shown, S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0};
    PackSettings settings = ctx.settings;
    settings.input_size = progress.total;
    if (ctx.show_progress) {
        settings.progress = show_progress;
        settings.progress_self = &progress;
    }
    FdSource fd_in{fd};
    const ByteSource source = fd_source(fd_in);
    const ByteSink sink{&out, write_to_output};
    PackReport report;
    const int status =
        ctx.unpack ? unpack_stream(source, sink, settings, report) : pack_stream(source, sink, settings, report);
    clear_progress(progress);

    if (status != PACK_OK) {
        discard_output(out);
        std::string message = report.message;
        // A name that promises a packed file but lacks its magic number is not read as
        // anything else.
        if (status == PACK_NOT_PACKED && ends_with_suffix(name))
            message = "file is damaged (no packed-file magic number)";
        std::fprintf(err, "%s: %s%s\n", shown.c_str(), message.c_str(), out.in_place ? "" : "; no output was kept");
        return 1;
    }
    if (int e = commit_output(out); e != 0) {
        if (e == EEXIST && !ctx.cl.force)
            std::fprintf(err, "%s: %s appeared while it was being written; not replaced (use -f to replace it)\n",
                         shown.c_str(), out_name.c_str());
        else
            std::fprintf(err, "%s: cannot write %s: %s\n", shown.c_str(), out_name.c_str(), std::strerror(e));
        return 1;
    }

    const std::uint64_t from = ctx.unpack ? report.packed_bytes : report.original_bytes;
    const std::uint64_t to = ctx.unpack ? report.original_bytes : report.packed_bytes;
    std::string what;
    if (!ctx.unpack && report.frames == 0 && report.original_bytes > 0)
        what = report.chunks_by_method[METHOD_ZSTD] > 0 ? "not AAC, stored with zstd: " : "not AAC, stored as is: ";
    std::fprintf(err, "%s: %s%s -> %s bytes%s\n", shown.c_str(), what.c_str(), with_thousands(from).c_str(),
                 with_thousands(to).c_str(), ctx.unpack ? "" : saving_text(from, to).c_str());
    if (ctx.cl.pack_stats) print_stats(err, report);
    return 0;
}

}  // namespace

bool is_pack_command(const CommandLine& cl) {
    if (cl.pack) return true;
    if (cl.options.compress != 0 || cl.operands.empty()) return false;
    const std::string& first = cl.operands[0];
    if (first == "-" || ends_with_suffix(first)) return true;
    // A pipe, a FIFO or a device would lose what is read here. Such a stream is never a
    // data-block container (read by seeking), so it goes to the packed form unread.
    struct stat st;
    if (stat(first.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return true;
    const int fd = open(first.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::uint8_t head[sizeof kPackMagic];
    const ssize_t got = read(fd, head, sizeof head);
    close(fd);
    return got > 0 && has_pack_magic(head, static_cast<std::size_t>(got));
}

int run_pack_command(const CommandLine& cl, std::FILE* err) {
    const char* program = cl.options.program_name.c_str();
    const bool unpack = !cl.pack;
    for (char c : cl.given) {
        if (std::strchr(kLossyOptions, c) != nullptr) {
            std::fprintf(err, "%s: -%c cannot be used with %s: the packed form is an exact copy\n", program, c,
                         unpack ? "-d of a packed file" : "-p");
            return 1;
        }
    }
    if (cl.operands.empty()) {
        std::fprintf(err, "%s: %s needs at least one file (- for standard input)\n", program, unpack ? "-d" : "-p");
        return 1;
    }
    if (cl.has_outfile && cl.operands.size() > 1) {
        std::fprintf(err, "%s: -o names one output, but %zu files were given\n", program, cl.operands.size());
        return 1;
    }
    install_output_cleanup();
    PackCommandContext ctx{cl, err, unpack, isatty(STDERR_FILENO) != 0, PackSettings{}};
    ctx.settings.stats_by_family = cl.pack_stats;
    int status = 0;
    for (const std::string& name : cl.operands) {
        if (run_one(ctx, name) != 0) status = 1;
    }
    return status;
}
