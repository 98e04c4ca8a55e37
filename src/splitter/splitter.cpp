// The splitter's two entry points: the non-emitting parse at decoder initialisation and
// the per-frame parse that hands every field to the stream set.
#include "splitter/splitter.h"

#include "splitter/adts_header.h"
#include "aac/bit_reader.h"
#include "aac/program_config.h"
#include "splitter/raw_data_block.h"
#include "splitter/spectral_data.h"

namespace {

constexpr std::uint8_t kSampleRateIndexCount = 12;

// The object types whose frames this splitter (and the decoder library) can parse.
bool can_split_object_type(std::uint8_t object_type) {
    return object_type == MAIN_OBJECT || object_type == LC_OBJECT || object_type == LTP_OBJECT;
}

// Sampling frequency index of a rate given out of band: the nearest standard rate.
std::uint8_t sampling_frequency_index_of(unsigned long rate) {
    constexpr unsigned long kLowerBounds[11] = {92017, 75132, 55426, 46009, 37566, 27713,
                                                23004, 18783, 13856, 11502, 9391};
    for (std::uint8_t i = 0; i < 11; ++i) {
        if (rate >= kLowerBounds[i]) return i;
    }
    return 11;
}

}  // namespace

Status split_init(SplitContext& ctx, const std::uint8_t* data, std::size_t size, std::uint8_t raw_object_type,
                  unsigned long raw_sample_rate, long& header_bytes) {
    header_bytes = 0;
    if (ctx.streams == nullptr || data == nullptr || size == 0) return kStatusUnusableHeader;
    BitReader br;
    const HeaderKind kind = detect_header_kind(data, size);
    if (kind == HEADER_ADTS) {
        init_reader(br, ctx.frame_copy, data, size);
        AdtsHeader h;
        const Status s = read_adts_header(ctx, br, h, false);
        if (s == kStatusStaticStereoStop) return s;
        if (s != 0) return kStatusUnusableHeader;
        ctx.header_kind = HEADER_ADTS;
        ctx.sf_index = h.sampling_frequency_index;
        ctx.object_type = static_cast<std::uint8_t>(h.profile + 1);
        ctx.channel_configuration = h.channel_configuration;
    } else if (kind == HEADER_ADIF) {
        init_reader(br, ctx.frame_copy, data, size);
        AdifHeader adif;
        if (!read_adif_header(br, adif)) return kStatusUnusableHeader;
        ctx.header_kind = HEADER_ADIF;
        ctx.sf_index = adif.first_pce.sampling_frequency_index;
        ctx.object_type = static_cast<std::uint8_t>(adif.first_pce.object_type + 1);
        ctx.pce_channels = static_cast<std::uint8_t>(adif.first_pce.channels > 255 ? 255 : adif.first_pce.channels);
        ctx.channel_configuration = 0;
        if (ctx.settings.static_compression && adif.first_pce.channels > 1) return kStatusStaticStereoStop;
    } else {
        ctx.header_kind = HEADER_RAW;
        ctx.object_type = raw_object_type;
        ctx.sf_index = sampling_frequency_index_of(raw_sample_rate != 0 ? raw_sample_rate : 44100);
        ctx.channel_configuration = 0;
    }
    ctx.frame_length = kFrameLength;
    if (ctx.sf_index >= kSampleRateIndexCount || !can_split_object_type(ctx.object_type)) return kStatusUnusableHeader;
    value_line_range(ctx.settings.cut_lo_hz, ctx.settings.cut_hi_hz, ctx.sf_index, ctx.value_start, ctx.value_end);
    if (ctx.header_kind == HEADER_ADIF) header_bytes = static_cast<long>((processed_bits(br) + 7) / 8);
    return kStatusOk;
}

Status split_frame(SplitContext& ctx, const std::uint8_t* data, std::size_t size, std::uint32_t& bits_used) {
    ctx.frame_copy.assign(data, data + (data != nullptr ? size : 0));
    return split_frame(ctx, ctx.frame_copy, bits_used);
}

Status split_frame(SplitContext& ctx, const PaddedBytes& frame, std::uint32_t& bits_used) {
    bits_used = 0;
    if (ctx.streams == nullptr) return kStatusBadSyntax;
    // A rate the band tables do not know never reaches the window grouping or the value line.
    if (ctx.sf_index >= kSampleRateIndexCount) return kStatusBadSyntax;
    BitReader br;
    init_reader(br, frame);
    Status s = 0;
    if (ctx.header_kind == HEADER_ADTS) {
        AdtsHeader h;
        s = read_adts_header(ctx, br, h, true);
    }
    BlockState block;
    if (s == 0) s = read_raw_data_block(ctx, br, block);
    // A frame without any channel is refused, as the decoder library does.
    if (s == 0 && (block.channels == 0 || block.channels > kMaxChannels)) s = kStatusChannelCount;
    if (s == 0 && reader_overrun(br)) s = kStatusBufferTooSmall;
    bits_used = processed_bits(br);
    if (s == 0) ++ctx.frames_split;
    return s;
}
