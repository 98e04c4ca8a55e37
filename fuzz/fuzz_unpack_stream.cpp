// libFuzzer target: see targets.h. A broken invariant stops the fuzzer with the input kept.
#include <cstdlib>

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (fuzz_unpack_stream(data, size) != 0) std::abort();
    return 0;
}
