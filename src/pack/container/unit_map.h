// Where the access units of an input lie when no ADTS header frames them: the AAC tracks of an
// ISO media file (MP4, M4A, MOV, 3GP), a Matroska or WebM file or an FLV file, or the raw data blocks of an ADIF file or of a headerless
// stream. The packer cuts its chunks between these units and codes each through the frame
// models; everything else in the input stays the container's bytes. Nothing here is trusted
// for the packed bytes: every unit is parsed and written back before it is modelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pack/container/container_walk.h"
#include "pack/io/byte_stream.h"

// An access unit of a container track, or of an ADIF or headerless stream, where the input
// holds it, with the frame context its track's configuration gives and its track (the
// container's fourth and later modelled tracks share the fourth's number). A container may
// name a million of them, so each takes 8 bytes: an offset below 4 TiB and a length of at most
// the 8,191 bytes an ADTS frame could carry (unit_fits); a unit past either is not taken.
struct UnitExtent {
    std::uint64_t offset : 42;
    std::uint64_t size : 13;
    std::uint64_t object_type : 3;  // Main, LC or LTP
    std::uint64_t sf_index : 4;
    std::uint64_t track : 2;
};
static_assert(sizeof(UnitExtent) == 8, "a million units take 8 MB");
constexpr std::uint64_t kUnitOffsetLimit = std::uint64_t{1} << 42;
constexpr std::uint64_t kUnitSizeLimit = std::uint64_t{1} << 13;
constexpr bool unit_fits(std::uint64_t offset, std::uint64_t size) {
    return offset < kUnitOffsetLimit && size < kUnitSizeLimit;
}

// A stretch of a table of sample sizes in a container (32-bit, big-endian) whose entry k
// holds the length of the input's access unit first_unit + k (an index into
// UnitPlan::units) when the table is right. The packer checks every entry; those that are
// right and whose unit comes before them, or lies in the same chunk, are derived rather than
// stored.
//
// A stretch may instead be a table whose entries may be places of stretches of access units
// (format version 11, UNIT_PLACES): an index's chunk offsets, or the sample sizes of a track that
// is not modelled. The packer checks every entry against the stretches numbered before it.
enum SizeRunKind : std::uint8_t { RUN_UNIT_SIZES = 0, RUN_CHUNK_OFFSETS, RUN_OTHER_SIZES };
struct SizeRun {
    std::uint64_t offset = 0;
    std::uint32_t count = 0;
    std::uint32_t first_unit = 0;  // of a table of places, 0
    SizeRunKind kind = RUN_UNIT_SIZES;
};

enum class UnitSource : std::uint8_t { NONE, ISO_MEDIA, FLV, MATROSKA, ADIF, RAW };

// What the packer needs of an input whose access units have no ADTS headers: where the units
// lie and which size tables name them. unit_cuts.h cuts chunks from it.
struct UnitPlan {
    UnitSource source = UnitSource::NONE;
    ContainerLayout layout;          // a container's tracks
    AacTrack stream;                 // an ADIF or headerless stream's frame context
    std::vector<UnitExtent> units;   // in order, none overlapping, each within the input
    std::vector<SizeRun> size_runs;  // in order of offset: stretches of size tables whose entries name units in order
};

// How much of the input's start map_units looks at to tell what it is.
constexpr std::size_t kUnitMapHead = 64u << 10;

// Whether the first bytes start like an ISO media file or an ADIF file, whose index (for a
// container) may follow its media, or like an FLV or Matroska file: a stream of them is kept whole before
// it is mapped. It looks at the first kContainerStartBytes bytes only.
constexpr std::size_t kContainerStartBytes = 9;
bool starts_like_container_or_adif(const std::uint8_t* head, std::size_t n);

// Whether map_units could find units in an input of the given size that starts with
// head[0..n) (n as much of kUnitMapHead as the input has): it is a container, ADIF, or does not
// start like ADTS. A stream packed as a file is kept whole for map_units only then.
bool may_hold_units(const std::uint8_t* head, std::size_t n, std::uint64_t size);

// Finds the units of a seekable input; map.source stays NONE (and units empty) for ADTS and
// anything else, which the packer searches for ADTS frames as before.
void map_units(const RandomReader& in, UnitPlan& plan);

// The ADIF header at data[0..size): its length and the frame context of its first program
// config element; false when there is no whole ADIF header there.
bool parse_adif_header(const std::uint8_t* data, std::size_t size, std::size_t& length, AacTrack& track);

// "MP4, 1 AAC track (LC, 44.1 kHz, stereo), 2,584 access units" and the like, or "" for NONE:
// the container or stream and the count of its access units the models coded.
std::string describe_units(const UnitPlan& plan, std::uint64_t modelled);

// "MPEG-TS, 1 AAC stream (ADTS, LC, 48 kHz, stereo), 2,812 access units": a transport stream's
// ADTS (or LATM) streams, the first frame's header (7 bytes, or null; for LATM the one its
// split made) and the frames the models coded.
// "MPEG-TS, no AAC stream it could read" when there were none (its packets coded apart all the same).
std::string describe_ts(std::uint64_t streams, const std::uint8_t* header, bool latm, std::uint64_t modelled);

// "LOAS/LATM (LC, 48 kHz, stereo), 2,812 access units": a LOAS stream's, from the ADTS header
// its split made of the first frame's configuration, and the frames the models coded.
std::string describe_loas(const std::uint8_t* header, std::uint64_t modelled);

// "ADTS (LC, 44.1 kHz, stereo), 2,584 frames" from the first frame's header (7 bytes) and the
// frames found; ", stored with zstd" (or "LZMA2", or "zstd and LZMA2", as `lzma` says: none,
// only, or beside zstd) is added when none was coded by the models.
enum class LzmaUse : std::uint8_t { NONE, ONLY, BESIDE_ZSTD };
std::string describe_adts(const std::uint8_t* header, std::uint64_t frames, std::uint64_t modelled,
                          LzmaUse lzma = LzmaUse::NONE);
