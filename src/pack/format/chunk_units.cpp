// Filling in the derived size tables of a chunk of units.
#include "pack/format/chunk_units.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <algorithm>

void container_runs(const std::vector<ChunkUnit>& units, std::size_t size, std::vector<ByteExtent>& runs,
                    bool keep_short) {
    const auto add = [&](std::size_t start, std::size_t end) {
        if (!keep_short || end - start > kShortRunBytes)
            runs.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end - start)});
    };
    std::size_t pos = 0;
    for (const ChunkUnit& u : units) {
        if (u.start > pos && u.start <= size) add(pos, u.start);
        pos = std::max(pos, std::size_t{u.start} + u.length);
    }
    if (pos < size) add(pos, size);
}

std::size_t extent_bytes(const std::vector<ByteExtent>& extents) {
    std::size_t n = 0;
    for (const ByteExtent& e : extents) n += e.length;
    return n;
}

bool has_size_tables(const std::vector<ChunkUnit>& units) {
    for (const ChunkUnit& u : units)
        if (u.kind != UNIT_ACCESS) return true;
    return false;
}

bool fill_size_tables(const std::vector<ChunkUnit>& units, UnitLengths& known, std::uint8_t* out, std::size_t size,
                      std::uint64_t checksum) {
    for (const ChunkUnit& u : units) {
        if (u.kind != UNIT_ACCESS || known.lengths.size() >= kMaxDerivedUnits) continue;
        known.lengths.push_back(static_cast<std::uint16_t>(u.length > 0xFFFF ? 0xFFFF : u.length));
    }
    bool tables = false;
    std::vector<std::uint32_t> own;  // the lengths of the chunk's access units, for its fields
    for (const ChunkUnit& u : units)
        if (u.kind == UNIT_ACCESS) own.push_back(u.length);
    for (const ChunkUnit& u : units) {
        if (u.kind == UNIT_FIELD) {
            tables = true;
            if (u.first_index >= own.size() || u.length == 0 || u.length > kMaxFieldBytes || u.start > size ||
                u.length > size - u.start)
                return false;
            const std::int64_t value = std::int64_t{own[u.first_index]} + u.addend;
            if (value < 0 || value >> (8 * u.length) != 0) return false;
            for (std::uint32_t b = 0; b < u.length; ++b)
                out[u.start + b] = static_cast<std::uint8_t>(value >> (8 * (u.length - 1 - b)));
            continue;
        }
        if (u.kind != UNIT_SIZES) continue;
        tables = true;
        const std::uint32_t count = u.length / 4;
        if (u.first_index > known.lengths.size() || count > known.lengths.size() - u.first_index || u.start > size ||
            u.length > size - u.start)
            return false;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t v = known.lengths[u.first_index + k];
            std::uint8_t* e = out + u.start + 4 * std::size_t{k};
            e[0] = 0;
            e[1] = 0;
            e[2] = static_cast<std::uint8_t>(v >> 8);
            e[3] = static_cast<std::uint8_t>(v);
        }
    }
    return !tables || XXH3_64bits(out, size) == checksum;
}
