// The window grouping both directions derive from ics_info: windows, groups, band count and
// band offsets, from window_sequence, scale_factor_grouping and the sampling rate.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "aac/aac_tables.h"
#include "aac/syntax.h"

// A channel's window layout and sections, as ics_info and section_data give them: the part
// of a channel the splitter's record and the packed form's walk both keep.
struct IcsLayout {
    std::uint8_t window_sequence = 0;
    std::uint8_t max_sfb = 0;
    std::uint8_t scale_factor_grouping = 0;
    std::uint8_t num_windows = 1;
    std::uint8_t num_window_groups = 1;
    std::uint8_t num_swb = 0;
    std::array<std::uint8_t, kMaxWindowGroups> window_group_length{};
    std::array<std::uint16_t, kMaxBands> swb_offset{};
    std::array<std::array<std::uint16_t, kMaxBands>, kMaxWindowGroups> sect_sfb_offset{};
    std::array<std::uint8_t, kMaxWindowGroups> num_sec{};
    // per group: each section's codebook and bands [sect_start, sect_end); each band's codebook
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sect_cb{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sect_start{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sect_end{};
    std::array<std::array<std::uint8_t, kMaxSections>, kMaxWindowGroups> sfb_cb{};
};

// Fills num_windows, num_window_groups, window_group_length, num_swb, swb_offset and
// sect_sfb_offset of `ics` (the splitter's channel record, the packed form's IcsLayout or the
// rebuild's frame state, whose field types differ) from its window_sequence and scale_factor_grouping. `frame_length` is
// 1024, or 512 with the low-delay band table. Returns false for a sampling frequency index
// without band tables: the layout then has no bands, its offsets ending at the window length.
template <class Ics>
bool group_windows(Ics& ics, int sf_index, bool low_delay, int frame_length) {
    using Count = std::remove_reference_t<decltype(ics.num_swb)>;
    using Offset = std::remove_reference_t<decltype(ics.swb_offset[0])>;
    using GroupOffset = std::remove_reference_t<decltype(ics.sect_sfb_offset[0][0])>;
    using GroupLength = std::remove_reference_t<decltype(ics.window_group_length[0])>;
    const bool known_rate = sf_index >= 0 && sf_index < 12;
    const bool short_windows = ics.window_sequence == EIGHT_SHORT_SEQUENCE;
    const SwbTable* table = nullptr;
    if (known_rate) {
        table = short_windows ? &kSwb_short128[sf_index] : low_delay ? &kSwb_long512[sf_index] : &kSwb_long1024[sf_index];
    }
    const int num_swb = table != nullptr ? table->num_swb : 0;
    const int window_length = short_windows ? frame_length / 8 : frame_length;
    ics.num_swb = static_cast<Count>(num_swb);
    for (int sfb = 0; sfb < num_swb; ++sfb) ics.swb_offset[sfb] = static_cast<Offset>(table->offsets[sfb]);
    ics.swb_offset[num_swb] = static_cast<Offset>(window_length);
    for (auto& length : ics.window_group_length) length = 0;
    ics.window_group_length[0] = 1;
    ics.num_window_groups = 1;
    ics.num_windows = short_windows ? 8 : 1;
    if (short_windows) {
        // A set bit of scale_factor_grouping puts window w + 1 into the group of window w.
        for (int w = 1; w < 8; ++w) {
            if ((ics.scale_factor_grouping >> (7 - w)) & 1) {
                ics.window_group_length[ics.num_window_groups - 1] += 1;
            } else {
                ics.num_window_groups += 1;
                ics.window_group_length[ics.num_window_groups - 1] = static_cast<GroupLength>(1);
            }
        }
    }
    for (int g = 0; g < ics.num_window_groups; ++g) {
        int offset = 0;
        for (int sfb = 0; sfb < num_swb; ++sfb) {
            ics.sect_sfb_offset[g][sfb] = static_cast<GroupOffset>(offset);
            offset += (ics.swb_offset[sfb + 1] - ics.swb_offset[sfb]) * ics.window_group_length[g];
        }
        ics.sect_sfb_offset[g][num_swb] = static_cast<GroupOffset>(offset);
    }
    return known_rate;
}
