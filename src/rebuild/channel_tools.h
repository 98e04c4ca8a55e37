// The three optional tools between scale factors and spectral data: pulse and gain-control
// flags (never carried: the stored values already hold the pulses) and TNS data.
#pragma once

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

int write_pulse_absent(BitSink& sink);         // pulse_data_present = 0; returns 1
int write_gain_control_absent(BitSink& sink);  // gain_control_data_present = 0; returns 1

// tns_data_present and tns_data from the TNS stream; returns the bits written. In 'static
// compression' mode without -t exactly one 0 bit and nothing read.
int write_tns_data(DecompressContext& ctx, BitSink& sink);
