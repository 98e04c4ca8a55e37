// Named values of the AAC syntax and the small tables beside the band tables, shared by the
// splitter and the rebuild so that both read and write with the same numbers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned kFrameLength = 1024;  // every ADTS, ADIF and raw LC/Main/LTP frame
constexpr unsigned kMaxWindowGroups = 8;
constexpr unsigned kMaxSections = 120;  // per group; also the bound of a band index in section data
constexpr unsigned kMaxBands = 52;      // scale-factor bands of a window plus the end offset

// Element ids of a raw_data_block.
constexpr std::uint8_t ID_SCE = 0;
constexpr std::uint8_t ID_CPE = 1;
constexpr std::uint8_t ID_CCE = 2;
constexpr std::uint8_t ID_LFE = 3;
constexpr std::uint8_t ID_DSE = 4;
constexpr std::uint8_t ID_PCE = 5;
constexpr std::uint8_t ID_FIL = 6;
constexpr std::uint8_t ID_END = 7;

constexpr std::uint8_t ONLY_LONG_SEQUENCE = 0;
constexpr std::uint8_t LONG_START_SEQUENCE = 1;
constexpr std::uint8_t EIGHT_SHORT_SEQUENCE = 2;
constexpr std::uint8_t LONG_STOP_SEQUENCE = 3;

// Audio object types (an ADTS profile + 1).
constexpr std::uint8_t MAIN_OBJECT = 1;
constexpr std::uint8_t LC_OBJECT = 2;
constexpr std::uint8_t SSR_OBJECT = 3;
constexpr std::uint8_t LTP_OBJECT = 4;
constexpr std::uint8_t ER_OBJECT_START = 17;  // error-resilient types from here on
constexpr std::uint8_t LD_OBJECT = 23;        // low delay: 512-line frames

// Extension payload types of a fill element.
constexpr unsigned EXT_FILL = 0;
constexpr unsigned EXT_FILL_DATA = 1;
constexpr unsigned EXT_DATA_ELEMENT = 2;
constexpr unsigned EXT_DYNAMIC_RANGE = 11;
constexpr unsigned EXT_SBR_DATA = 13;
constexpr unsigned EXT_SBR_DATA_CRC = 14;

// Sampling rate of each 4-bit sampling_frequency_index (13..15 are reserved).
constexpr std::int32_t kSamplingFrequencies[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                                   16000, 12000, 11025, 8000,  7350,  0,     0,     0};
// Sampling rate of an index the band tables cover (0..11); 0 for the others.
inline std::int32_t sample_rate_of(std::int32_t sf_index) {
    return sf_index >= 0 && sf_index < 12 ? kSamplingFrequencies[sf_index] : 0;
}

// Bands that Main prediction covers at most, by sampling_frequency_index; 0 beyond the table.
inline std::int32_t pred_sfb_max_of(std::int32_t sf_index) {
    constexpr std::int32_t kPredSfbMax[12] = {33, 33, 38, 40, 40, 40, 41, 41, 37, 37, 37, 34};
    return sf_index >= 0 && sf_index < 12 ? kPredSfbMax[sf_index] : 0;
}

constexpr std::int32_t kMaxLtpSfb = 40;  // long-term prediction covers at most 40 bands

// The ADTS syncword (twelve one bits) with layer 0 at the front of data: where an ADTS
// frame starts.
inline bool is_adts_sync(const std::uint8_t* data, std::size_t size) {
    return size >= 2 && data[0] == 0xFF && (data[1] & 0xF6) == 0xF0;
}

// Fields of the fixed ADTS header at data (at least its first 6 bytes):
// sampling_frequency_index, and aac_frame_length, 13 bits from bit 30 (the low 2 bits of
// byte 3, byte 4, the top 3 bits of byte 5), with the header and any CRC counted.
inline unsigned adts_sf_index(const std::uint8_t* data) { return (data[2] >> 2) & 0xFu; }
inline std::size_t adts_frame_length(const std::uint8_t* data) {
    return (static_cast<std::size_t>(data[3] & 3u) << 11) | (std::size_t{data[4]} << 3) | (data[5] >> 5);
}
// Sets aac_frame_length to `length` (below 2^13), leaving the other header bits as they are.
inline void set_adts_frame_length(std::uint8_t* data, std::size_t length) {
    data[3] = static_cast<std::uint8_t>((data[3] & 0xFCu) | (length >> 11));
    data[4] = static_cast<std::uint8_t>(length >> 3);
    data[5] = static_cast<std::uint8_t>((data[5] & 0x1Fu) | ((length & 7u) << 5));
}

// How a stream opens: with an ADTS frame, an ADIF header, or neither (raw frames whose
// settings come from outside the stream).
enum HeaderKind : int { HEADER_RAW = 0, HEADER_ADTS = 1, HEADER_ADIF = 2 };

inline HeaderKind detect_header_kind(const std::uint8_t* data, std::size_t size) {
    if (is_adts_sync(data, size)) return HEADER_ADTS;
    if (size >= 4 && data[0] == 'A' && data[1] == 'D' && data[2] == 'I' && data[3] == 'F') return HEADER_ADIF;
    return HEADER_RAW;
}
