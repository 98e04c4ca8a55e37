// The element loop of a raw_data_block. Structure ids go to STC, fill element ids to
// FAACStr; one ICSI line per frame, and one STC line while the first block is open.
#include "splitter/raw_data_block.h"

#include "splitter/channel_element.h"
#include "splitter/emit.h"
#include "splitter/fill_element.h"
#include "aac/program_config.h"

unsigned read_data_stream_element(BitReader& br) {
    (void)get_bits(br, 4);  // element_instance_tag
    const unsigned data_byte_align_flag = get_bit(br);
    unsigned count = get_bits(br, 8);
    if (count == 255) count += get_bits(br, 8);
    if (data_byte_align_flag) byte_align(br);
    skip_bits(br, 8u * count);
    return count;
}

Status read_raw_data_block(SplitContext& ctx, BitReader& br, BlockState& block) {
    StreamSet& set = *ctx.streams;
    block = BlockState{};
    if (ctx.object_type >= ER_OBJECT_START) return kStatusErrorResilience;
    for (;;) {
        // A frame cut short reads zeros from here on, which would parse as empty single
        // channel elements; end it instead.
        if (reader_exhausted(br)) return kStatusBufferTooSmall;
        const auto id = static_cast<std::uint8_t>(get_bits(br, 3));
        if (id == ID_END) break;
        const unsigned element_index = block.elements++;
        Status s = 0;
        switch (id) {
        case ID_SCE:
        case ID_LFE:
            if (id == ID_SCE && ctx.first_block) emit_bits_value(set, ID_SCE, 3, STREAM_STC);
            if (id == ID_SCE && block.first_syn_ele == 25) block.first_syn_ele = ID_SCE;
            if (id == ID_LFE) ++block.lfe_count;
            s = read_single_channel_element(ctx, br, block, id);
            break;
        case ID_CPE:
            emit_bits_value(set, ID_CPE, 3, STREAM_STC);
            if (block.first_syn_ele == 25) block.first_syn_ele = ID_CPE;
            s = read_channel_pair_element(ctx, br, block);
            break;
        case ID_CCE:
            s = kStatusCoupling;
            break;
        case ID_DSE:
            (void)read_data_stream_element(br);
            break;
        case ID_PCE: {
            // The decoder library takes a program config element only as the first
            // element of a block; its contents are ignored inside a stream.
            if (element_index != 0) return kStatusPceNotFirst;
            ProgramConfig pce;
            read_program_config_element(br, pce);
            break;
        }
        case ID_FIL:
            if (ctx.frames_split > 0 || element_index > 0) ++ctx.late_fill_elements;
            emit_bits(set, ID_FIL, 3, STREAM_FAACSTR);
            if (!ctx.fill_values_done) emit_value(set, ID_FIL, STREAM_FAACSTR);
            s = read_fill_element(ctx, br, false);
            break;
        default:
            break;
        }
        if (s != 0) return s;
    }
    byte_align(br);
    if (ctx.first_block) emit_eol(set, STREAM_STC);
    emit_eol(set, STREAM_ICSI);
    if (ctx.settings.static_compression) ctx.first_block = 0;
    return 0;
}
