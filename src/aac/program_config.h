// program_config_element and the ADIF header that carries them: parsed, never emitted.
#pragma once

#include <cstdint>

#include "aac/bit_reader.h"

struct ProgramConfig {
    std::uint8_t element_instance_tag = 0;
    std::uint8_t object_type = 0;
    std::uint8_t sampling_frequency_index = 0;
    unsigned channels = 0;  // front, side and back channels (2 per pair) plus LFE channels
};

// Reads one program_config_element, including its byte alignment (relative to the first
// byte of the reader) and its comment field.
void read_program_config_element(BitReader& br, ProgramConfig& pce);

struct AdifHeader {
    std::uint8_t bitstream_type = 0;
    std::uint8_t num_program_config_elements = 0;
    ProgramConfig first_pce;  // the one the decoder takes its parameters from
};

// Reads the ADIF header from its "ADIF" id up to its program config elements and the byte
// alignment after them. Returns false when the id is missing.
bool read_adif_header(BitReader& br, AdifHeader& adif);
