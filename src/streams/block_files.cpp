// Data-block file names, creation order and the values-block layout of the container.
#include "streams/block_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

const char* const kCsvSuffix[kListCount] = {"_ADTS.csv", "_FAACStr.csv", "_STC.csv", "_GG.csv", "_ICSI.csv",
                                            "_SBN.csv",  "_SCF.csv",     "_TNS.csv", "_QMDCT_0.csv", "_QMDCT_1.csv"};
const char* const kBinSuffix[kStreamCount] = {"_ADTS.bin", "_FAACStr.bin", "_STC.bin", "_GG.bin",  "_ICSI.bin",
                                              "_SBN.bin",  "_SCF.bin",     "_TNS.bin", "_QMDCT.bin"};

std::string strip_extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::vector<std::string> block_file_names(int block_files, const std::string& input_name) {
    const std::string base = strip_extension(input_name);
    std::vector<std::string> names;
    if (!block_files) {
        names.push_back(base + ".swp");
        return names;
    }
    for (const char* suffix : kCsvSuffix) names.push_back(base + suffix);
    for (const char* suffix : kBinSuffix) names.push_back(base + suffix);
    return names;
}

std::vector<OutputFile*> block_outputs(StreamSet& set) {
    std::vector<OutputFile*> files;
    if (!set.block_files) {
        files.push_back(&set.container);
        return files;
    }
    for (CsvOut& out : set.csv) files.push_back(&out.file);
    for (OutputFile& f : set.bin) files.push_back(&f);
    return files;
}

int create_block_files(StreamSet& set, const std::string& input_name, std::FILE* err) {
    const std::vector<std::string> names = block_file_names(set.block_files, input_name);
    const std::vector<OutputFile*> files = block_outputs(set);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (const int e = open_output(*files[i], names[i], true); e != 0) {
            std::fprintf(err, "Error: couldn't create %s: %s\n", names[i].c_str(), std::strerror(e));
            return 1;
        }
    }
    return 0;
}

void discard_block_files(StreamSet& set) {
    for (OutputFile* f : block_outputs(set)) discard_output(*f);
}

int container_begin(ContainerWriter& w, OutputFile& file, bool try_direct) {
    w = ContainerWriter{};
    if (file.fd < 0) return 1;
    void* buffer = nullptr;
    if (posix_memalign(&buffer, 4096, kContainerPiece) != 0) return 1;
    w.buffer = static_cast<unsigned char*>(buffer);
    w.file = &file;
    w.fd = file.fd;
    w.plain_flags = fcntl(w.fd, F_GETFL);
#if defined(O_DIRECT)
    // Direct writes need the file offset on a block boundary; every whole piece keeps it there.
    // A device or a pipe is written as it comes.
    if (try_direct && !file.in_place && w.plain_flags != -1 && lseek(w.fd, 0, SEEK_CUR) % 4096 == 0)
        w.direct = fcntl(w.fd, F_SETFL, w.plain_flags | O_DIRECT) == 0;
#else
    static_cast<void>(try_direct);
#endif
    return 0;
}

static void leave_direct(ContainerWriter& w) {
    if (!w.direct) return;
    fcntl(w.fd, F_SETFL, w.plain_flags);
    w.direct = false;
}

static void write_piece(ContainerWriter& w, const unsigned char* p, std::size_t n) {
    if (w.file->error != 0) w.failed = true;
    while (n > 0 && !w.failed) {
        const ssize_t put = ::write(w.fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EINVAL && w.direct) {
            // A file system that takes the flag but not the write: go on the ordinary way.
            leave_direct(w);
            continue;
        }
        if (put <= 0) {
            w.failed = true;
            w.file->error = put < 0 ? errno : EIO;
            return;
        }
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

static void container_put(ContainerWriter& w, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (n > 0) {
        const std::size_t k = std::min(n, kContainerPiece - w.used);
        std::memcpy(w.buffer + w.used, p, k);
        w.used += k;
        p += k;
        n -= k;
        if (w.used == kContainerPiece) {
            write_piece(w, w.buffer, kContainerPiece);
            w.used = 0;
        }
    }
}

void write_values_block(ContainerWriter& w, const ValueList& list) {
    if (w.buffer == nullptr) return;
    const auto count = static_cast<std::uint32_t>(list.count);
    const unsigned char head[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                                   static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
    container_put(w, head, 4);
    // The values are widened straight into the piece buffer, a piece's room at a time (the
    // buffer only ever holds whole 4-byte fields, so the room is a whole number of values).
    std::size_t done = 0;
    std::size_t wide_next = 0;
    while (done < count) {
        const std::size_t n = std::min<std::size_t>(count - done, (kContainerPiece - w.used) / 4);
        auto* out = reinterpret_cast<std::int32_t*>(w.buffer + w.used);
        valuelist_read(list, done, n, out, wide_next);
#if !(defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = static_cast<std::uint32_t>(out[i]);
            unsigned char* b = w.buffer + w.used + 4 * i;
            b[0] = static_cast<unsigned char>(v);
            b[1] = static_cast<unsigned char>(v >> 8);
            b[2] = static_cast<unsigned char>(v >> 16);
            b[3] = static_cast<unsigned char>(v >> 24);
        }
#endif
        w.used += 4 * n;
        done += n;
        if (w.used == kContainerPiece) {
            write_piece(w, w.buffer, kContainerPiece);
            w.used = 0;
        }
    }
}

int container_end(ContainerWriter& w) {
    if (w.buffer == nullptr) return 1;
    // The last piece is not a whole number of blocks.
    leave_direct(w);
    write_piece(w, w.buffer, w.used);
    std::free(w.buffer);
    w.buffer = nullptr;
    w.used = 0;
    return w.failed ? 1 : 0;
}
