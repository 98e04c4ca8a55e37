// What a chunk of units is made of, in the chunk's own coordinates: the access units of a
// container track (or of an ADIF or headerless stream) and the container's size tables that
// are derived rather than stored. The packer lists them for the chunk codec; decoding reports
// them back, and the unpacker fills the derived tables in from the lengths of the access units
// it has written, counting the units of every chunk of units in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// An access unit within a chunk: where it starts, its length, and the frame context its
// track's configuration gives. The units of a chunk are in order and do not overlap; the
// bytes between them are the container's own.
//
// A unit may instead be a table of sample sizes (32-bit, big-endian) whose every entry is the
// length of an access unit met before it: entry k is that of the file's unit first_index + k,
// counting the access units of every chunk coded as units, in order. Nothing of the table is
// stored; the unpacker fills it in from the lengths of the units it has written.
//
// A unit may also be a length field (format version 6): `length` bytes (1 to 4), big-endian,
// holding the length of the chunk's access unit first_index (counting its access units from
// 0) plus addend, as an FLV tag's data size and the size of the tag before, or a Matroska
// block's size, do. Nothing of it is stored either.
enum UnitKind : std::uint8_t { UNIT_ACCESS = 0, UNIT_SIZES, UNIT_FIELD };

// An access unit also names its track (format version 7): the models keep what they remember
// of a stream (each channel's last frames, the last value of each field) per track, so that
// units of several tracks interleaved cost what each track alone would.
constexpr unsigned kMaxUnitTracks = 4;

struct ChunkUnit {
    std::uint32_t start = 0;
    std::uint32_t length = 0;      // of a table: 4 bytes an entry
    std::uint8_t kind = UNIT_ACCESS;
    std::uint8_t object_type = 2;  // 1 Main, 2 LC, 4 LTP
    std::uint8_t sf_index = 0;     // 0..12
    std::uint8_t track = 0;        // 0..kMaxUnitTracks - 1
    std::uint32_t first_index = 0; // of a table: the unit its first entry is the length of
    std::int32_t addend = 0;       // of a length field
};

// The widest length field, and the largest addend one may have either way.
constexpr std::uint32_t kMaxFieldBytes = 4;
constexpr std::int32_t kMaxFieldAddend = 1 << 29;

// What decoding a chunk of units reports besides its bytes: its access units (modelled or not)
// and size tables in order, as the encoder was given them, the tables left as zeros for the
// unpacker to fill in.
struct UnitTrace {
    std::vector<ChunkUnit> units;
};

// The most entries a size table may derive from: the unpacker keeps the length of every
// access unit up to this count (two bytes each), and the packer derives no entry past it.
constexpr std::uint32_t kMaxDerivedUnits = 8u << 20;

// The lengths of the access units of the chunks of units written so far, in file order, as
// the size tables of later chunks refer to them (at most kMaxDerivedUnits of them).
struct UnitLengths {
    std::vector<std::uint16_t> lengths;
};

// The container's runs of a chunk of units, in order: the stretches between its access units
// and size tables, and after the last. Their extents, from start, are appended to runs.
struct ByteExtent {
    std::uint32_t start = 0;
    std::uint32_t length = 0;
};
// With keep_short (format version 8, the runs a split chunk carries apart), a run of at most
// kShortRunBytes is left out: a header between two units stays in the units' payload, where
// the run memory codes it by the headers before it.
constexpr std::size_t kShortRunBytes = 16;
void container_runs(const std::vector<ChunkUnit>& units, std::size_t size, std::vector<ByteExtent>& runs,
                    bool keep_short = false);
// The bytes the extents cover, in all.
std::size_t extent_bytes(const std::vector<ByteExtent>& extents);

// Whether a chunk's units hold a size table or a length field.
bool has_size_tables(const std::vector<ChunkUnit>& units);

// Adds the access units of a chunk of units to `known`, fills in its size tables and length
// fields at out from them, and says whether its checksum then holds (when it has any; the
// caller has checked it otherwise): false when one points past what is known, a field's value
// does not fit its width, or the bytes do not match.
bool fill_size_tables(const std::vector<ChunkUnit>& units, UnitLengths& known, std::uint8_t* out, std::size_t size,
                      std::uint64_t checksum);
