// Where the chunks of an input with a unit plan are cut, and what each holds: chunks end
// between access units, a long stretch without units is a chunk of its own, and a size table
// that follows its units is derived rather than stored. The packer numbers the access units
// of every chunk coded as units as the unpacker will count them, which is what a derived table
// refers to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pack/container/unit_map.h"
#include "pack/format/chunk_units.h"

// Bytes without access units that make a chunk of their own in a container.
constexpr std::uint64_t kContainerGapChunk = 64u << 10;
// Access units in one chunk at most: real ones fill a chunk with a few thousand, tiny ones in a
// crafted file would otherwise take a unit list of megabytes in every chunk slot.
constexpr std::size_t kMaxUnitsPerChunk = 32768;

// The access units first_unit .. first_unit + count - 1 of the input, numbered first .. in the
// count of units the unpacker keeps.
struct NumberedRun {
    std::size_t first_unit = 0;
    std::size_t count = 0;
    std::uint32_t first = 0;
};

// A cursor over a plan as its chunks are cut and written, in order.
struct UnitCuts {
    const UnitPlan* plan = nullptr;
    bool places = false;            // tables of places are derived (format version 11): set before cutting
    std::size_t next_unit = 0;      // the first access unit not yet given to a chunk
    std::size_t next_size_run = 0;  // the first size table stretch not wholly before the cut
    // Access units as the unpacker will count them (those of chunks coded as units, in order):
    // the runs of units each such chunk numbered, and the lengths so counted.
    std::vector<NumberedRun> numbered_runs;
    UnitLengths numbered;
};

// The length of the next chunk, which starts at input offset `start` and may take up to size
// bytes (target, when not 0, is what the cut aims at), and its access units (in the chunk's
// coordinates) with the index of the first one in the plan. A long stretch without units
// (cover art, another track's media) is a chunk of its own, so that the method chosen for it
// is not the units' choice; a unit that would straddle the cut (one longer than a whole chunk)
// is carried as the container's bytes.
std::size_t cut_unit_chunk(UnitCuts& cuts, std::uint64_t start, std::size_t size, std::size_t target,
                           std::vector<ChunkUnit>& units, std::size_t& first_unit);

// The chunk just cut (its units and first unit as cut_unit_chunk gave them) made at least
// `least` bytes long where size allows: it ends after a unit it would cut through, or before
// one that the window does not hold whole. Returns its new length.
std::size_t widen_unit_chunk(UnitCuts& cuts, std::uint64_t start, std::size_t size, std::size_t least,
                             std::vector<ChunkUnit>& units, std::size_t first_unit);

// Whether a size table lies within the next size bytes from start: the chunk is then cut only
// once the chunks before it are written (numbered), so that every unit they hold has its number.
bool size_table_ahead(UnitCuts& cuts, std::uint64_t start, std::size_t size);

// Adds to a chunk's units (data[0..n) at input offset start, its first unit first_unit) the
// entries of size tables in it that are derived: their unit is numbered already, or is one of
// this chunk's (before the entry or after it, as a fragment's trun names the samples of the
// media that follows: the unpacker fills a chunk's tables in once it has all its units), and
// the entry holds its length. With cuts.places, also the entries of tables of places that hold
// a place of a stretch numbered so far (this chunk's units counted). A derived entry never
// overlaps an access unit.
void add_size_tables(const UnitCuts& cuts, std::uint64_t start, const std::uint8_t* data, std::size_t n,
                     std::size_t first_unit, std::vector<ChunkUnit>& units);

// Adds to a chunk's units (data[0..n), its access units and size tables in order) the length
// fields found in the stretches between them (format version 6): a field of 1 to 4 bytes
// shortly before or after an access unit whose big-endian value less the unit's length is the
// same for the unit beside it (which is of another length), as an FLV tag's data size and the
// size of the tag before, or a Matroska block's size, are. Every field added holds its value
// in data; none overlaps another unit, table or field.
void add_length_fields(const std::uint8_t* data, std::size_t n, std::vector<ChunkUnit>& units);

// Numbers the access units of a chunk coded as units (at input offset `offset`), as the unpacker
// will, and checks its size tables against them: false when a derived entry would come back
// wrong (a bug).
[[nodiscard]] bool number_units(UnitCuts& cuts, std::size_t first_unit, const std::vector<ChunkUnit>& units,
                                const std::uint8_t* original, std::size_t size, std::uint64_t checksum,
                                std::uint64_t offset);
