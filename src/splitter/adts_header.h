// The ADTS header at the front of every frame: parsed for initialisation (nothing emitted)
// and for every frame (its fields on the ADTS stream, fewer of them in static mode).
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"
#include "splitter/splitter.h"

struct AdtsHeader {
    std::uint16_t syncword = 0;
    std::uint8_t id = 0;
    std::uint8_t layer = 0;
    std::uint8_t protection_absent = 0;
    std::uint8_t profile = 0;
    std::uint8_t sampling_frequency_index = 0;
    std::uint8_t private_bit = 0;
    std::uint8_t channel_configuration = 0;
    std::uint8_t original_copy = 0;
    std::uint8_t home = 0;
    std::uint8_t copyright_identification_bit = 0;
    std::uint8_t copyright_identification_start = 0;
    std::uint16_t aac_frame_length = 0;
    std::uint16_t adts_buffer_fullness = 0;
    std::uint8_t number_of_raw_data_blocks_in_frame = 0;
    std::uint16_t crc_check = 0;
};

// Reads one header (searching up to 768 bytes for the syncword). With `emit` set its fields
// go to the ADTS stream. Returns 0, kStatusNoSyncword, or kStatusStaticStereoStop when
// static mode meets more than one channel (checked with and without emission).
[[nodiscard]] Status read_adts_header(SplitContext& ctx, BitReader& br, AdtsHeader& h, bool emit);
