// Most-significant-bit-first reading, the one family both directions use: the frame reader
// of the splitter (BitReader) and the windowed stream reader of the rebuild share the word
// load and the rule for reading past the end.
//
// The rule past the end: every bit at or beyond the end of the data reads as zero, and every
// read and skip still moves the position by its width (one bit at a time or thirty-two at a
// time, alike), so the position always says how far the syntax went. "Exhausted" means the
// position has reached the end, "overrun" that it went beyond; callers test them at natural
// checkpoints, not per field. The frame reader's end lies on a 32-bit word boundary (see
// init_reader); the stream reader's on the last byte of its stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Eight bytes at p as one number, first byte most significant, whatever the host's order.
inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&v, p, sizeof v);
    v = __builtin_bswap64(v);
#else
    for (int j = 0; j < 8; ++j) v = (v << 8) | p[j];
#endif
    return v;
}

// The n bits (0..32) that start `bit` bits (0..7) into the eight bytes at p.
inline std::uint32_t bits_at(const std::uint8_t* p, unsigned bit, unsigned n) {
    // A shift by 64 is undefined, so a width of 0 takes its own path.
    return n == 0 ? 0 : static_cast<std::uint32_t>((load_be64(p) << bit) >> (64 - n));
}

// Zero bytes every reader's data is followed by. The position stops kReaderSlackBits past the
// end (which is up to three bytes past the data), so a load of eight bytes from it still lies
// inside the tail.
constexpr std::size_t kReaderTail = 20;
constexpr std::uint32_t kReaderSlackBits = 64;
static_assert(3 + kReaderSlackBits / 8 + 8 <= kReaderTail, "a load past the end would leave the tail");

// Bytes followed by a zero tail of kReaderTail bytes: what a BitReader reads in place. The
// storage only grows, so one PaddedBytes reused for every frame allocates once per run.
class PaddedBytes {
public:
    void assign(const std::uint8_t* first, const std::uint8_t* last) {
        const auto n = static_cast<std::size_t>(last - first);
        if (storage_.size() < n + kReaderTail) storage_.resize(n + kReaderTail);
        if (n != 0) std::memcpy(storage_.data(), first, n);
        std::memset(storage_.data() + n, 0, kReaderTail);
        size_ = n;
    }
    const std::uint8_t* data() const { return storage_.empty() ? nullptr : storage_.data(); }
    std::size_t size() const { return size_; }

private:
    std::vector<std::uint8_t> storage_;
    std::size_t size_ = 0;
};

struct BitReader {
    const std::uint8_t* data = nullptr;  // size bytes, then at least kReaderTail zero bytes
    std::uint32_t size = 0;              // data bytes
    std::uint32_t end = 0;               // bits of the data rounded up to whole 32-bit words
    std::uint32_t position = 0;          // bits consumed, at most end + kReaderSlackBits
};

// Largest data a reader takes: its positions, slack included, fit 32 bits.
constexpr std::size_t kReaderMaxBytes = (0xFFFFFFFFu - kReaderSlackBits) / 8 - 4;

// Starts reading data[0..size) in place at its first bit; the kReaderTail bytes after the
// data must be zeros (as a PaddedBytes keeps them). size must be 1..kReaderMaxBytes.
void init_reader(BitReader& br, const std::uint8_t* data, std::size_t size);
// Starts reading the bytes in place at their first bit. Larger data than kReaderMaxBytes, or
// none, gives an empty reader whose every read overruns.
void init_reader(BitReader& br, const PaddedBytes& bytes);
// The same over a copy of bytes[0..size) in `storage`, for callers whose bytes have no tail.
void init_reader(BitReader& br, PaddedBytes& storage, const std::uint8_t* bytes, std::size_t size);

inline bool reader_exhausted(const BitReader& br) { return br.position >= br.end; }
inline bool reader_overrun(const BitReader& br) { return br.position > br.end; }

// The next n bits (0..32) without consuming them.
inline std::uint32_t show_bits(const BitReader& br, unsigned n) {
    return bits_at(br.data + br.position / 8, br.position % 8, n);
}

// Consumes n bits, any number of them.
inline void skip_bits(BitReader& br, std::uint32_t n) {
    const std::uint64_t to = std::uint64_t{br.position} + n;
    const std::uint64_t limit = std::uint64_t{br.end} + kReaderSlackBits;
    br.position = static_cast<std::uint32_t>(to < limit ? to : limit);
}

inline std::uint32_t get_bits(BitReader& br, unsigned n) {
    const std::uint32_t v = show_bits(br, n);
    skip_bits(br, n);
    return v;
}

inline unsigned get_bit(BitReader& br) { return get_bits(br, 1); }

// Skips to the next byte boundary, counted from the first byte of the data.
inline void byte_align(BitReader& br) {
    if (br.position % 8 != 0) skip_bits(br, 8 - br.position % 8);
}

inline std::uint32_t processed_bits(const BitReader& br) { return br.position; }

// Moves the reader to bit `position`, at most its end and slack (end + kReaderSlackBits).
inline void reader_seek(BitReader& br, std::uint32_t position) { br.position = position; }

// The 64 - position % 8 bits (at least 57) from bit `position` on, first bit most
// significant, then zeros; the 8 bytes from position / 8 must lie inside the data and its
// zero tail.
inline std::uint64_t peek57_at(const BitReader& br, std::uint32_t position) {
    return load_be64(br.data + position / 8) << (position % 8);
}
