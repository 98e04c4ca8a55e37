// LOAS streams (an AudioSyncStream of AudioMuxElements: LATM as `.loas` and `.latm` files and
// broadcast carry it) as the packer splits them. A LATM frame's access unit starts at whatever
// bit its headers end on, so the models cannot take it where it lies. The split cuts each frame
// it takes in two:
// - the container stream gets the frame without its payload: the header bits (sync word,
//   length, stream mux configuration, payload length) and the bits after the payload (other
//   data, alignment) as one run of bits, padded to a byte;
// - the elementary stream gets the payload byte-aligned behind a 7-byte ADTS header made from
//   the configuration, so that the frame models code it as an ADTS file.
// Everything else goes to the container stream as it is. Whether a frame is taken follows from
// the bits of its headers and the configuration of the frames taken before, which the merge
// reads back from the container stream, so the merge is the same walk with the roles turned
// round. A frame it is unsure of stays bytes: that costs size, never exactness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The stream mux configuration a frame that says useSameStreamMux goes on with: known only when
// it is one the split takes (audioMuxVersion 0, or 1 with audioMuxVersionA 0; one program of
// one layer, one subframe,
// payload lengths in bytes, an AudioSpecificConfig of Main, LC or LTP with 1024-sample frames
// and a channel configuration 1..7, SBR and PS signalled explicitly or not).
struct LatmConfig {
    bool known = false;
    std::uint8_t object_type = 0;  // core: 1 Main, 2 LC, 4 LTP
    std::uint8_t sf_index = 0;     // core samplingFrequencyIndex 0..12
    std::uint8_t channel_config = 0;
};

// The LOAS sync word (0x2B7 in 11 bits) at the front of data[0..size), and the length of the
// frame it starts: 3 bytes and the 13-bit audioMuxLengthBytes after it (data holds 3 bytes).
inline bool is_loas_sync(const std::uint8_t* data, std::size_t size) {
    return size >= 2 && data[0] == 0x56 && (data[1] & 0xE0) == 0xE0;
}
inline std::size_t loas_frame_length(const std::uint8_t* data) {
    return 3 + ((std::size_t{data[1]} & 0x1F) << 8 | data[2]);
}

// A configuration as a chunk's head carries it: a flag byte (1 known, 0 not) and the three
// fields (zeros when not known).
constexpr std::size_t kLatmConfigBytes = 4;
void put_latm_config(const LatmConfig& config, std::uint8_t (&out)[kLatmConfigBytes]);
// False when the bytes are not what put_latm_config writes for some configuration.
bool read_latm_config(const std::uint8_t* in, LatmConfig& config);

// What a walk of a LOAS stream found.
struct LoasWalk {
    std::size_t frames = 0;       // frames taken
    std::size_t frame_bytes = 0;  // and their bytes
    std::size_t last_end = 0;     // end of the last frame taken that ends at or before the limit
    LatmConfig at_last_end;       // the configuration in effect there (the walk's start before any)
};

// Walks data[0..n) from `config` as the split does, leaving in config what is in effect after
// it.
LoasWalk walk_loas(const std::uint8_t* data, std::size_t n, LatmConfig& config, std::size_t limit);

// Whether at least half of data[0..n) is frames the split takes from `config`. The walk stops
// as soon as the answer is known.
bool mostly_loas(const std::uint8_t* data, std::size_t n, LatmConfig config);

// The configuration the first frame the split takes from no configuration gives, or none.
LatmConfig first_loas_config(const std::uint8_t* data, std::size_t n);

// Splits data[0..n) into its container stream and elementary stream (both emptied first),
// starting from `config`; returns the frames taken.
std::size_t split_loas(const std::uint8_t* data, std::size_t n, LatmConfig config, std::vector<std::uint8_t>& container,
                       std::vector<std::uint8_t>& elementary);

// Merges the two streams back into out[0..n); false when they do not make exactly n bytes or
// the elementary stream holds an ADTS header the split would not have made.
bool merge_loas(const std::uint8_t* container, std::size_t container_size, const std::uint8_t* elementary,
                std::size_t elementary_size, LatmConfig config, std::uint8_t* out, std::size_t n);
