// A bounded, read-only walk of the ISO base media file family (MP4, M4A, MOV, 3GP): where the
// AAC access units of a file lie and the frame context each track's AudioSpecificConfig gives
// them. The walk trusts no size it reads: every count is checked against the box it sits in,
// every sample against the file, and fixed limits cap depth, boxes, tracks and samples, so a
// hostile file costs bounded time and memory. What it cannot understand yields no samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pack/io/byte_stream.h"

// The frame context of an AAC track, from its AudioSpecificConfig.
struct AacTrack {
    std::uint32_t track_id = 0;
    std::uint8_t object_type = 2;     // core object type the access units are coded with: 1 Main, 2 LC, 4 LTP
    std::uint8_t sf_index = 0;        // core samplingFrequencyIndex 0..12
    std::uint8_t channel_config = 0;  // 0 (a program config element) .. 7
    bool sbr = false, ps = false;     // explicit (AOT 5/29) or hierarchical signalling seen
    std::uint32_t sample_rate = 0;    // output rate for display: the SBR extension rate when signalled, else core
    std::uint64_t samples = 0;        // access units of this track taken into `samples` below
};

constexpr std::uint32_t kNoSizeEntry = 0xFFFFFFFFu;

struct SampleExtent {
    std::uint64_t offset = 0;
    std::uint32_t entry = kNoSizeEntry;  // its entry in its track's size table, if it has one
    std::uint16_t size = 0;              // at most kWalkMaxSampleBytes
    std::uint16_t track = 0;             // index into ContainerLayout::tracks
};
static_assert(sizeof(SampleExtent) <= 16, "a million samples take 16 MB");

// A track's table of sample sizes as 32-bit entries (stsz, or a fragment's trun that gives
// sizes alone), where it lies in the file. Entry k is the size of the sample the samples name
// by `entry` first_entry + k (a trak's samples from 0, its fragments' after them, in order);
// the packer derives the entries that hold their access unit's length instead of storing them.
struct SizeTable {
    std::uint64_t offset = 0;  // of entry 0
    std::uint32_t count = 0;   // entries within the box
    std::uint16_t track = 0;
    std::uint32_t first_entry = 0;
};

// A 32-bit table of the index whose entries may be places of the modelled tracks' stretches of
// access units (see chunk_units.h): any track's chunk offsets (stco), and the sample sizes of a
// track that is not modelled (a video track's, where each chunk holds one sample).
struct PlaceTable {
    std::uint64_t offset = 0;  // of entry 0
    std::uint32_t count = 0;   // entries within the box
    bool sizes = false;        // sample sizes rather than chunk offsets
};

enum class ContainerKind : std::uint8_t { NONE, ISO_MEDIA, FLV, MATROSKA };

struct ContainerLayout {
    ContainerKind kind = ContainerKind::NONE;
    char brand[5] = {};                 // ISO media: ftyp major brand ("M4A ", "isom", "qt  ", "3gp4"...), empty without
                                        // ftyp; Matroska: "webm" for WebM, else empty
    bool fragmented = false;            // ISO media: an mvex in the index or a moof at the top level
    bool guessed_tracks = false;        // ISO media: fragments without an index (a lone segment); the tracks'
                                        // frame context is unknown, each a track the fragments name
    unsigned other_tracks = 0;          // tracks that are not modelled AAC (video, text, ALAC, enca, 960-sample AAC...)
    std::vector<AacTrack> tracks;       // the modelled AAC tracks
    std::vector<SampleExtent> samples;  // their access units: sorted by offset, none overlapping, each within the file
    std::vector<SizeTable> size_tables;  // of the modelled tracks, 32-bit tables only
    std::vector<PlaceTable> place_tables;  // of a file with an index (moov)
};

// The walk's fixed limits, whatever the file claims.
constexpr unsigned kWalkMaxDepth = 16;               // nesting of boxes below the top level
constexpr unsigned kWalkMaxBoxes = 100000;           // box headers read in one walk
constexpr std::size_t kWalkMaxSamples = 1000000;     // samples taken; beyond, the walk stops taking
constexpr std::size_t kWalkMaxTracks = 64;           // trak boxes looked at; later ones count as other tracks
constexpr std::uint32_t kWalkMaxSampleBytes = 8191;  // the largest access unit an ADTS frame could carry

// The frame context an AudioSpecificConfig gives, when it is one the frame models describe:
// core object type Main, LC or LTP, a sampling index 0..12, 1024-sample frames, channel
// configuration 0..7. False otherwise (track's fields then unspecified).
bool read_audio_specific_config(const std::uint8_t* asc, std::size_t n, AacTrack& track);

// True when the first bytes (up to 16) start like an ISO media file: an `ftyp` box, or a `moov`, `mdat`, `free`,
// `skip` or `wide` box, or a segment's `styp`, `sidx` or `moof` (a cheap test; walk_container decides).
bool looks_like_iso_media(const std::uint8_t* head, std::size_t n);

// Walks the box tree. Returns false (layout.kind NONE) when the file is not ISO media: top-level box sizes must chain
// exactly to the end of the file, except that a last box may have size 0 ("to the end") or be cut short by the end of
// the file (a truncated file still counts, its samples beyond the end dropped). Never fails otherwise: what it cannot
// understand simply yields no samples.
bool walk_container(const RandomReader& in, ContainerLayout& layout);
