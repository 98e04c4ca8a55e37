// Fill elements. Their fields go to FAACStr as bits; the first fill element of the file
// also gets CSV values. Payloads the rebuild does not take back (dynamic range, fill data,
// ancillary data, SBR) are read to know their length and not handed over.
#include "splitter/fill_element.h"

#include "splitter/emit.h"
#include "aac/syntax.h"

namespace {

constexpr unsigned ANC_DATA = 0;

unsigned read_excluded_channels(BitReader& br) {
    unsigned n = 0;
    (void)get_bits(br, 7);  // exclude_mask of the first seven channels
    ++n;
    while (get_bit(br) == 1) {  // additional_excluded_chns
        if (reader_overrun(br)) break;   // past the frame every bit reads zero anyway
        (void)get_bits(br, 7);
        ++n;
    }
    return n;
}

// Writes the field as bits, and as a value while the file's first fill element is open.
void emit_fill_field(SplitContext& ctx, std::uint32_t value, int width) {
    emit_bits(*ctx.streams, value, width, STREAM_FAACSTR);
    if (!ctx.fill_values_done) emit_value(*ctx.streams, static_cast<std::int32_t>(value), STREAM_FAACSTR);
}

// One extension_payload; returns the bytes it accounts for (which may exceed count on
// damaged dynamic-range data, as in the decoder library: count then wraps around).
std::uint16_t read_extension_payload(SplitContext& ctx, BitReader& br, std::uint16_t count) {
    const unsigned extension_type = get_bits(br, 4);
    emit_fill_field(ctx, extension_type, 4);
    unsigned align = 4;
    switch (extension_type) {
    case EXT_DYNAMIC_RANGE:
        return static_cast<std::uint16_t>(read_dynamic_range_info(br));
    case EXT_FILL_DATA:
        (void)get_bits(br, 4);  // fill_nibble
        for (unsigned i = 1; i < count && !reader_overrun(br); ++i) (void)get_bits(br, 8);
        return count;
    case EXT_DATA_ELEMENT: {
        const unsigned data_element_version = get_bits(br, 4);
        if (data_element_version == ANC_DATA) {
            unsigned loop_counter = 0;
            std::uint16_t data_element_length = 0;
            unsigned part = 0;
            do {
                part = get_bits(br, 8);
                data_element_length = static_cast<std::uint16_t>(data_element_length + part);
                ++loop_counter;
            } while (part == 255 && !reader_overrun(br));
            skip_bits(br, 8u * data_element_length);
            return static_cast<std::uint16_t>(data_element_length + loop_counter + 1);
        }
        align = 0;  // any other version: the rest is other_bits without the alignment nibble
        break;
    }
    default:
        break;
    }
    const std::uint32_t fill_nibble = get_bits(br, align);
    if (align != 0) emit_fill_field(ctx, fill_nibble, static_cast<int>(align));
    for (unsigned i = 1; i < count; ++i) {
        // Beyond the frame every byte reads zero and the frame fails; stop handing them over.
        if (reader_overrun(br)) break;
        emit_fill_field(ctx, get_bits(br, 8), 8);
    }
    return count;
}

}  // namespace

unsigned read_dynamic_range_info(BitReader& br) {
    unsigned n = 1;
    unsigned drc_num_bands = 1;
    if (get_bit(br)) {            // pce_tag_present
        (void)get_bits(br, 8);  // pce_instance_tag, drc_tag_reserved_bits
        ++n;
    }
    if (get_bit(br)) n += read_excluded_channels(br);  // excluded_chns_present
    if (get_bit(br)) {                                  // drc_bands_present
        drc_num_bands += get_bits(br, 4);               // drc_band_incr
        (void)get_bits(br, 4);                          // drc_interpolation_scheme
        ++n;
        for (unsigned i = 0; i < drc_num_bands; ++i) {
            (void)get_bits(br, 8);  // drc_band_top
            ++n;
        }
    }
    if (get_bit(br)) {            // prog_ref_level_present
        (void)get_bits(br, 8);  // prog_ref_level, prog_ref_level_reserved_bits
        ++n;
    }
    for (unsigned i = 0; i < drc_num_bands; ++i) {
        (void)get_bits(br, 8);  // dyn_rng_sgn, dyn_rng_ctl
        ++n;
    }
    return n;
}

Status read_fill_element(SplitContext& ctx, BitReader& br, bool in_element) {
    std::uint16_t count = static_cast<std::uint16_t>(get_bits(br, 4));
    emit_fill_field(ctx, count, 4);
    if (count == 15) {
        const std::uint32_t esc = get_bits(br, 8);
        emit_fill_field(ctx, esc, 8);
        count = static_cast<std::uint16_t>(count + esc - 1);
    }
    if (count > 0) {
        const unsigned extension_type = show_bits(br, 4);
        if (extension_type == EXT_SBR_DATA || extension_type == EXT_SBR_DATA_CRC) {
            if (!in_element) return kStatusSbrAtBlockLevel;
            // The SBR payload is not kept. The first fill element says so with its type,
            // so the rebuild knows its payload is not on the stream.
            if (!ctx.fill_values_done) emit_bits_value(*ctx.streams, extension_type, 4, STREAM_FAACSTR);
            skip_bits(br, 8u * count);
        } else {
            while (count > 0) count = static_cast<std::uint16_t>(count - read_extension_payload(ctx, br, count));
        }
    }
    ctx.fill_values_done = 1;
    return 0;
}
