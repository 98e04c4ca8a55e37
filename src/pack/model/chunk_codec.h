// One chunk of the packed form: a run of whole input units (ADTS frames, tags, bytes between
// them) coded into a self-contained payload and back. Chunks share no model state, so each
// can be packed, unpacked and checked on its own, on any core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pack/format/chunk_units.h"
#include "pack/format/pack_format.h"
#include "pack/format/pack_result.h"
#include "pack/format/pack_stats.h"

// Length of the next chunk at the front of data[0..size): whole ADTS frames up to max_frames
// (and, when target_bytes is not 0, up to the frame that brings the chunk to target_bytes),
// or, where no frames are found, up to max_bytes of other bytes. When more input may follow
// (at_end false), a unit that may continue past size is not cut; 0 then means "give me more".
// With at_end true the result is never 0 for size > 0.
std::size_t next_chunk_length(const std::uint8_t* data, std::size_t size, bool at_end, std::size_t max_frames,
                              std::size_t max_bytes, std::size_t target_bytes = 0);

// Codes data[0..size) into payload (cleared first). stats, when given, receives the coded bits
// per family. Returns PACK_OK, or why the chunk cannot be coded (the caller stores it another
// way).
//
// With check_frames, a frame is modelled only when its parsed record writes back to the same
// bytes, and stored raw otherwise. Without it, every frame that parses is modelled and the
// caller must decode the payload and compare: a frame that does not write back then shows as
// a mismatch, and the chunk is to be coded again with the check. Writing every frame back
// costs about a tenth of encoding, and real frames almost always pass.
//
// With units, the chunk is taken as the container's bytes and those access units instead of
// being searched for ADTS frames, and the payload is one of units (decode_chunk must be told).
//
// version is the format version whose models code the payload; a payload decodes only with
// the version it was coded with.
//
// With runs_apart (and units), the container's runs between the units are not coded: the
// payload holds only their lengths, and decode_chunk, told the same, leaves them for the
// caller to fill in (container_runs says where they are).
[[nodiscard]] PackResult encode_chunk(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& payload,
                                      PackStats* stats, bool check_frames = true,
                                      const std::vector<ChunkUnit>* units = nullptr,
                                      unsigned version = kPackFormatVersion, bool runs_apart = false);

// encode_chunk of ADTS frames on version 4's models as `model` holds them (with the state of a
// chunk's own stream, its channel histories and last values, cleared first), leaving them as
// the chunk left them: how the models' starting state is trained and tried
// (tools/train_priors.cpp).
namespace gen4 {
struct Model;
}
[[nodiscard]] PackResult encode_chunk_on(gen4::Model& model, const std::uint8_t* data, std::size_t size,
                                         std::vector<std::uint8_t>& payload);

// Decodes a payload made by encode_chunk into exactly original_size bytes at out. Returns
// PACK_OK, or the reason the payload is damaged (it then may have written anything within out,
// never past it).
// A payload of units reports its access units and size tables in trace when given (the
// tables are then left as zeros for the caller to fill in). A payload coded with its runs
// apart leaves their bytes as they were in out.
[[nodiscard]] PackResult decode_chunk(const std::uint8_t* payload, std::size_t payload_size, std::uint8_t* out,
                                      std::size_t original_size, bool units = false, UnitTrace* trace = nullptr,
                                      unsigned version = kPackFormatVersion, bool runs_apart = false);
