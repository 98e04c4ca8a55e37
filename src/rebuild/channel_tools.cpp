// Pulse, TNS and gain-control rebuild of one channel.
#include "rebuild/channel_tools.h"

#include "aac/syntax.h"

int write_pulse_absent(BitSink& sink) { return static_cast<int>(bitsink_put(sink, 0, 1)); }

int write_gain_control_absent(BitSink& sink) { return static_cast<int>(bitsink_put(sink, 0, 1)); }

int write_tns_data(DecompressContext& ctx, BitSink& sink) {
    const bool static_mode = ctx.settings.static_compression;
    ValueLine line;
    FieldSource src;
    // 'Static compression' still writes its flag when the stream has nothing; reads past the
    // stream's data give zeros.
    if (!open_fields(ctx.blocks, STREAM_TNS, line, src) && !static_mode) {
        return 0;
    }
    const FrameState& st = ctx.state;
    const bool short_windows = st.window_sequence == EIGHT_SHORT_SEQUENCE;
    const unsigned n_filt_bits = short_windows ? 1 : 2;
    const unsigned length_bits = short_windows ? 4 : 6;
    const unsigned order_bits = short_windows ? 3 : 5;
    int bits = 0;
    auto copy = [&](unsigned width) { return copy_field(src, sink, width, bits); };
    std::uint32_t tns_data_present = 0;
    if (static_mode && !ctx.settings.static_tns) {
        bits += static_cast<int>(bitsink_put(sink, 0, 1));
    } else {
        tns_data_present = copy(1);
    }
    if (tns_data_present) {
        for (int w = 0; w < st.num_windows; ++w) {
            const std::uint32_t n_filt = copy(n_filt_bits);
            unsigned start_coef_bits = 3;
            if (n_filt != 0) start_coef_bits = copy(1) != 0 ? 4 : 3;  // coef_res
            for (std::uint32_t f = 0; f < n_filt; ++f) {
                copy(length_bits);
                const std::uint32_t order = copy(order_bits);
                if (order != 0) {
                    copy(1);  // direction
                    const unsigned coef_bits = start_coef_bits - copy(1);  // coef_compress
                    for (std::uint32_t i = 0; i < order; ++i) copy(coef_bits);
                }
            }
        }
    }
    close_fields(ctx.blocks, STREAM_TNS, line);
    return bits;
}
