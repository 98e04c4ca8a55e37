// Program config elements and the ADIF header. The splitter and the packed form need only their
// length and, for ADIF, the object type, sampling rate and channels of the first program.
#include "aac/program_config.h"

void read_program_config_element(BitReader& br, ProgramConfig& pce) {
    pce.element_instance_tag = static_cast<std::uint8_t>(get_bits(br, 4));
    pce.object_type = static_cast<std::uint8_t>(get_bits(br, 2));
    pce.sampling_frequency_index = static_cast<std::uint8_t>(get_bits(br, 4));
    const unsigned num_front_channel_elements = get_bits(br, 4);
    const unsigned num_side_channel_elements = get_bits(br, 4);
    const unsigned num_back_channel_elements = get_bits(br, 4);
    const unsigned num_lfe_channel_elements = get_bits(br, 2);
    const unsigned num_assoc_data_elements = get_bits(br, 3);
    const unsigned num_valid_cc_elements = get_bits(br, 4);
    if (get_bit(br)) (void)get_bits(br, 4);  // mono_mixdown_element_number
    if (get_bit(br)) (void)get_bits(br, 4);  // stereo_mixdown_element_number
    if (get_bit(br)) (void)get_bits(br, 3);  // matrix_mixdown_idx, pseudo_surround_enable
    pce.channels = 0;
    const unsigned channel_elements = num_front_channel_elements + num_side_channel_elements + num_back_channel_elements;
    for (unsigned i = 0; i < channel_elements; ++i) {
        const unsigned is_cpe = get_bit(br);
        (void)get_bits(br, 4);  // element_tag_select
        pce.channels += is_cpe ? 2 : 1;
    }
    for (unsigned i = 0; i < num_lfe_channel_elements; ++i) {
        (void)get_bits(br, 4);
        ++pce.channels;
    }
    for (unsigned i = 0; i < num_assoc_data_elements; ++i) (void)get_bits(br, 4);
    for (unsigned i = 0; i < num_valid_cc_elements; ++i) (void)get_bits(br, 5);  // is_ind_sw, tag_select
    byte_align(br);
    const unsigned comment_field_bytes = get_bits(br, 8);
    skip_bits(br, 8u * comment_field_bytes);
}

bool read_adif_header(BitReader& br, AdifHeader& adif) {
    if (get_bits(br, 32) != 0x41444946u) return false;  // "ADIF"
    if (get_bit(br)) skip_bits(br, 72);             // copyright_id
    (void)get_bits(br, 2);                               // original_copy, home
    adif.bitstream_type = static_cast<std::uint8_t>(get_bit(br));
    (void)get_bits(br, 23);  // bitrate
    adif.num_program_config_elements = static_cast<std::uint8_t>(get_bits(br, 4));
    for (unsigned i = 0; i <= adif.num_program_config_elements; ++i) {
        if (adif.bitstream_type == 0) (void)get_bits(br, 20);  // adif_buffer_fullness
        ProgramConfig pce;
        read_program_config_element(br, pce);
        if (i == 0) adif.first_pce = pce;
    }
    byte_align(br);
    return true;
}
