// The splitter: the program's own parse of every AAC frame, beside the decoder library,
// handing every syntax field to the stream set.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vector>

#include "aac/bit_reader.h"
#include "splitter/channel_stream.h"
#include "streams/stream_set.h"

// What a compression run asks of the splitter; the front end builds it from the command line.
struct SplitSettings {
    double cut_lo_hz = 0.0;           // -l: spectral lines below it are left out of the value lines
    double cut_hi_hz = 0.0;           // -h: lines above it likewise; 0 = half the sampling rate
    bool static_compression = false;  // -s
    bool static_tns = false;          // -t
};

// What one compression run's splitter keeps between frames.
struct SplitContext {
    SplitSettings settings;
    StreamSet* streams = nullptr;
    // The lines of a channel that go to its value line, [value_start, value_end): fixed
    // for the run once split_init knows the sampling rate.
    unsigned value_start = 0;
    unsigned value_end = 0;
    std::uint8_t first_header = 1;        // -s: id, profile, sf_index, channel_configuration once
    std::uint8_t first_block = 1;         // -s: SCE id/tag, next id, pulse/gain flags once
    std::uint8_t first_window_shape = 1;  // -s: window_shape once
    std::uint8_t fill_values_done = 0;    // fill elements get CSV values until the first one ends
    // Stream parameters learnt at initialisation (as the decoder library keeps them).
    int header_kind = HEADER_RAW;
    std::uint8_t object_type = 2;         // 1 MAIN, 2 LC, 3 SSR, 4 LTP
    std::uint8_t sf_index = 4;
    std::uint8_t channel_configuration = 0;
    std::uint8_t pce_channels = 0;        // channels described by the ADIF program config
    std::uint16_t frame_length = 1024;
    // Output channel count and element id of each element position, kept across frames:
    // an element position that changes its kind or channel count is refused.
    std::uint8_t element_output_channels[48] = {};
    std::uint8_t element_id[48] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                   255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                   255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
                                   255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    std::uint32_t frames_split = 0;
    // What the rebuild cannot reproduce bit for bit, counted for the caller: channels that
    // carried pulse data, and fill elements anywhere but at the start of the first frame.
    std::uint32_t pulse_channels = 0;
    std::uint32_t late_fill_elements = 0;
    // Working memory reused by every frame, so splitting allocates nothing per frame: the
    // reader's copy of the frame, the channel records and quantised values of one element.
    PaddedBytes frame_copy;
    ChannelStream channel[2];
    std::int32_t spectrum[2][kFrameLength] = {};
};

// Non-emitting parse of the stream's start, as the decoder library's initialisation does:
// for ADTS the first header, for ADIF the ADIF header with its program config elements.
// Sets header_kind, object_type, sf_index, channel_configuration and the value-line range;
// header_bytes gets the bytes the caller skips before the first frame (ADIF header length;
// 0 otherwise). Returns 0, kStatusUnusableHeader, or kStatusStaticStereoStop.
[[nodiscard]] Status split_init(SplitContext& ctx, const std::uint8_t* data, std::size_t size,
                                std::uint8_t raw_object_type, unsigned long raw_sample_rate, long& header_bytes);

// Parses one frame at the front of `frame` (ADTS: header and raw_data_block; ADIF and raw:
// one raw_data_block), reading it in place, and emits every field. bits_used gets the bits
// the parse used. Returns 0 or the first non-zero status (kStatusStaticStereoStop included).
Status split_frame(SplitContext& ctx, const PaddedBytes& frame, std::uint32_t& bits_used);
// The same for bytes without a zero tail: they are copied once into ctx.frame_copy.
Status split_frame(SplitContext& ctx, const std::uint8_t* data, std::size_t size, std::uint32_t& bits_used);
