// ADTS header: fixed header, variable header and the optional CRC word. Static mode keeps
// the fields that never change only in the file's first header, and no CRC at all, since
// its rebuild writes frames without one.
#include "splitter/adts_header.h"

#include "splitter/emit.h"

namespace {

constexpr unsigned kSyncTries = 768;

}  // namespace

Status read_adts_header(SplitContext& ctx, BitReader& br, AdtsHeader& h, bool emit) {
    StreamSet& set = *ctx.streams;
    const bool stat = ctx.settings.static_compression;
    const bool first = ctx.first_header != 0;
    bool synced = false;
    for (unsigned i = 0; i < kSyncTries; ++i) {
        if (show_bits(br, 12) == 0xFFF) {
            h.syncword = static_cast<std::uint16_t>(get_bits(br, 12));
            synced = true;
            break;
        }
        (void)get_bits(br, 8);
    }
    if (!synced) return kStatusNoSyncword;
    // The syncword goes out as 0xFFF bits with the value 65535, as the rebuild expects.
    if (emit && !stat) {
        emit_bits(set, 0xFFF, 12, STREAM_ADTS);
        emit_value(set, 0xFFFF, STREAM_ADTS);
    }
    // Reads a field and emits it always, only in the first header, or only outside static mode.
    auto field = [&](int width, bool keep) {
        const std::uint32_t value = get_bits(br, static_cast<unsigned>(width));
        if (emit && keep) emit_bits_value(set, value, width, STREAM_ADTS);
        return value;
    };
    h.id = static_cast<std::uint8_t>(field(1, first));
    h.layer = static_cast<std::uint8_t>(field(2, !stat));
    h.protection_absent = static_cast<std::uint8_t>(field(1, !stat));
    h.profile = static_cast<std::uint8_t>(field(2, first));
    h.sampling_frequency_index = static_cast<std::uint8_t>(field(4, first));
    h.private_bit = static_cast<std::uint8_t>(field(1, !stat));
    h.channel_configuration = static_cast<std::uint8_t>(get_bits(br, 3));
    if (stat && h.channel_configuration > 1) return kStatusStaticStereoStop;
    if (emit && first) emit_bits_value(set, h.channel_configuration, 3, STREAM_ADTS);
    h.original_copy = static_cast<std::uint8_t>(field(1, !stat));
    h.home = static_cast<std::uint8_t>(field(1, !stat));
    // The configuration keeps the current header form, which has no emphasis field.
    h.copyright_identification_bit = static_cast<std::uint8_t>(field(1, !stat));
    h.copyright_identification_start = static_cast<std::uint8_t>(field(1, !stat));
    h.aac_frame_length = static_cast<std::uint16_t>(field(13, true));
    h.adts_buffer_fullness = static_cast<std::uint16_t>(field(11, !stat));
    h.number_of_raw_data_blocks_in_frame = static_cast<std::uint8_t>(field(2, !stat));
    if (h.protection_absent == 0) h.crc_check = static_cast<std::uint16_t>(field(16, !stat));
    if (emit) {
        emit_eol(set, STREAM_ADTS);
        if (stat) ctx.first_header = 0;
    }
    return 0;
}
