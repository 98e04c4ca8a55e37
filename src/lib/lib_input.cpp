// The one reading of an input's start for packing: its first bytes read ahead and then handed
// back before the rest, and an input that must be read whole kept (in memory up to
// kSpoolMemory, then in an unnamed temporary file) so that it can be read at offsets.
#include "lib/lib_input.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/lib_run.h"
#include "pack/container/unit_map.h"
#include "pack/format/pack_format.h"

namespace {

static_assert(AAZ_PROBE_SIZE == kUnitMapHead && AAZ_MAGIC_SIZE == sizeof kPackMagic,
              "the header's sizes are the packed form's");

// How much of an input kept whole stays in memory before all of it moves to a temporary file.
// It counts in the 64 MiB a run keeps within (lib_run.cpp): the pipeline of the default two
// threads takes about 35 MiB on music, and a container whose index is large enough to take
// more is longer than this, so it is in a file by the time it is mapped.
constexpr std::size_t kSpoolMemory = 4u << 20;
constexpr std::size_t kSpoolPiece = 1u << 20;

// The first bytes read ahead, then the rest of the input as it comes.
struct HeadThenRest {
    const std::uint8_t* head = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    const ByteSource* rest = nullptr;
};

long long read_head_then_rest(void* self, std::uint8_t* buf, std::size_t n) {
    HeadThenRest& h = *static_cast<HeadThenRest*>(self);
    if (h.pos == h.size) return read_some(*h.rest, buf, n);
    const std::size_t take = std::min(n, h.size - h.pos);
    std::memcpy(buf, h.head + h.pos, take);
    h.pos += take;
    return static_cast<long long>(take);
}

// An input kept whole: in memory while it is short, else all of it in a temporary file.
struct Spool {
    std::vector<std::uint8_t> memory;
    int fd = -1;
    std::uint64_t size = 0;
    std::uint64_t pos = 0;  // of the sequential read
    ~Spool() {
        if (fd >= 0) close(fd);
    }
};

// Adds bytes to the spool; returns 0 or an errno value.
int spool_add(Spool& sp, const std::uint8_t* data, std::size_t n) {
    if (sp.fd < 0 && sp.memory.size() + n > kSpoolMemory) {
        sp.fd = open_unnamed_temporary();
        if (sp.fd < 0) return -sp.fd;
        if (int e = write_all_fd(sp.fd, sp.memory.data(), sp.memory.size()); e != 0) return e;
        std::vector<std::uint8_t>().swap(sp.memory);
    }
    sp.size += n;
    if (sp.fd >= 0) return write_all_fd(sp.fd, data, n);
    // Room for all the memory part at once: growing by doubling would hold two copies.
    if (sp.memory.capacity() < kSpoolMemory) sp.memory.reserve(kSpoolMemory);
    sp.memory.insert(sp.memory.end(), data, data + n);
    return 0;
}

long long read_spool_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const Spool& sp = *static_cast<const Spool*>(self);
    if (offset >= sp.size) return 0;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, sp.size - offset));
    if (sp.fd < 0) {
        std::memcpy(buf, sp.memory.data() + offset, take);
        return static_cast<long long>(take);
    }
    int fd = sp.fd;
    return read_fd_at(&fd, offset, buf, take);
}

long long read_spool(void* self, std::uint8_t* buf, std::size_t n) {
    Spool& sp = *static_cast<Spool*>(self);
    const long long r = read_spool_at(self, sp.pos, buf, n);
    if (r > 0) sp.pos += static_cast<std::uint64_t>(r);
    return r;
}

// Reads the rest of the input into the spool. Returns an aaz_result, with report saying why.
int keep_whole(const ByteSource& in, Spool& spool, PackReport& report) {
    std::vector<std::uint8_t> piece(kSpoolPiece);
    for (;;) {
        const long long r = read_some(in, piece.data(), piece.size());
        if (r == 0) return AAZ_OK;
        if (r < 0) {
            report.error = read_errno(r);
            report.message = read_failure(r);
            return AAZ_READ_FAILED;
        }
        if (int e = spool_add(spool, piece.data(), static_cast<std::size_t>(r)); e != 0) {
            report.error = e;
            report.message = std::string("cannot keep the stream in a temporary file: ") + std::strerror(e);
            return AAZ_NO_MEMORY;
        }
    }
}

}  // namespace

bool needs_whole_input(const std::uint8_t* head, std::size_t n, std::uint64_t size) {
    return size != 0 ? may_hold_units(head, n, size) : starts_like_container_or_adif(head, n);
}

int run_pack(PackSettings settings, bool refuse_packed, const ByteSource& in, const RandomReader* whole,
             const ByteSink& out, aaz_info* info) {
    PackReport report;
    const auto done = [&](int result) {
        fill_info(report, report.units.c_str(), info);
        return result;
    };
    // No more is read ahead than the decisions need: given a length, whether the input starts
    // like ADTS; else its magic number, or whether it starts like a container. The output of
    // a pipe is then begun as soon as its first bytes have come.
    const bool probe_all = whole == nullptr && settings.input_size != 0;
    std::vector<std::uint8_t> head(probe_all ? kUnitMapHead : std::max(kContainerStartBytes, sizeof kPackMagic));
    const long long got = read_full(in, head.data(), head.size());
    if (got < 0) {
        report.error = read_errno(got);
        report.message = read_failure(got);
        return done(AAZ_READ_FAILED);
    }
    const std::size_t n = static_cast<std::size_t>(got);
    if (refuse_packed && has_pack_magic(head.data(), n)) {
        report.message = aaz_strerror(AAZ_ALREADY_PACKED);
        return done(AAZ_ALREADY_PACKED);
    }
    HeadThenRest start{head.data(), n, 0, &in};
    const ByteSource from_start{&start, read_head_then_rest};
    if (whole != nullptr || !needs_whole_input(head.data(), n, settings.input_size))
        return done(result_of(pack_input(from_start, whole, out, settings, report)));
    Spool spool;
    if (int r = keep_whole(from_start, spool, report); r != AAZ_OK) return done(r);
    std::vector<std::uint8_t>().swap(head);  // the spool holds it now
    settings.input_size = spool.size;
    const RandomReader at{&spool, read_spool_at, spool.size};
    return done(result_of(pack_input(ByteSource{&spool, read_spool}, &at, out, settings, report)));
}
