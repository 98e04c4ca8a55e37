// Filling in the derived size tables and tables of places of a chunk of units.
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

void add_stretches(const std::vector<ChunkUnit>& units, std::uint64_t offset, UnitLengths& known) {
    if (!known.stretches) return;
    for (const ChunkUnit& u : units) {
        if (u.kind != UNIT_ACCESS || known.stretches_full || u.track >= kMaxUnitTracks) continue;
        Stretches& t = known.tracks[u.track];
        const std::uint64_t start = offset + u.start, end = start + u.length;
        if (end > 0xFFFFFFFFu) {
            known.stretches_full = true;
        } else if (!t.end.empty() && t.end.back() == start) {
            t.end.back() = static_cast<std::uint32_t>(end);
        } else if (known.stretch_count >= kMaxDerivedStretches) {
            known.stretches_full = true;
        } else {
            t.start.push_back(static_cast<std::uint32_t>(start));
            t.end.push_back(static_cast<std::uint32_t>(end));
            ++known.stretch_count;
        }
    }
}

bool place_of(const UnitLengths& known, unsigned track, PlaceKind kind, std::uint32_t s, std::uint32_t& value) {
    if (track >= kMaxUnitTracks) return false;
    const Stretches& t = known.tracks[track];
    const std::size_t n = t.start.size();
    if (s >= n || (kind == PLACE_GAP && s + 1 >= n)) return false;
    switch (kind) {
    case PLACE_START: value = t.start[s]; return true;
    case PLACE_END: value = t.end[s]; return true;
    case PLACE_GAP: value = t.start[s + 1] - t.end[s]; return true;
    default: return false;
    }
}

namespace {

// Writes value as `width` bytes, big-endian, at out.
void put_be(std::uint8_t* out, std::uint64_t value, std::uint32_t width) {
    for (std::uint32_t b = 0; b < width; ++b) out[b] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - b)));
}

}  // namespace

bool fill_size_tables(const std::vector<ChunkUnit>& units, UnitLengths& known, std::uint8_t* out, std::size_t size,
                      std::uint64_t checksum, std::uint64_t offset) {
    add_stretches(units, offset, known);
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
            put_be(out + u.start, static_cast<std::uint64_t>(value), u.length);
            continue;
        }
        if (u.kind == UNIT_PLACES) {
            tables = true;
            if (u.length % 4 != 0 || u.start > size || u.length > size - u.start || u.place >= PLACE_KINDS) return false;
            for (std::uint32_t k = 0; k < u.length / 4; ++k) {
                std::uint32_t v = 0;
                if (u.first_index + k < u.first_index ||
                    !place_of(known, u.track, static_cast<PlaceKind>(u.place), u.first_index + k, v))
                    return false;
                put_be(out + u.start + 4 * std::size_t{k}, v, 4);
            }
            continue;
        }
        if (u.kind != UNIT_SIZES) continue;
        tables = true;
        const std::uint32_t count = u.length / 4;
        if (u.first_index > known.lengths.size() || count > known.lengths.size() - u.first_index || u.start > size ||
            u.length > size - u.start)
            return false;
        for (std::uint32_t k = 0; k < count; ++k) put_be(out + u.start + 4 * std::size_t{k}, known.lengths[u.first_index + k], 4);
    }
    return !tables || XXH3_64bits(out, size) == checksum;
}
