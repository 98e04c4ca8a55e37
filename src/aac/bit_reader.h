// Most-significant-bit-first reader over one frame. It reads from its own copy of the
// frame, followed by a zero tail, so look-ahead never leaves the allocation; past the end
// it serves zeros and raises `exhausted`/`overrun` for the syntax routines to test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

struct BitReader {
    std::uint32_t current_word = 0;    // bits are taken from its most significant end
    std::uint32_t next_word = 0;
    std::uint32_t bits_remaining = 0;  // unread low bits of current_word
    std::uint32_t size = 0;            // data bytes in the copy
    std::uint32_t bytes_consumed = 0;  // 4 x words moved out of current_word
    std::uint32_t next_load = 0;       // byte offset of the next word to load into next_word
    std::uint8_t exhausted = 0;        // current_word starts at the end of the data: multi-bit reads give 0
    std::uint8_t overrun = 0;          // current_word lies beyond the data: skips stop moving
    const std::uint8_t* data = nullptr;  // size + kReaderTail bytes, zero after the data
};

// Zero bytes after the data: the two look-ahead words and one further load stay inside.
constexpr std::size_t kReaderTail = 12;

// Copies bytes[0..size) into `storage` (grown only when a larger frame comes, so a run
// reuses one buffer) and starts reading at its first bit. A size of 0, an absent buffer
// or a size beyond 32 bits leaves an empty reader with both flags set.
void init_reader(BitReader& br, std::vector<std::uint8_t>& storage, const std::uint8_t* bytes, std::size_t size);

inline std::uint32_t load_word(const BitReader& br, std::uint32_t offset) {
    const std::uint8_t* p = br.data + offset;
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The next n bits (0..32) without consuming them.
inline std::uint32_t show_bits(const BitReader& br, unsigned n) {
    if (n == 0) return 0;
    // Two words side by side in 64 bits: a full 32-bit look-ahead straddling them cannot
    // be formed with 32-bit shifts, which are undefined at a count of 32.
    const std::uint64_t low_mask = br.bits_remaining >= 32 ? 0xFFFFFFFFull : ((1ull << br.bits_remaining) - 1);
    const std::uint64_t window = ((br.current_word & low_mask) << 32) | br.next_word;
    return static_cast<std::uint32_t>(window >> (32 + br.bits_remaining - n));
}

// Consumes n bits, n at most 32.
inline void skip_bits(BitReader& br, unsigned n) {
    if (br.overrun) return;
    if (n < br.bits_remaining) {
        br.bits_remaining -= n;
        return;
    }
    br.current_word = br.next_word;
    if (!br.exhausted) {
        br.next_word = load_word(br, br.next_load);
        br.next_load += 4;
    } else {
        br.next_word = 0;
    }
    br.bits_remaining += 32 - n;
    br.bytes_consumed += 4;
    if (br.bytes_consumed == br.size) br.exhausted = 1;
    if (br.bytes_consumed > br.size) br.overrun = 1;
}

// Consumes any number of bits, 32 at a time.
inline void skip_bits_long(BitReader& br, std::uint32_t n) {
    while (n > 32 && !br.overrun) {
        skip_bits(br, 32);
        n -= 32;
    }
    if (n <= 32) skip_bits(br, n);
}

inline std::uint32_t get_bits(BitReader& br, unsigned n) {
    if (br.exhausted || n == 0) return 0;
    const std::uint32_t v = show_bits(br, n);
    skip_bits(br, n);
    return v;
}

// One bit; unlike get_bits it still yields the (zero) bits of current_word once exhausted.
inline unsigned get_bit(BitReader& br) {
    if (br.bits_remaining > 0) {
        --br.bits_remaining;
        return (br.current_word >> br.bits_remaining) & 1u;
    }
    return get_bits(br, 1);
}

// Skips to the next byte boundary, counted from the first byte of the frame.
inline void byte_align(BitReader& br) {
    const unsigned r = (32 - br.bits_remaining) % 8;
    if (r != 0) skip_bits(br, 8 - r);
}

inline std::uint32_t processed_bits(const BitReader& br) { return 8 * br.next_load - 32 - br.bits_remaining; }

// Moves the reader forward to bit `position`, which must leave at least 8 bytes of data
// ahead of its word (so neither flag can have been raised on the way there).
inline void reader_seek_inside(BitReader& br, std::uint32_t position) {
    const std::uint32_t word = position / 32 * 4;
    br.bytes_consumed = word;
    br.current_word = load_word(br, word);
    br.next_word = load_word(br, word + 4);
    br.next_load = word + 8;
    br.bits_remaining = 32 - position % 32;
}

// The 64 - position % 8 bits (at least 57) from bit `position` on, first bit most
// significant, then zeros; the 8 bytes from position / 8 must lie inside the data and its
// zero tail.
inline std::uint64_t peek57_at(const BitReader& br, std::uint32_t position) {
    std::uint64_t w;
    std::memcpy(&w, br.data + position / 8, sizeof w);
    return __builtin_bswap64(w) << (position % 8);
}

inline bool reader_ran_out(const BitReader& br) { return br.exhausted || br.overrun; }
