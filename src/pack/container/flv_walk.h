// A bounded, read-only walk of an FLV file: the AAC access units of its audio tags and the
// frame context the AAC sequence header before them gives. Tags are followed by their sizes
// from the file header on; the walk stops at the first tag that cannot be one (unknown type,
// reserved bits set, or cut short by the end of the file), whose bytes then stay the
// container's. Raw AAC tags before any sequence header the models describe are not taken.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/container/container_walk.h"
#include "pack/io/byte_stream.h"

// Tags read in one walk at most, whatever the file holds (a million access units, as many
// video tags, and some to spare).
constexpr std::size_t kFlvMaxTags = 4000000;

// True when the first bytes (at least 9) are an FLV file header: "FLV", version 1, and a
// header length of at least its own 9 bytes.
bool looks_like_flv(const std::uint8_t* head, std::size_t n);

// Walks the tags. Returns false (layout.kind NONE) when the file has no FLV header; never fails
// otherwise. layout.tracks holds each AAC configuration met, in order (a stream whose sequence
// header changes has several), layout.other_tracks is 1 when video tags were seen.
bool walk_flv(const RandomReader& in, ContainerLayout& layout);
