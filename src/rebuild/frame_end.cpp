// Fill elements, END and byte alignment at the end of a rebuilt frame.
#include "rebuild/frame_end.h"

#include "aac/syntax.h"

int write_fill_elements(BitSink& sink, int budget) {
    while (budget >= 7) {
        bitsink_put(sink, ID_FIL, 3);
        budget -= 7;
        int c = budget / 8;
        if (c < 15) {
            bitsink_put(sink, static_cast<std::uint32_t>(c), 4);
            for (int i = 0; i < c; ++i) bitsink_put(sink, 0, 8);
        } else {
            // The escape count is one of the c bytes: 15 + esc_count - 1 payload bytes follow.
            if (c > 270) c = 270;
            bitsink_put(sink, 15, 4);
            bitsink_put(sink, static_cast<std::uint32_t>(c - 15), 8);
            for (int i = 1; i < c; ++i) bitsink_put(sink, 0, 8);
        }
        budget -= 8 * c;
    }
    return budget;
}

int write_byte_alignment(BitSink& sink) {
    const int p = static_cast<int>((8 - sink.bit_position % 8) % 8);
    for (int i = 0; i < p; ++i) bitsink_put(sink, 0, 1);
    return p;
}

int write_fill_to_length(BitSink& sink, int room) {
    int bits = 0;
    if (room - 3 >= 7) {
        const int budget = room - 3;
        bits += budget - write_fill_elements(sink, budget);
    }
    bits += static_cast<int>(bitsink_put(sink, ID_END, 3));
    bits += write_byte_alignment(sink);
    return bits;
}
