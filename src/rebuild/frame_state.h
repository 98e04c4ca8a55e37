// Per-file record of the rebuild: header fields, window grouping, sections, element fields
// and the spectral writer's scratch. Most fields keep their value from frame to frame.
#pragma once

#include <array>
#include <cstdint>

#include "aac/syntax.h"

constexpr int kMaxGroups = static_cast<int>(kMaxWindowGroups);
constexpr int kMaxSfb = 51;
constexpr int kFrameBufferSize = 8192;  // the largest ADTS frame (13-bit length) fits

struct FrameState {
    std::int32_t syncword = 0, id = 0, layer = 0, protection_absent = 0, private_bit = 0;
    std::int32_t original_copy = 0, home = 0;
    std::int32_t copyright_identification_bit = 0, copyright_identification_start = 0;
    std::int32_t adts_buffer_fullness = 0, number_of_raw_data_blocks_in_frame = 0;
    std::int32_t aac_frame_length = 0;
    std::int32_t object_type = 0;  // profile + 1
    std::int32_t sf_index = 0;
    std::int32_t sect_sfb_offset[kMaxGroups][kMaxSections] = {};
    std::int32_t swb_offset[52] = {};
    std::int32_t window_sequence = 0, max_sfb = 0, frame_length = 1024, channel_configuration = 0;
    std::int32_t band_codebook[128] = {};
    std::int32_t quant_spectrum[1024] = {};
    std::int32_t global_gain = 0, num_windows = 1, num_window_groups = 1;
    std::int32_t window_group_length[8] = {};
    std::int32_t num_swb = 0, scale_factor_grouping = 0;
    std::int32_t sfb_cb[kMaxGroups][kMaxSections] = {};
    std::int32_t sect_cb[kMaxGroups][kMaxSections] = {};
    std::int32_t sect_start[kMaxGroups][kMaxSections] = {};
    std::int32_t sect_end[kMaxGroups][kMaxSections] = {};
    std::int32_t num_sec[kMaxGroups] = {};
    std::int32_t id_syn_ele = 0, element_instance_tag = 0, common_window = 0, ms_mask_present = 0;
    std::int32_t ms_used[kMaxGroups][kMaxSfb] = {};
    std::int32_t predictor_data_present = 0, window_shape = 0;
    std::int32_t pulse_data_present = 0, gain_control_data_present = 0;
    std::int32_t next_element_id = 0;
    std::int32_t channel_index = 1;
};
