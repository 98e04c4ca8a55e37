// Sources and sinks of bytes for the packed form's driver.
#include "pack/byte_stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    std::vector<std::uint8_t>& v = *static_cast<std::vector<std::uint8_t>*>(self);
    v.insert(v.end(), data, data + n);
    return 0;
}

}  // namespace

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

ByteSource fd_source(FdSource& s) { return ByteSource{&s, read_fd}; }
ByteSource memory_source(MemorySource& s) { return ByteSource{&s, read_memory}; }
ByteSink vector_sink(std::vector<std::uint8_t>& v) { return ByteSink{&v, write_vector}; }
