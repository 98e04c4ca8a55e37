// What packing counts about its chunks: the coded bits of each field family (for --pack-stats
// and the bench) and how many frames were modelled or kept raw.
#pragma once

#include <cstdint>
#include <string>

// Coded bits per field family, counted while packing when asked for (bench and debug).
enum PackFamily : int {
    FAMILY_ADTS = 0,      // ADTS headers and CRC words
    FAMILY_STRUCTURE,     // element ids, tags, common_window, ms data, flags
    FAMILY_ICS_INFO,      // global gain and ics_info
    FAMILY_SECTIONS,      // section data
    FAMILY_SCALEFACTORS,  // scale factors, noise energies, intensity positions
    FAMILY_MAGNITUDES,    // spectral magnitudes
    FAMILY_SIGNS,         // spectral signs
    FAMILY_ESCAPES,       // escape sequences: a magnitude of 16 or more, less 16
    FAMILY_TOOLS,         // pulse, TNS, gain control, prediction
    FAMILY_FILL,          // fill, data stream and program config elements, SBR payloads
    FAMILY_RAW,           // frames and bytes no model describes
    FAMILY_CONTAINER,     // a container's own bytes: boxes, sample tables, tags, other tracks
    FAMILY_COUNT
};

struct PackStats {
    // Counting per family costs about a fiftieth of the encoding time; without it the bits of a
    // modelled frame are counted whole in frame_bits.
    bool by_family = false;
    std::uint64_t bits[FAMILY_COUNT] = {};  // coded size in 1/256 bit is not needed: whole bits
    std::uint64_t frame_bits = 0;
    std::uint64_t frames_modelled = 0;      // frames coded field by field
    std::uint64_t frames_raw = 0;           // frames stored as raw bytes
    std::uint64_t other_bytes = 0;          // bytes outside frames (tags, junk, container boxes)
};

// A count as the console shows it: 12,369,827.
inline std::string with_thousands(std::uint64_t v) {
    std::string digits = std::to_string(v);
    for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}
