// A bounded, read-only walk of a Matroska or WebM file (EBML): the AAC tracks its Tracks
// element describes (codec ID "A_AAC..." with an AudioSpecificConfig as CodecPrivate, no
// content encoding) and the frames of their blocks, SimpleBlock or Block in a BlockGroup, with
// no lacing or with Xiph, EBML or fixed-size lacing. Clusters of unknown size (live
// recordings) end where the next element of the segment's level begins. Everything else
// (Cues, SeekHead, tags, attachments, other tracks' blocks) is stepped over by its size and
// stays the container's bytes; the walk stops at the first element it cannot read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/container/container_walk.h"
#include "pack/io/byte_stream.h"

// Element headers read in one walk at most, whatever the file holds.
constexpr std::size_t kMkvMaxElements = 8000000;

// True when the first bytes (at least 4) are an EBML header's ID.
bool looks_like_matroska(const std::uint8_t* head, std::size_t n);

// Walks the file. Returns false (layout.kind NONE) when it does not start with an EBML header
// whose DocType is "matroska" or "webm"; never fails otherwise. layout.brand is "webm" for
// WebM, empty for Matroska; layout.tracks holds the modelled AAC tracks in the order of their
// entries, layout.other_tracks counts the rest.
bool walk_matroska(const RandomReader& in, ContainerLayout& layout);
