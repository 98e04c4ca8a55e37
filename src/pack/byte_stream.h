// Where the packed form's driver reads and writes: a source and a sink of bytes, over a file
// descriptor or over memory. Neither needs to be seekable or of known size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads up to n bytes; returns the count, 0 at the end of the input, or -errno.
struct ByteSource {
    void* self = nullptr;
    long long (*read)(void* self, std::uint8_t* buf, std::size_t n) = nullptr;
};

// Writes all n bytes; returns 0 or an errno value.
struct ByteSink {
    void* self = nullptr;
    int (*write)(void* self, const std::uint8_t* data, std::size_t n) = nullptr;
};

// Reads until n bytes are in or the input ends; returns the count or -errno.
long long read_full(const ByteSource& in, std::uint8_t* buf, std::size_t n);

struct FdSource {
    int fd = -1;
};
ByteSource fd_source(FdSource& s);

struct MemorySource {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
};
ByteSource memory_source(MemorySource& s);

ByteSink vector_sink(std::vector<std::uint8_t>& v);
