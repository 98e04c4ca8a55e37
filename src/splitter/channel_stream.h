// What the splitter learns about one channel while parsing its individual_channel_stream:
// window layout, band offsets, sections and the optional tools that shape later fields.
#pragma once

#include <array>
#include <cstdint>

#include "aac/status.h"
#include "aac/syntax.h"
#include "aac/window_grouping.h"

struct PulseInfo {
    std::uint8_t number_pulse = 0;
    std::uint8_t pulse_start_sfb = 0;
    std::array<std::uint8_t, 4> pulse_offset{};
    std::array<std::uint8_t, 4> pulse_amp{};
};

struct ChannelStream : IcsLayout {
    std::uint8_t window_shape = 0;
    std::uint8_t global_gain = 0;
    std::uint8_t noise_used = 0;
    std::uint8_t predictor_data_present = 0;
    std::uint8_t pulse_data_present = 0;
    std::uint8_t tns_data_present = 0;
    std::uint8_t gain_control_data_present = 0;
    PulseInfo pulse;
};
