// ADTS header rebuild in 'static compression' and the header rewrite; the first fill
// element's rebuild for every extension type.
#include <gtest/gtest.h>

#include "rebuild/adts_header.h"
#include "rebuild/rebuild_test_util.h"

using namespace rebuild_test;

namespace {

struct Header {
    std::uint32_t id = 0, layer = 0, protection_absent = 1, profile = 1, sf_index = 4, private_bit = 1;
    std::uint32_t channel_configuration = 2, original_copy = 1, home = 0, cib = 1, cis = 0;
    std::uint32_t aac_frame_length = 371, adts_buffer_fullness = 0x2A5, nrdb = 0, crc = 0xBEEF;
};

// The header as compression puts it on the ADTS stream in normal mode (and as it comes out).
Bits header_bits(const Header& h) {
    Bits b;
    b.put(0xFFF, 12).put(h.id, 1).put(h.layer, 2).put(h.protection_absent, 1).put(h.profile, 2);
    b.put(h.sf_index, 4).put(h.private_bit, 1).put(h.channel_configuration, 3).put(h.original_copy, 1);
    b.put(h.home, 1).put(h.cib, 1).put(h.cis, 1).put(h.aac_frame_length, 13).put(h.adts_buffer_fullness, 11);
    b.put(h.nrdb, 2);
    if (h.protection_absent == 0) b.put(h.crc, 16);
    return b;
}

TEST(AdtsHeaderWriter, StaticCompressionRegeneratesConstantsAndKeepsFirstFrameFields) {
    for (bool values : {false, true}) {
        SCOPED_TRACE(values ? "values" : "bits");
        Messages m;
        auto ctx = make_context(m.file);
        ctx->options.static_compression = 1;
        // First frame: id 1, profile 0 (MAIN), sf_index 3, channel_configuration 1, length 300;
        // second frame: length 200 only.
        if (values) {
            set_values(*ctx, STREAM_ADTS, {1, 0, 3, 1, 300, 200});
        } else {
            Bits b;
            b.put(1, 1).put(0, 2).put(3, 4).put(1, 3).put(300, 13).put(200, 13);
            set_bits(*ctx, STREAM_ADTS, b);
        }
        for (std::uint32_t length : {300u, 200u}) {
            SCOPED_TRACE(length);
            Frame frame;
            EXPECT_EQ(write_adts_header(*ctx, frame.sink), 56);
            Header h;
            h.id = 1;
            h.profile = 0;
            h.sf_index = 3;
            h.channel_configuration = 1;
            h.private_bit = h.original_copy = h.cib = 0;
            h.aac_frame_length = length;
            h.adts_buffer_fullness = 0x7FF;
            expect_written(frame, header_bits(h));
            EXPECT_EQ(ctx->adts_first_frame, 0);
            EXPECT_EQ(ctx->state.object_type, 1);
        }
    }
}

TEST(AdtsHeaderWriter, RewriteStatesTheNewLength) {
    FrameState st;
    st.syncword = 0xFFFF;
    st.id = 1;
    st.protection_absent = 1;
    st.object_type = 2;
    st.sf_index = 4;
    st.channel_configuration = 2;
    st.aac_frame_length = 5000;
    st.adts_buffer_fullness = 0x7FF;
    Frame frame;
    EXPECT_EQ(rewrite_adts_header(frame.sink, st), 56);
    EXPECT_EQ(frame.buffer[0], 0xFF);
    EXPECT_EQ(frame.buffer[1], 0xF9);  // 1111 1 00 1: sync, id 1, layer 0, no CRC
    EXPECT_EQ(bits_at(frame.buffer.data(), 7, 30, 13), 5000u);
    EXPECT_EQ(bits_at(frame.buffer.data(), 7, 43, 11), 0x7FFu);
}

// FAACStr: what the stream holds, what must come out, and how much of the stream is used.
struct FillRow {
    const char* name;
    Bits stream;
    Bits expected;
    std::size_t consumed_bits;
};

Bits fill_bytes(Bits b, int n, std::uint32_t first) {
    for (int i = 0; i < n; ++i) b.put((first + static_cast<std::uint32_t>(i)) & 0xFF, 8);
    return b;
}

TEST(FaacStrWriter, CopiesStoredPayloadsAndStandsInForTheOthers) {
    Bits count14 = fill_bytes(Bits().put(6, 3).put(14, 4).put(0, 4).put(5, 4), 13, 0x41);
    Bits esc0 = fill_bytes(Bits().put(6, 3).put(15, 4).put(0, 8).put(0, 4).put(0xA, 4), 13, 0x10);
    Bits esc255 = fill_bytes(Bits().put(6, 3).put(15, 4).put(255, 8).put(0, 4).put(0, 4), 268, 0);
    Bits odd_type = fill_bytes(Bits().put(6, 3).put(3, 4).put(7, 4).put(9, 4), 2, 0xC0);  // type 7 is kept
    Bits odd_id = count14;
    odd_id.bytes[0] = static_cast<std::uint8_t>((odd_id.bytes[0] & 0x1F) | (3u << 5));
    std::vector<FillRow> rows = {
        {"count 14", count14, count14, 119},
        {"count 15 escape 0: 14 bytes", esc0, esc0, 127},
        {"escape 255: 269 bytes", esc255, esc255, 15 + 8 * 269},
        {"another kept extension type", odd_type, odd_type, 7 + 24},
        {"a stream id other than FIL comes out as FIL", odd_id, count14, 119},
        {"count 0: id and count only", Bits().put(6, 3).put(0, 4).put(0xF, 4), Bits().put(6, 3).put(0, 4), 7},
        {"fill data: type only, stays fill data", Bits().put(6, 3).put(3, 4).put(1, 4).put(0xFF, 8),
         Bits().put(6, 3).put(3, 4).put(1, 4).put(0, 4).put(0, 16), 11},
    };
    // Of these payloads only the type is stored: the same count with zero EXT_FILL bytes.
    Bits zero_fill = Bits().put(6, 3).put(15, 4).put(1, 8).put(0, 4).put(0, 4);
    for (int i = 0; i < 14; ++i) zero_fill.put(0, 8);
    for (std::uint32_t type : {2u, 11u, 13u, 14u})
        rows.push_back({"type without payload becomes EXT_FILL",
                        Bits().put(6, 3).put(15, 4).put(1, 8).put(type, 4).put(0xFFFF, 16), zero_fill, 19});
    for (const FillRow& row : rows) {
        SCOPED_TRACE(row.name);
        Messages m;
        auto ctx = make_context(m.file);
        set_bits(*ctx, STREAM_FAACSTR, row.stream);
        Frame frame;
        EXPECT_EQ(write_faacstr_block(*ctx, frame.sink), static_cast<int>(row.expected.bits));
        expect_written(frame, row.expected);
        const StreamReader& r = ctx->blocks.reader[STREAM_FAACSTR];
        EXPECT_EQ(static_cast<std::size_t>(r.byte_position * 8 + r.bit_position), row.consumed_bits);
    }
}

TEST(FaacStrWriter, ValuesFormGivesTheSameElement) {
    Messages m;
    auto ctx = make_context(m.file);
    std::vector<std::int32_t> values = {6, 15, 0, 0, 10};
    Bits expected = Bits().put(6, 3).put(15, 4).put(0, 8).put(0, 4).put(10, 4);
    for (int i = 0; i < 13; ++i) {
        values.push_back(100 + i);
        expected.put(static_cast<std::uint32_t>(100 + i), 8);
    }
    set_values(*ctx, STREAM_FAACSTR, values);
    Frame frame;
    EXPECT_EQ(write_faacstr_block(*ctx, frame.sink), 127);
    expect_written(frame, expected);
    EXPECT_EQ(ctx->blocks.value_position[STREAM_FAACSTR], values.size());

    set_values(*ctx, STREAM_FAACSTR, {});
    Frame empty;
    EXPECT_EQ(write_faacstr_block(*ctx, empty.sink), 0);
}

}  // namespace
