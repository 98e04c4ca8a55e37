// Sources and sinks of bytes for the packed form's driver.
#include "pack/io/byte_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// An unnamed file in folder dir, or -errno.
int open_unnamed_in(const std::string& dir) {
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string name = dir + "/aaczavrok-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -errno;
    unlink(name.c_str());
    return fd;
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
    std::vector<std::uint8_t>& v = *static_cast<std::vector<std::uint8_t>*>(self);
    v.insert(v.end(), data, data + n);
    return 0;
}

}  // namespace

long long read_some(const ByteSource& in, std::uint8_t* buf, std::size_t n) {
    const long long r = in.read(in.self, buf, n);
    return r > 0 && static_cast<unsigned long long>(r) > n ? kReadTooLong : r;
}

long long read_some_at(const RandomReader& in, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const long long r = in.read_at(in.self, offset, buf, n);
    return r > 0 && static_cast<unsigned long long>(r) > n ? kReadTooLong : r;
}

long long read_full(const ByteSource& in, std::uint8_t* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const long long r = read_some(in, buf + got, n - got);
        if (r < 0) return r;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
}

int read_errno(long long r) { return r == kReadTooLong ? 0 : static_cast<int>(-r); }

std::string read_failure(long long r) {
    if (r == kReadTooLong) return "cannot read the input: the read callback returned more bytes than it was asked for";
    return std::string("cannot read the input: ") + std::strerror(read_errno(r));
}

ByteSource memory_source(MemorySource& s) { return ByteSource{&s, read_memory}; }
ByteSink vector_sink(std::vector<std::uint8_t>& v) { return ByteSink{&v, write_vector}; }

long long read_memory_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const MemorySource& m = *static_cast<const MemorySource*>(self);
    if (offset >= m.size) return 0;
    const std::size_t take = n < m.size - offset ? n : static_cast<std::size_t>(m.size - offset);
    if (take > 0) std::memcpy(buf, m.data + offset, take);
    return static_cast<long long>(take);
}

long long read_fd_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const int fd = *static_cast<const int*>(self);
    for (;;) {
        const ssize_t r = pread(fd, buf, n, static_cast<off_t>(offset));
        if (r >= 0) return r;
        if (errno != EINTR) return -static_cast<long long>(errno);
    }
}

int write_all_fd(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w < 0 ? errno : EIO;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

int open_unnamed_temporary() {
    // A TMPDIR that names a folder no file can be made in (missing, read-only, full) is passed
    // over for /tmp, as other tools do, rather than failing a run that only needs scratch space.
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0') {
        const int fd = open_unnamed_in(dir);
        if (fd >= 0 || std::strcmp(dir, "/tmp") == 0) return fd;
    }
    return open_unnamed_in("/tmp");
}
