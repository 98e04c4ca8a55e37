// Setting up the frame reader over the run's reusable frame copy.
#include "aac/bit_reader.h"

#include <cstring>

void init_reader(BitReader& br, std::vector<std::uint8_t>& storage, const std::uint8_t* bytes, std::size_t size) {
    br = BitReader{};
    if (size == 0 || bytes == nullptr || size > 0xFFFFFFF0u) {
        br.exhausted = 1;
        br.overrun = 1;
        if (storage.size() < kReaderTail) storage.assign(kReaderTail, 0);
        std::memset(storage.data(), 0, kReaderTail);
        br.data = storage.data();
        br.next_load = 4;  // so that processed_bits reads 0
        return;
    }
    if (storage.size() < size + kReaderTail) storage.resize(size + kReaderTail);
    std::memcpy(storage.data(), bytes, size);
    std::memset(storage.data() + size, 0, kReaderTail);
    br.data = storage.data();
    br.size = static_cast<std::uint32_t>(size);
    br.current_word = load_word(br, 0);
    br.next_word = load_word(br, 4);
    br.next_load = 8;
    br.bits_remaining = 32;
}
