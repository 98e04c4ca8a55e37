// What the splitter learns about one channel while parsing its individual_channel_stream:
// window layout, band offsets, sections and the optional tools that shape later fields.
#pragma once

#include <array>
#include <cstdint>

#include "aac/syntax.h"

using Status = std::uint8_t;  // 0 = ok, otherwise a decoder error code


constexpr unsigned kFrameLength = 1024;  // every ADTS, ADIF and raw LC/Main/LTP frame
constexpr unsigned kMaxWindowGroups = 8;
constexpr unsigned kMaxSections = 120;  // per group; also the bound of a band index in section data
constexpr unsigned kMaxBands = 52;      // scale-factor bands of a window plus the end offset

// Status codes shared by the syntax routines (the decoder library's numbers).
constexpr Status kStatusGainControl = 1;
constexpr Status kStatusPulseShort = 2;
constexpr Status kStatusNegativeScalefactor = 4;
constexpr Status kStatusNoSyncword = 5;
constexpr Status kStatusCoupling = 6;
constexpr Status kStatusScalefactorHuffman = 9;
constexpr Status kStatusHuffmanCodeword = 10;
constexpr Status kStatusNoSuchCodebook = 11;
constexpr Status kStatusChannelCount = 12;
constexpr Status kStatusElementCount = 13;
constexpr Status kStatusBufferTooSmall = 14;
constexpr Status kStatusIndexRange = 15;
constexpr Status kStatusBandCount = 16;
constexpr Status kStatusLtpLag = 18;
constexpr Status kStatusConfigChange = 21;
constexpr Status kStatusSbrAtBlockLevel = 24;
constexpr Status kStatusPceNotFirst = 31;
// The decoder library's code for a syntax value it refuses outright: a set ics_reserved_bit,
// the reserved codebook 12, sections that overshoot max_sfb, max_sfb above the band count,
// an unusable sampling frequency index. The splitter refuses the same frames the same way.
constexpr Status kStatusBadSyntax = 32;
// Error-resilient syntax (reversible scale-factor codes, reordered spectral data) is not
// built: ADTS and ADIF profiles and raw LC input never select it.
constexpr Status kStatusErrorResilience = 7;

struct PulseInfo {
    std::uint8_t number_pulse = 0;
    std::uint8_t pulse_start_sfb = 0;
    std::array<std::uint8_t, 4> pulse_offset{};
    std::array<std::uint8_t, 4> pulse_amp{};
};

struct ChannelStream {
    std::uint8_t window_sequence = 0;
    std::uint8_t window_shape = 0;
    std::uint8_t max_sfb = 0;
    std::uint8_t scale_factor_grouping = 0;
    std::uint8_t num_windows = 1;
    std::uint8_t num_window_groups = 1;
    std::uint8_t num_swb = 0;
    std::array<std::uint8_t, kMaxWindowGroups> window_group_length{};
    std::array<std::uint16_t, kMaxBands> swb_offset{};
    std::array<std::array<std::uint16_t, kMaxBands>, kMaxWindowGroups> sect_sfb_offset{};
    std::array<std::uint8_t, kMaxWindowGroups> num_sec{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sect_cb{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sect_start{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sect_end{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sfb_cb{};
    std::uint8_t global_gain = 0;
    std::uint8_t noise_used = 0;
    std::uint8_t predictor_data_present = 0;
    std::uint8_t pulse_data_present = 0;
    std::uint8_t tns_data_present = 0;
    std::uint8_t gain_control_data_present = 0;
    PulseInfo pulse;
};
