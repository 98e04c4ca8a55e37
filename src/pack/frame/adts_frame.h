// The lossless parse of one ADTS frame into a FrameRecord and the writer that turns a record
// back into the frame's bytes. The packed form codes a frame field by field only when writing
// its record gives back exactly the bytes it came from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/format/pack_result.h"
#include "pack/frame/frame_record.h"
#include "aac/bit_sink.h"

// The parse and the write of one frame give PACK_OK, or PACK_NOT_DESCRIBED when the frame is
// not one the record describes (it is then carried as bytes).

// Length of an ADTS frame starting at data (syncword 0xFFF, layer 0, a sampling index with a
// rate, a frame length covering at least the header and lying within size); 0 when there is
// no such frame there.
std::size_t adts_frame_candidate(const std::uint8_t* data, std::size_t size);

// Copies the 7-byte header of the first frame candidate in data[0..size) to header; false when
// there is none.
bool first_adts_header(const std::uint8_t* data, std::size_t size, std::uint8_t (&header)[7]);

// Parses the frame data[0..size) (size = its frame length) into rec.
[[nodiscard]] PackResult parse_adts_frame(const std::uint8_t* data, std::size_t size, FrameRecord& rec);

struct FrameContext;

// The same for one access unit data[0..size) of a track whose configuration says fc: a raw
// data block, its alignment and trailing bytes up to size.
[[nodiscard]] PackResult parse_access_unit(const std::uint8_t* data, std::size_t size, const FrameContext& fc,
                                                 FrameRecord& rec);
// Length of the access unit at the front of data[0..size) of a stream without unit lengths
// (ADIF, headerless): where its raw data block and alignment end; 0 when none parses there.
std::size_t access_unit_length(const std::uint8_t* data, std::size_t size, const FrameContext& fc,
                               FrameRecord& rec);
[[nodiscard]] PackResult write_access_unit(const FrameRecord& rec, const FrameContext& fc, std::uint8_t* out,
                                                 std::size_t capacity, std::size_t& length);

// Writes rec as an ADTS frame into out (capacity bytes, at least kMaxFrameBytes + 8 for any
// frame) and sets its length; the frame length field is derived from what was written.
[[nodiscard]] PackResult write_adts_frame(const FrameRecord& rec, std::uint8_t* out, std::size_t capacity,
                                                std::size_t& length);

// The writing halves, shared with the decoding coder that writes as it decodes.
bool put_scale_factor_codeword(BitSink& sink, unsigned index);
bool put_spectral_values(BitSink& sink, int cb, const std::int32_t* v, std::size_t count);
// The same for lines a model decoded, without the range check: the models code no magnitude
// beyond the book's largest and no escape beyond its limit, the band encoder clamps whatever
// else a damaged payload could give, and the chunk's checksum rejects the frame that makes.
// The check cost 1-2% of unpacking.
bool put_decoded_values(BitSink& sink, int cb, const std::int32_t* v, std::size_t count);
// Sets the 13-bit frame length of a written frame; false when it does not fit.
bool patch_frame_length(BitSink& sink);
