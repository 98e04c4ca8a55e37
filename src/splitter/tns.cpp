// Temporal noise shaping data. Static mode without its TNS option still reads the fields,
// which keeps the parse in step, but hands none of them over.
#include "splitter/tns.h"

#include "splitter/emit.h"

void read_tns_data(StreamSet& set, BitReader& br, const ChannelStream& cs, bool emit) {
    const bool short_windows = cs.window_sequence == EIGHT_SHORT_SEQUENCE;
    const unsigned n_filt_bits = short_windows ? 1 : 2;
    const unsigned length_bits = short_windows ? 4 : 6;
    const unsigned order_bits = short_windows ? 3 : 5;
    auto field = [&](unsigned width) {
        const std::uint32_t v = get_bits(br, width);
        if (emit) emit_bits_value(set, v, static_cast<int>(width), STREAM_TNS);
        return v;
    };
    for (unsigned w = 0; w < cs.num_windows; ++w) {
        const unsigned n_filt = field(n_filt_bits);
        unsigned start_coef_bits = 3;
        if (n_filt > 0 && field(1) == 1) start_coef_bits = 4;  // coef_res
        for (unsigned f = 0; f < n_filt; ++f) {
            field(length_bits);
            const unsigned order = field(order_bits);
            if (order == 0) continue;
            field(1);  // direction
            const unsigned coef_compress = field(1);
            const unsigned coef_bits = start_coef_bits - coef_compress;
            for (unsigned i = 0; i < order; ++i) field(coef_bits);
        }
    }
}
