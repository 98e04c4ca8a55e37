// Bytes for the tests of the packed form, and its driver run over them in memory.
#pragma once

#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "pack/driver/pack_file.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (std::uint8_t& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

// A payload damaged as a reader may find it: every `cut_every`-th trial cut short at a random
// length, the others with 1 to `changes` bytes set at random.
inline Bytes damaged_copy(const Bytes& payload, std::mt19937& rng, int trial, int cut_every, int changes) {
    Bytes damaged = payload;
    if (trial % cut_every == 0) {
        damaged.resize(rng() % payload.size());
    } else {
        for (int j = 0; j <= trial % changes; ++j) damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
    }
    return damaged;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Packs `in` (or with `unpack`, unpacks it) through the streaming driver into `out`, emptied first.
inline int pack_bytes(const Bytes& in, Bytes& out, const PackSettings& settings, PackReport& report,
                      bool unpack = false) {
    MemorySource src{in.data(), in.size(), 0};
    out.clear();
    return (unpack ? unpack_stream : pack_stream)(memory_source(src), vector_sink(out), settings, report);
}

inline int unpack_bytes(const Bytes& in, Bytes& out, const PackSettings& settings, PackReport& report) {
    return pack_bytes(in, out, settings, report, true);
}
