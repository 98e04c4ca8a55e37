// What the splitter learns about one channel while parsing its individual_channel_stream:
// window layout, band offsets, sections and the optional tools that shape later fields.
#pragma once

#include <array>
#include <cstdint>

#include "aac/status.h"
#include "aac/syntax.h"

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
