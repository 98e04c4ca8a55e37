// Setting a reader up over bytes that carry their zero tail.
#include "aac/bit_reader.h"

namespace {

// What an empty reader points at: the tail alone.
constexpr std::uint8_t kZeroTail[kReaderTail] = {};

}  // namespace

void init_reader(BitReader& br, const PaddedBytes& bytes) {
    br = BitReader{};
    br.data = kZeroTail;
    if (bytes.size() == 0 || bytes.data() == nullptr || bytes.size() > kReaderMaxBytes) return;
    init_reader(br, bytes.data(), bytes.size());
}

void init_reader(BitReader& br, const std::uint8_t* data, std::size_t size) {
    br = BitReader{};
    br.data = data;
    br.size = static_cast<std::uint32_t>(size);
    // The decoder library loads its input a 32-bit word at a time, the last word padded
    // with zeros, and counts its input as used up only past that word. The reader does the
    // same, so that a cut frame stops at the same checkpoint, with the same fields handed
    // over, as the library's parse of it.
    br.end = (br.size + 3) / 4 * 32;
}

void init_reader(BitReader& br, PaddedBytes& storage, const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size > kReaderMaxBytes) size = 0;
    storage.assign(bytes, bytes + size);
    init_reader(br, storage);
}
