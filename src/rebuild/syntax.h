// Named values of the AAC syntax that the rebuild writes, and the small tables it needs
// beside the band tables.
#pragma once

#include <cstdint>

enum ElementId : int { ID_SCE = 0, ID_CPE = 1, ID_CCE = 2, ID_LFE = 3, ID_DSE = 4, ID_PCE = 5, ID_FIL = 6, ID_END = 7 };

enum WindowSequence : int {
    ONLY_LONG_SEQUENCE = 0,
    LONG_START_SEQUENCE = 1,
    EIGHT_SHORT_SEQUENCE = 2,
    LONG_STOP_SEQUENCE = 3,
};

enum ObjectType : int { MAIN = 1, LC = 2, SSR = 3, LTP = 4, ER_FIRST = 17, LD = 23 };

enum ExtensionType : int {
    EXT_FILL = 0,
    EXT_FILL_DATA = 1,
    EXT_DATA_ELEMENT = 2,
    EXT_DYNAMIC_RANGE = 11,
    EXT_SBR_DATA = 13,
    EXT_SBR_DATA_CRC = 14,
};

// Sampling rate of a sampling_frequency_index; 0 for the indices without one.
inline std::int32_t sample_rate_of(std::int32_t sf_index) {
    constexpr std::int32_t kRates[12] = {96000, 88200, 64000, 48000, 44100, 32000,
                                         24000, 22050, 16000, 12000, 11025, 8000};
    return sf_index >= 0 && sf_index < 12 ? kRates[sf_index] : 0;
}

// Highest band that MAIN prediction covers, by sampling_frequency_index; 0 beyond the table.
inline std::int32_t pred_sfb_max_of(std::int32_t sf_index) {
    constexpr std::int32_t kPredSfbMax[12] = {33, 33, 38, 40, 40, 40, 41, 41, 37, 37, 37, 34};
    return sf_index >= 0 && sf_index < 12 ? kPredSfbMax[sf_index] : 0;
}

constexpr std::int32_t kMaxLtpSfb = 40;
