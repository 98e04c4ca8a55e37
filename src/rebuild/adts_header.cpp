// ADTS header and first fill element of a rebuilt frame. In 'static compression' mode the
// header fields that never change are regenerated: constants, or the first frame's values.
#include "rebuild/adts_header.h"

#include "aac/syntax.h"

namespace {

unsigned put(BitSink& sink, std::int32_t value, unsigned width) {
    return bitsink_put(sink, static_cast<std::uint32_t>(value), width);
}

// A header field: from the stream when `from_stream`, else `kept` (a constant or the value
// the state already holds). Written in `width` bits; the width is added to `bits`.
std::int32_t header_field(FieldSource& src, BitSink& sink, unsigned width, bool from_stream, std::int32_t kept,
                          int& bits) {
    const std::int32_t v = from_stream ? static_cast<std::int32_t>(take_field(src, width)) : kept;
    bits += static_cast<int>(put(sink, v, width));
    return v;
}

// Extension payloads the splitter keeps whole; of the others only the type is stored.
bool payload_on_stream(std::uint32_t extension_type) {
    return extension_type != EXT_FILL_DATA && extension_type != EXT_DATA_ELEMENT &&
           extension_type != EXT_DYNAMIC_RANGE && extension_type != EXT_SBR_DATA &&
           extension_type != EXT_SBR_DATA_CRC;
}

}  // namespace

int write_adts_header(DecompressContext& ctx, BitSink& sink) {
    ValueLine line;
    FieldSource src;
    if (!open_fields(ctx.blocks, STREAM_ADTS, line, src)) return 0;
    FrameState& st = ctx.state;
    const bool full = !ctx.settings.static_compression;     // every field on the stream
    const bool once = full || ctx.adts_first_frame != 0;   // the fields -s keeps once
    int bits = 0;
    st.syncword = header_field(src, sink, 12, full, 0xFFF, bits);
    st.id = header_field(src, sink, 1, once, st.id, bits);
    st.layer = header_field(src, sink, 2, full, 0, bits);
    st.protection_absent = header_field(src, sink, 1, full, 1, bits);
    const std::int32_t profile = header_field(src, sink, 2, once, st.object_type - 1, bits);
    st.object_type = profile + 1;
    if (st.object_type == LD_OBJECT) st.frame_length = 512;
    st.sf_index = header_field(src, sink, 4, once, st.sf_index, bits);
    st.private_bit = header_field(src, sink, 1, full, 0, bits);
    st.channel_configuration = header_field(src, sink, 3, once, st.channel_configuration, bits);
    st.original_copy = header_field(src, sink, 1, full, 0, bits);
    st.home = header_field(src, sink, 1, full, 0, bits);
    st.copyright_identification_bit = header_field(src, sink, 1, full, 0, bits);
    st.copyright_identification_start = header_field(src, sink, 1, full, 0, bits);
    st.aac_frame_length = header_field(src, sink, 13, true, 0, bits);
    st.adts_buffer_fullness = header_field(src, sink, 11, full, 0x7FF, bits);
    st.number_of_raw_data_blocks_in_frame = header_field(src, sink, 2, full, 0, bits);
    // The CRC word is copied, never recomputed: 'static compression' writes no CRC at all.
    if (full && st.protection_absent == 0) header_field(src, sink, 16, true, 0, bits);
    if (ctx.settings.static_compression) ctx.adts_first_frame = 0;
    close_fields(ctx.blocks, STREAM_ADTS, line);
    return bits;
}

int write_faacstr_block(DecompressContext& ctx, BitSink& sink) {
    ValueLine line;
    FieldSource src;
    if (!open_fields(ctx.blocks, STREAM_FAACSTR, line, src)) return 0;
    int bits = 0;
    // The stream's id is the fill element's; FIL is the only id a fill element can have.
    take_field(src, 3);
    bits += static_cast<int>(put(sink, ID_FIL, 3));
    const std::uint32_t count = take_field(src, 4);
    bits += static_cast<int>(put(sink, static_cast<std::int32_t>(count), 4));
    std::uint32_t c = count;
    if (count == 15) {
        const std::uint32_t esc_count = take_field(src, 8);
        bits += static_cast<int>(put(sink, static_cast<std::int32_t>(esc_count), 8));
        c = 15 + esc_count - 1;
    }
    // A count of 0 carries no payload at all, not even the extension type.
    if (c > 0) {
        const std::uint32_t extension_type = take_field(src, 4);
        if (payload_on_stream(extension_type)) {
            bits += static_cast<int>(put(sink, static_cast<std::int32_t>(extension_type), 4));
            bits += static_cast<int>(put(sink, static_cast<std::int32_t>(take_field(src, 4)), 4));
            for (std::uint32_t i = 1; i < c; ++i)
                bits += static_cast<int>(put(sink, static_cast<std::int32_t>(take_field(src, 8)), 8));
        } else {
            // Only the type of this payload was kept: a fill payload of the same size stands in
            // for it (fill data stays fill data), and nothing more is read from the stream.
            const std::int32_t stand_in = extension_type == EXT_FILL_DATA ? EXT_FILL_DATA : EXT_FILL;
            bits += static_cast<int>(put(sink, stand_in, 4));
            bits += static_cast<int>(put(sink, 0, 4));
            for (std::uint32_t i = 1; i < c; ++i) bits += static_cast<int>(put(sink, 0, 8));
        }
    }
    close_fields(ctx.blocks, STREAM_FAACSTR, line);
    return bits;
}

int rewrite_adts_header(BitSink& sink, const FrameState& st) {
    int bits = 0;
    bits += static_cast<int>(put(sink, st.syncword, 12));
    bits += static_cast<int>(put(sink, st.id, 1));
    bits += static_cast<int>(put(sink, st.layer, 2));
    bits += static_cast<int>(put(sink, st.protection_absent, 1));
    bits += static_cast<int>(put(sink, st.object_type - 1, 2));
    bits += static_cast<int>(put(sink, st.sf_index, 4));
    bits += static_cast<int>(put(sink, st.private_bit, 1));
    bits += static_cast<int>(put(sink, st.channel_configuration, 3));
    bits += static_cast<int>(put(sink, st.original_copy, 1));
    bits += static_cast<int>(put(sink, st.home, 1));
    bits += static_cast<int>(put(sink, st.copyright_identification_bit, 1));
    bits += static_cast<int>(put(sink, st.copyright_identification_start, 1));
    bits += static_cast<int>(put(sink, st.aac_frame_length, 13));
    bits += static_cast<int>(put(sink, st.adts_buffer_fullness, 11));
    bits += static_cast<int>(put(sink, st.number_of_raw_data_blocks_in_frame, 2));
    return bits;
}
