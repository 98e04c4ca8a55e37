// Loading the trained state of format version 4's models from the committed table.
#include "pack/model/gen4/trained_state.h"

#include <zstd.h>

#include <memory>
#include <vector>

#include <xxhash.h>

namespace gen4 {

namespace {

struct Loaded {
    const Model* model = nullptr;
    std::string why;
};

Loaded load_committed() {
    Loaded l;
    if (kModelPriorsV4Size == 0) {
        l.why = "the build holds no trained state";
        return l;
    }
    const unsigned long long size = ZSTD_getFrameContentSize(kModelPriorsV4, kModelPriorsV4Size);
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > (64u << 20)) {
        l.why = "the embedded table is not a zstd frame of known size";
        return l;
    }
    std::vector<std::uint8_t> state(static_cast<std::size_t>(size));
    const std::size_t r = ZSTD_decompress(state.data(), state.size(), kModelPriorsV4, kModelPriorsV4Size);
    if (ZSTD_isError(r) || r != state.size()) {
        l.why = "the embedded table does not decompress";
        return l;
    }
    if (XXH3_64bits(state.data(), state.size()) != kModelPriorsV4Hash) {
        l.why = "the embedded table is not the state its hash names";
        return l;
    }
    auto m = std::make_unique<Model>();
    l.why = load_model_state(*m, state.data(), state.size());
    if (l.why.empty()) l.model = m.release();  // kept for the life of the process
    return l;
}

}  // namespace

const Model* trained_model(std::string* why) {
    // Made once, on first use, by whichever thread comes first; read only after.
    static const Loaded loaded = load_committed();
    if (why != nullptr) *why = loaded.why;
    return loaded.model;
}

}  // namespace gen4
