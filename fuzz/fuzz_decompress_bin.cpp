// libFuzzer target: see targets.h.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz_decompress_bin(data, size);
}
