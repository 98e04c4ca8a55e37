// Cutting the chunks of an input with a unit plan, and the numbering of its access units.
#include "pack/container/unit_cuts.h"

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

// The number of unit u in the unpacker's count, or -1 when it has none.
std::int64_t number_of(const std::vector<NumberedRun>& runs, std::size_t u) {
    auto it = std::upper_bound(runs.begin(), runs.end(), u,
                               [](std::size_t v, const NumberedRun& r) { return v < r.first_unit; });
    if (it == runs.begin()) return -1;
    --it;
    if (u >= it->first_unit + it->count) return -1;
    return std::int64_t{it->first} + static_cast<std::int64_t>(u - it->first_unit);
}

// Bytes between a size table and the last unit before it from which they go with the table.
constexpr std::uint64_t kIndexBeforeTable = 1024;

std::uint64_t run_end(const SizeRun& r) { return r.offset + 4 * std::uint64_t{r.count}; }

// Whether the cut looks at a table: size tables always, tables of places where they are derived.
bool looked_at(const UnitCuts& cuts, const SizeRun& r) { return r.kind == RUN_UNIT_SIZES || cuts.places; }

// Where a length field is looked for: up to kFieldBefore bytes before its unit's start (where
// it ends at or before the start), or up to kFieldAfter bytes after its end.
constexpr std::uint32_t kFieldBefore = 14;
constexpr std::uint32_t kFieldAfter = 4;
constexpr std::int64_t kNoField = INT64_MIN;

// For each place beside an access unit, [after][distance][width - 1]: the value of the field
// there less the unit's length, or kNoField.
struct FieldAddends {
    std::int64_t at[2][kFieldBefore + 1][kMaxFieldBytes];
};

// The addends beside the access unit [start, end) within [lo, hi) (the stretches beside it).
void field_addends(const std::uint8_t* data, std::size_t lo, std::size_t start, std::size_t end, std::size_t hi,
                   FieldAddends& out) {
    for (const bool after : {false, true}) {
        for (std::uint32_t distance = 0; distance <= kFieldBefore; ++distance) {
            for (std::uint32_t width = 1; width <= kMaxFieldBytes; ++width) {
                std::int64_t& addend = out.at[after][distance][width - 1];
                addend = kNoField;
                const bool fits = after ? distance <= kFieldAfter && end + distance + width <= hi
                                        : distance >= width && distance <= start - lo;
                if (!fits) continue;
                const std::uint8_t* p = data + (after ? end + distance : start - distance);
                std::int64_t value = 0;
                for (std::uint32_t b = 0; b < width; ++b) value = value << 8 | p[b];
                const std::int64_t a = value - static_cast<std::int64_t>(end - start);
                if (a >= -kMaxFieldAddend && a <= kMaxFieldAddend) addend = a;
            }
        }
    }
}

// The plan's units first .. limit - 1 that lie whole within the chunk [start, start + n), in the
// chunk's coordinates; the cursor goes on after them.
void take_units(UnitCuts& cuts, std::uint64_t start, std::size_t n, std::size_t first, std::size_t limit,
                std::vector<ChunkUnit>& chunk_units) {
    const std::vector<UnitExtent>& units = cuts.plan->units;
    chunk_units.clear();
    for (std::size_t k = first; k < limit && k < units.size(); ++k) {
        const UnitExtent& u = units[k];
        if (u.offset + u.size > start + n) break;
        ChunkUnit c;
        c.start = static_cast<std::uint32_t>(u.offset - start);
        c.length = u.size;
        c.object_type = u.object_type;
        c.sf_index = u.sf_index;
        c.track = u.track;
        chunk_units.push_back(c);
    }
    cuts.next_unit = first + chunk_units.size();
}

}  // namespace

std::size_t cut_unit_chunk(UnitCuts& cuts, std::uint64_t start, std::size_t size, std::size_t target,
                           std::vector<ChunkUnit>& chunk_units, std::size_t& first_unit) {
    const std::vector<UnitExtent>& units = cuts.plan->units;
    std::size_t n = size;
    if (target != 0 && target < n) n = target;
    std::size_t i = cuts.next_unit;
    while (i < units.size() && units[i].offset < start) ++i;  // cut by an earlier chunk
    chunk_units.clear();
    const std::uint64_t first = i < units.size() ? units[i].offset : start + size;
    std::size_t j = i;
    if (first - start >= kContainerGapChunk) n = static_cast<std::size_t>(std::min<std::uint64_t>(first - start, size));
    std::uint64_t end = start;
    while (first - start < kContainerGapChunk && j < units.size() && units[j].offset + units[j].size <= start + n) {
        if (j - i == kMaxUnitsPerChunk) {
            n = static_cast<std::size_t>(end - start);
            break;
        }
        if (units[j].offset - end >= kContainerGapChunk && j > i) {
            n = static_cast<std::size_t>(end - start);
            break;
        }
        end = units[j].offset + units[j].size;
        ++j;
    }
    if (j < units.size() && units[j].offset < start + n && units[j].offset > start) n = units[j].offset - start;
    // a long stretch without units after the chunk's last (an index at the end) is left to
    // the next chunk too
    if (j > i && start + n > end && start + n - end >= kContainerGapChunk) n = static_cast<std::size_t>(end - start);
    // A size table after units starts a chunk of its own, and a long stretch without units
    // after a table (cover art) is left to the next: the chunk that derives a table waits for
    // every chunk before it, and should be short.
    const std::vector<SizeRun>& runs = cuts.plan->size_runs;
    std::uint64_t tables_end = 0;
    for (std::size_t r = cuts.next_size_run; r < runs.size() && runs[r].offset < start + n; ++r) {
        // tables of places wait for the chunks before as size tables do (size_table_ahead), but
        // move no cut: they lie in an index whose size tables place it
        if (run_end(runs[r]) <= start || runs[r].kind != RUN_UNIT_SIZES) continue;
        const bool names_before = runs[r].first_unit < units.size() && units[runs[r].first_unit].offset < runs[r].offset;
        if (j > i && runs[r].offset > units[i].offset && names_before) {
            // the index the table is part of (a moov's other tables) goes with it, from the end
            // of the last unit before it
            std::uint64_t cut = runs[r].offset;
            std::size_t k = j;
            while (k > i && units[k - 1].offset + units[k - 1].size > cut) --k;
            if (k > i && cut - (units[k - 1].offset + units[k - 1].size) >= kIndexBeforeTable)
                cut = units[k - 1].offset + units[k - 1].size;
            n = static_cast<std::size_t>(cut - start);
            tables_end = 0;
            break;
        }
        tables_end = std::max(tables_end, run_end(runs[r]));
    }
    const std::uint64_t next_unit_at = j < units.size() ? units[j].offset : ~std::uint64_t{0};
    if (j == i && tables_end > start && tables_end < start + n &&
        std::min<std::uint64_t>(next_unit_at, start + n) - tables_end >= kContainerGapChunk)
        n = static_cast<std::size_t>(tables_end - start);
    take_units(cuts, start, n, i, j, chunk_units);
    first_unit = i;
    return n;
}

std::size_t widen_unit_chunk(UnitCuts& cuts, std::uint64_t start, std::size_t size, std::size_t least,
                             std::vector<ChunkUnit>& chunk_units, std::size_t first_unit) {
    const std::vector<UnitExtent>& units = cuts.plan->units;
    std::size_t n = least < size ? least : size;
    for (std::size_t j = first_unit; j < units.size() && units[j].offset < start + n; ++j) {
        const std::uint64_t end = units[j].offset + units[j].size;
        if (end <= start + n) continue;
        n = static_cast<std::size_t>(end - start <= size ? end - start : units[j].offset - start);
        break;
    }
    take_units(cuts, start, n, first_unit, first_unit + kMaxUnitsPerChunk, chunk_units);
    return n;
}

bool size_table_ahead(UnitCuts& cuts, std::uint64_t start, std::size_t size) {
    const std::vector<SizeRun>& runs = cuts.plan->size_runs;
    while (cuts.next_size_run < runs.size() && run_end(runs[cuts.next_size_run]) <= start) ++cuts.next_size_run;
    for (std::size_t r = cuts.next_size_run; r < runs.size() && runs[r].offset < start + size; ++r)
        if (run_end(runs[r]) > start && looked_at(cuts, runs[r])) return true;
    return false;
}

namespace {

constexpr std::uint32_t kMinPlaceEntries = 2;

std::uint32_t be32_at(const std::uint8_t* e) {
    return std::uint32_t{e[0]} << 24 | std::uint32_t{e[1]} << 16 | std::uint32_t{e[2]} << 8 | e[3];
}

// Whether the 4 bytes at `at` in a chunk lie clear of its access units (in order of start).
bool clear_of_units(const std::vector<ChunkUnit>& units, std::size_t own, std::uint64_t at) {
    auto it = std::upper_bound(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(own), at,
                               [](std::uint64_t v, const ChunkUnit& u) { return v < std::uint64_t{u.start} + u.length; });
    return it == units.begin() + static_cast<std::ptrdiff_t>(own) || it->start >= at + 4;
}

// The stretches as the unpacker knows them when it fills a chunk's tables in (those numbered
// before the chunk and those its own access units add), and where to look a place up.
struct PlaceFinder {
    UnitLengths known;
    // by track: (gap after stretch s, s), sorted; made when first asked for
    std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps[kMaxUnitTracks];
    bool has_gaps[kMaxUnitTracks] = {};
};

void start_finder(const UnitCuts& cuts, std::uint64_t start, const std::vector<ChunkUnit>& own, PlaceFinder& f) {
    f.known.stretches = true;
    f.known.stretches_full = cuts.numbered.stretches_full;
    f.known.stretch_count = cuts.numbered.stretch_count;
    for (unsigned t = 0; t < kMaxUnitTracks; ++t) f.known.tracks[t] = cuts.numbered.tracks[t];
    add_stretches(own, start, f.known);
}

// A place, and where it is: stretch s of a track.
struct Place {
    PlaceKind kind = PLACE_START;
    unsigned track = 0;
    std::uint32_t s = 0;
};

// Whether a track's stretch has v as its place of the given kind: the one after the entry
// before (`at`, where at.s is that one's successor) first, then the first after it.
bool find_in_track(PlaceFinder& f, Place& at, std::uint32_t v) {
    std::uint32_t value = 0;
    if (place_of(f.known, at.track, at.kind, at.s, value) && value == v) return true;
    const Stretches& t = f.known.tracks[at.track];
    if (at.kind != PLACE_GAP) {
        const std::vector<std::uint32_t>& sorted = at.kind == PLACE_START ? t.start : t.end;
        auto it = std::lower_bound(sorted.begin(), sorted.end(), v);
        if (it == sorted.end() || *it != v) return false;
        at.s = static_cast<std::uint32_t>(it - sorted.begin());
        return true;
    }
    auto& gaps = f.gaps[at.track];
    if (!f.has_gaps[at.track]) {
        f.has_gaps[at.track] = true;
        for (std::uint32_t k = 0; k + 1 < t.start.size(); ++k) gaps.emplace_back(t.start[k + 1] - t.end[k], k);
        std::sort(gaps.begin(), gaps.end());
    }
    auto it = std::lower_bound(gaps.begin(), gaps.end(), std::make_pair(v, at.s));
    if (it == gaps.end() || it->first != v) it = std::lower_bound(gaps.begin(), gaps.end(), std::make_pair(v, 0u));
    if (it == gaps.end() || it->first != v) return false;
    at.s = it->second;
    return true;
}

// The place an entry of a table holds: as the entry before went on where it does, else a
// track's stretch start or end (chunk offsets) or gap (another track's sizes). False when
// none has the value.
bool find_place(PlaceFinder& f, SizeRunKind run, const Place* before, std::uint32_t v, Place& found) {
    if (before != nullptr) {
        found = *before;
        ++found.s;
        if (find_in_track(f, found, v)) return true;
    }
    for (const PlaceKind kind : {PLACE_START, PLACE_END, PLACE_GAP}) {
        if ((kind == PLACE_GAP) != (run == RUN_OTHER_SIZES)) continue;
        for (unsigned track = 0; track < kMaxUnitTracks; ++track) {
            found = Place{kind, track, 0};
            if (find_in_track(f, found, v)) return true;
        }
    }
    return false;
}

}  // namespace

void add_size_tables(const UnitCuts& cuts, std::uint64_t start, const std::uint8_t* data, std::size_t n,
                     std::size_t first_unit, std::vector<ChunkUnit>& chunk_units) {
    const std::vector<SizeRun>& runs = cuts.plan->size_runs;
    const std::vector<UnitExtent>& units = cuts.plan->units;
    const std::size_t own = chunk_units.size();
    std::vector<ChunkUnit> tables;
    const auto number_for = [&](std::uint32_t u) -> std::int64_t {
        if (u >= units.size()) return -1;
        if (const std::int64_t number = number_of(cuts.numbered_runs, u); number >= 0) return number;
        if (u < first_unit || u >= first_unit + own) return -1;
        return static_cast<std::int64_t>(cuts.numbered.lengths.size() + (u - first_unit));
    };
    std::unique_ptr<PlaceFinder> finder;  // made when a table of places is met
    // A lone place costs more to name than its four bytes cost as the container's: an index's
    // one chunk offset, or a size that happens to equal a gap.
    const auto kept = [](const ChunkUnit& t) { return t.kind != UNIT_PLACES || t.length >= 4 * kMinPlaceEntries; };
    for (std::size_t r = cuts.next_size_run; r < runs.size() && runs[r].offset < start + n; ++r) {
        if (!looked_at(cuts, runs[r])) continue;
        const bool places = runs[r].kind != RUN_UNIT_SIZES;
        if (places && finder == nullptr) {
            finder = std::make_unique<PlaceFinder>();
            start_finder(cuts, start, chunk_units, *finder);
        }
        ChunkUnit table;
        table.kind = places ? UNIT_PLACES : UNIT_SIZES;
        // the entries within the chunk only: a table may be far longer than a chunk
        const std::uint64_t skip = start > runs[r].offset ? (start - runs[r].offset) / 4 : 0;
        for (std::uint32_t k = static_cast<std::uint32_t>(std::min<std::uint64_t>(skip, runs[r].count));
             k < runs[r].count && runs[r].offset + 4 * std::uint64_t{k} < start + n; ++k) {
            const std::uint64_t entry = runs[r].offset + 4 * std::uint64_t{k};
            bool derived = entry >= start && entry + 4 <= start + n;
            std::int64_t number = -1;
            PlaceKind place = PLACE_START;
            unsigned track = 0;
            if (derived) {
                const std::uint32_t value = be32_at(data + (entry - start));
                if (places) {
                    const bool open = table.length != 0 && table.start + table.length == entry - start;
                    const Place before{static_cast<PlaceKind>(table.place), table.track,
                                       table.first_index + table.length / 4 - 1};
                    Place found;
                    derived = find_place(*finder, runs[r].kind, open ? &before : nullptr, value, found);
                    place = found.kind;
                    track = found.track;
                    number = found.s;
                } else {
                    number = number_for(runs[r].first_unit + k);
                    derived = number >= 0 && number < static_cast<std::int64_t>(kMaxDerivedUnits) &&
                              value == units[runs[r].first_unit + k].size;
                }
            }
            derived = derived && clear_of_units(chunk_units, own, entry - start);
            const bool extends = table.length != 0 && table.start + table.length == entry - start &&
                                 table.first_index + table.length / 4 == number && table.place == place &&
                                 table.track == track;
            if (table.length != 0 && (!derived || !extends)) {
                if (kept(table)) tables.push_back(table);
                table.length = 0;
            }
            if (!derived) continue;
            if (table.length == 0) {
                table.start = static_cast<std::uint32_t>(entry - start);
                table.first_index = static_cast<std::uint32_t>(number);
                table.place = place;
                table.track = static_cast<std::uint8_t>(track);
            }
            table.length += 4;
        }
        if (table.length != 0 && kept(table)) tables.push_back(table);
    }
    if (tables.empty()) return;
    // Tables come in order of their runs, which do not overlap in a file the walk understood; a
    // table that would overlap the one before is left as the container's bytes.
    std::stable_sort(tables.begin(), tables.end(), [](const ChunkUnit& a, const ChunkUnit& b) { return a.start < b.start; });
    std::vector<ChunkUnit> merged;
    merged.reserve(chunk_units.size() + tables.size());
    std::size_t end = 0;
    for (const ChunkUnit& t : tables)
        if (t.start >= end) {
            merged.push_back(t);
            end = std::size_t{t.start} + t.length;
        }
    tables.swap(merged);
    merged.clear();
    std::merge(chunk_units.begin(), chunk_units.end(), tables.begin(), tables.end(), std::back_inserter(merged),
               [](const ChunkUnit& a, const ChunkUnit& b) { return a.start < b.start; });
    chunk_units.swap(merged);
}

void add_length_fields(const std::uint8_t* data, std::size_t n, std::vector<ChunkUnit>& units) {
    std::vector<std::size_t> access;  // where the access units are in units
    for (std::size_t i = 0; i < units.size(); ++i)
        if (units[i].kind == UNIT_ACCESS) access.push_back(i);
    if (access.size() < 2) return;
    const auto lo_of = [&](std::size_t i) -> std::size_t {
        return i == 0 ? 0 : std::size_t{units[i - 1].start} + units[i - 1].length;
    };
    const auto hi_of = [&](std::size_t i) -> std::size_t { return i + 1 < units.size() ? units[i + 1].start : n; };
    const auto addends_of = [&](std::size_t j, FieldAddends& out) {
        const ChunkUnit& u = units[access[j]];
        field_addends(data, lo_of(access[j]), u.start, std::size_t{u.start} + u.length, hi_of(access[j]), out);
    };
    // a sliding window of three units' addends: the one before, this one, the one after
    auto window = std::make_unique<FieldAddends[]>(3);
    FieldAddends* before = &window[0];
    FieldAddends* now = &window[1];
    FieldAddends* next = &window[2];
    addends_of(0, *now);
    std::vector<ChunkUnit> fields;
    for (std::size_t j = 0; j < access.size(); ++j) {
        const bool has_before = j > 0, has_next = j + 1 < access.size();
        if (has_next) addends_of(j + 1, *next);
        const std::uint32_t length = units[access[j]].length;
        const std::uint32_t length_before = has_before ? units[access[j - 1]].length : 0;
        const std::uint32_t length_next = has_next ? units[access[j + 1]].length : 0;
        // the widest field first, then the nearest: one before the unit and one after it
        const std::size_t start = units[access[j]].start, end = start + length;
        bool taken[2] = {false, false};  // before, after
        for (std::uint32_t width = kMaxFieldBytes; width >= 1; --width) {
            for (std::uint32_t distance = 0; distance <= kFieldBefore; ++distance) {
                for (const bool after : {false, true}) {
                    const std::int64_t a = now->at[after][distance][width - 1];
                    if (taken[after] || a == kNoField) continue;
                    const bool held =
                        (has_before && length_before != length && before->at[after][distance][width - 1] == a) ||
                        (has_next && length_next != length && next->at[after][distance][width - 1] == a);
                    if (!held) continue;
                    ChunkUnit f;
                    f.kind = UNIT_FIELD;
                    f.start = static_cast<std::uint32_t>(after ? end + distance : start - distance);
                    f.length = width;
                    f.first_index = static_cast<std::uint32_t>(j);
                    f.addend = static_cast<std::int32_t>(a);
                    fields.push_back(f);
                    taken[after] = true;
                }
            }
        }
        std::swap(before, now);
        std::swap(now, next);
    }
    if (fields.empty()) return;
    std::sort(fields.begin(), fields.end(), [](const ChunkUnit& a, const ChunkUnit& b) { return a.start < b.start; });
    // a field after one unit and one before the next may meet in the same stretch: the first
    // one stays
    std::vector<ChunkUnit> kept;
    for (const ChunkUnit& f : fields)
        if (kept.empty() || kept.back().start + kept.back().length <= f.start) kept.push_back(f);
    std::vector<ChunkUnit> merged;
    merged.reserve(units.size() + kept.size());
    std::merge(units.begin(), units.end(), kept.begin(), kept.end(), std::back_inserter(merged),
               [](const ChunkUnit& a, const ChunkUnit& b) { return a.start < b.start; });
    units.swap(merged);
}

bool number_units(UnitCuts& cuts, std::size_t first_unit, const std::vector<ChunkUnit>& units,
                  const std::uint8_t* original, std::size_t size, std::uint64_t checksum, std::uint64_t offset) {
    std::size_t access = 0;
    for (const ChunkUnit& u : units) access += u.kind == UNIT_ACCESS ? 1 : 0;
    const std::size_t first = cuts.numbered.lengths.size();
    if (access != 0 && first < kMaxDerivedUnits)
        cuts.numbered_runs.push_back(
            NumberedRun{first_unit, std::min<std::size_t>(access, kMaxDerivedUnits - first), static_cast<std::uint32_t>(first)});
    if (!has_size_tables(units)) return fill_size_tables(units, cuts.numbered, nullptr, 0, 0, offset);
    std::vector<std::uint8_t> copy(original, original + size);
    return fill_size_tables(units, cuts.numbered, copy.data(), copy.size(), checksum, offset);
}
