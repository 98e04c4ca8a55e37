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
//
// A unit may also be a table of places (format version 11): 32-bit, big-endian entries, entry
// k the place of stretch first_index + k of track `track` (`place` says which). A track's
// stretch is a run of its access units that follow one another in the file with nothing
// between, counting the access units of every chunk coded as units, in order. An MP4 file's
// chunk offsets are where its audio stretches start, or where the video (or the other audio
// track) between them does, where one ends; and a video chunk of one sample is as long as the
// bytes between two stretches. Nothing of it is stored.
enum UnitKind : std::uint8_t { UNIT_ACCESS = 0, UNIT_SIZES, UNIT_FIELD, UNIT_PLACES };
enum PlaceKind : std::uint8_t {
    PLACE_START = 0,  // the file offset of the stretch's first byte
    PLACE_END,        // the file offset just past its last byte
    PLACE_GAP,        // the bytes between its end and the start of the stretch after it
    PLACE_KINDS
};

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
    std::uint8_t track = 0;        // 0..kMaxUnitTracks - 1 (of a table of places, whose stretches)
    std::uint8_t place = PLACE_START;  // of a table of places: what its entries are
    std::uint32_t first_index = 0; // of a table: the unit (or stretch) its first entry is the length (or place) of
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

// The most stretches a table of places may derive from, all tracks together (the unpacker keeps
// two offsets of each; a crafted file of a million units apart would otherwise double what its
// units take).
constexpr std::uint32_t kMaxDerivedStretches = 1u << 19;

// A track's stretches: where each starts and ends in the file.
struct Stretches {
    std::vector<std::uint32_t> start, end;
};

// The lengths of the access units of the chunks of units written so far, in file order, as
// the size tables of later chunks refer to them (at most kMaxDerivedUnits of them); and with
// `stretches` (format version 11) the stretches they make, by track, as tables of places refer
// to them. Stretches are counted while they lie below 4 GiB (a table of places is 32-bit) and
// up to kMaxDerivedStretches; the first unit past either ends the count.
struct UnitLengths {
    std::vector<std::uint16_t> lengths;
    bool stretches = false;
    bool stretches_full = false;
    std::uint32_t stretch_count = 0;  // of every track
    Stretches tracks[kMaxUnitTracks];
};

// Counts the access units of a chunk of units at file offset `offset` into the stretches.
void add_stretches(const std::vector<ChunkUnit>& units, std::uint64_t offset, UnitLengths& known);

// The value a table of places holds for stretch s of a track, or false when the stretches
// known do not tell it (s past them, or the gap after the last).
bool place_of(const UnitLengths& known, unsigned track, PlaceKind kind, std::uint32_t s, std::uint32_t& value);

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

// Adds the access units of a chunk of units (at file offset `offset`) to `known`, fills in its
// size tables, length fields and tables of places at out from them, and says whether its
// checksum then holds (when it has any; the caller has checked it otherwise): false when one
// points past what is known, a field's value does not fit its width, or the bytes do not match.
bool fill_size_tables(const std::vector<ChunkUnit>& units, UnitLengths& known, std::uint8_t* out, std::size_t size,
                      std::uint64_t checksum, std::uint64_t offset);
