// Filling in the derived size tables of a chunk of units.
#include "pack/format/chunk_units.h"

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

bool fill_size_tables(const UnitTrace& trace, UnitLengths& known, std::uint8_t* out, std::size_t size,
                      std::uint64_t checksum) {
    for (std::uint32_t length : trace.lengths) {
        if (known.lengths.size() >= kMaxDerivedUnits) break;
        known.lengths.push_back(static_cast<std::uint16_t>(length > 0xFFFF ? 0xFFFF : length));
    }
    for (const SizePatch& p : trace.patches) {
        if (p.first_index > known.lengths.size() || p.count > known.lengths.size() - p.first_index ||
            p.pos > size || 4 * std::size_t{p.count} > size - p.pos)
            return false;
        for (std::uint32_t k = 0; k < p.count; ++k) {
            const std::uint32_t v = known.lengths[p.first_index + k];
            std::uint8_t* e = out + p.pos + 4 * std::size_t{k};
            e[0] = 0;
            e[1] = 0;
            e[2] = static_cast<std::uint8_t>(v >> 8);
            e[3] = static_cast<std::uint8_t>(v);
        }
    }
    return trace.patches.empty() || XXH3_64bits(out, size) == checksum;
}
