// Where the packed form's driver reads and writes: a source and a sink of bytes, over a file
// descriptor or over memory. Neither needs to be seekable or of known size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads up to n bytes; returns the count, 0 at the end of the input, or -errno.
struct ByteSource {
    void* self = nullptr;
    long long (*read)(void* self, std::uint8_t* buf, std::size_t n) = nullptr;
};

// Random access over an input of known length: read_at returns the count read (short only
// at the end), or -errno.
struct RandomReader {
    void* self = nullptr;
    long long (*read_at)(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) = nullptr;
    std::uint64_t size = 0;  // the input's length
};

// Writes all n bytes; returns 0 or an errno value.
struct ByteSink {
    void* self = nullptr;
    int (*write)(void* self, const std::uint8_t* data, std::size_t n) = nullptr;
};

// What a checked read gives back when its source returned more bytes than it was asked for:
// such a source is broken (it may have written past the buffer already), and a count past the
// buffer must never move a position, so the run stops as at a failed read. Below every -errno.
constexpr long long kReadTooLong = -(1LL << 40);

// One read, checked: the count (at most n), 0 at the end of the input, -errno or kReadTooLong.
long long read_some(const ByteSource& in, std::uint8_t* buf, std::size_t n);
long long read_some_at(const RandomReader& in, std::uint64_t offset, std::uint8_t* buf, std::size_t n);
// Reads until n bytes are in or the input ends; returns the count, -errno or kReadTooLong.
long long read_full(const ByteSource& in, std::uint8_t* buf, std::size_t n);
// A failed read's (-errno or kReadTooLong) errno (0 for kReadTooLong) and what it says:
// "cannot read the input: " and the reason.
int read_errno(long long r);
std::string read_failure(long long r);

struct MemorySource {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
};
ByteSource memory_source(MemorySource& s);

ByteSink vector_sink(std::vector<std::uint8_t>& v);

// Reads of an input at offsets (a RandomReader's read_at) from memory (self: a MemorySource,
// whose pos they leave alone) and from a descriptor (self: an int, read with pread, so that
// its own position stays where it was). Each returns the count, 0 past the end, or -errno.
long long read_memory_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n);
long long read_fd_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n);

// Writes all n bytes to fd; 0 or an errno value.
int write_all_fd(int fd, const std::uint8_t* data, std::size_t n);
// An unnamed temporary file for reading and writing, in TMPDIR, else (or when no file can be
// made there) in /tmp: a named one removed at once where the file system has no unnamed files.
// The descriptor, or -errno.
int open_unnamed_temporary();
