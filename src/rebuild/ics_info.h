// ics_info with its prediction and long-term-prediction data, and the window grouping that
// the section, scale-factor and spectral writers rely on.
#pragma once

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"

// Copies ics_info from `src` and derives the window grouping. Returns the bits written, or a
// negative count when the ICSI data are malformed: a values line that ran out, or a max_sfb
// beyond the band table of the sampling rate (which later writers would index past).
int write_ics_info(DecompressContext& ctx, FieldSource& src, BitSink& sink);

// ics_info of a single channel element: the ICSI stream opened for this one call. Returns 0
// when the stream has nothing for the frame, else as write_ics_info.
int write_sce_ics_info(DecompressContext& ctx, BitSink& sink);

// Copies ltp_data; returns the bits written.
int write_ltp_data(DecompressContext& ctx, FieldSource& src, BitSink& sink);

// The "Wrong ICSInfo structure" stop: prints the message and sets the run's exit status 1.
void stop_wrong_ics_info(DecompressContext& ctx);
