// Channel element writers: window grouping, ics_info, section data, scale factors, TNS,
// the mono element header, fill elements and byte alignment. Stream writers are run in
// both forms (bits and values) from the same field list.
#include <gtest/gtest.h>

#include "rebuild/channel_elements.h"
#include "rebuild/channel_tools.h"
#include "rebuild/frame_end.h"
#include "rebuild/ics_info.h"
#include "rebuild/rebuild_test_util.h"
#include "rebuild/scale_factors.h"
#include "rebuild/section_data.h"
#include "splitter/aac_tables.h"

using namespace rebuild_test;

namespace {

void expect_output(const Frame& frame, const Bits& expected) {
    ASSERT_EQ(frame.written(), expected.count);
    for (std::size_t i = 0; i < expected.bytes.size(); ++i) EXPECT_EQ(frame.buffer[i], expected.bytes[i]) << "byte " << i;
}

TEST(WindowGrouping, ShortWindowGroupsAndGroupLengths) {
    struct Row {
        int grouping;
        std::vector<int> lengths;
    };
    const Row rows[] = {{0x5B, {2, 3, 3}}, {0x36, {1, 3, 3, 1}}, {0x00, {1, 1, 1, 1, 1, 1, 1, 1}}, {0x7F, {8}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.grouping);
        FrameState st;
        st.sf_index = 3;
        st.object_type = 2;
        st.window_sequence = 2;
        st.scale_factor_grouping = row.grouping;
        EXPECT_EQ(compute_window_grouping(st), 0);
        EXPECT_EQ(st.num_windows, 8);
        EXPECT_EQ(st.num_swb, 14);
        ASSERT_EQ(st.num_window_groups, static_cast<int>(row.lengths.size()));
        for (int g = 0; g < st.num_window_groups; ++g) {
            EXPECT_EQ(st.window_group_length[g], row.lengths[g]);
            EXPECT_EQ(st.sect_sfb_offset[g][1], 4 * row.lengths[g]);  // first short band: 4 lines
            EXPECT_EQ(st.sect_sfb_offset[g][14], 128 * row.lengths[g]);
        }
    }
}

TEST(WindowGrouping, LongWindowsUseTheTableOfTheRate) {
    FrameState st;
    st.object_type = 2;
    st.sf_index = 4;
    compute_window_grouping(st);
    EXPECT_EQ(st.num_swb, 49);
    EXPECT_EQ(st.num_window_groups, 1);
    EXPECT_EQ(st.sect_sfb_offset[0][1], 4);
    EXPECT_EQ(st.sect_sfb_offset[0][49], 1024);
    st.sf_index = 13;  // no table: no bands, never an index outside the tables
    compute_window_grouping(st);
    EXPECT_EQ(st.num_swb, 0);
}

struct IcsRow {
    const char* name;
    int object_type;
    int sf_index;
    int common_window;
    bool static_mode;
    Fields stream;
    int expected_bits;
};

Fields long_ics(int max_sfb, int predictor_data_present) {
    return Fields().add(0, 1).add(0, 2).add(1, 1).add(static_cast<std::uint32_t>(max_sfb), 6).add(
        static_cast<std::uint32_t>(predictor_data_present), 1);
}

Fields ltp_data(int max_sfb) {
    Fields f;
    f.add(1000, 11).add(5, 3);
    for (int i = 0; i < max_sfb && i < 40; ++i) f.add(i % 3 == 0, 1);
    return f;
}

TEST(IcsInfoWriter, BitCountsOfEveryLayoutInBothForms) {
    Fields main_prediction = long_ics(45, 1).add(1, 1).add(7, 5);
    for (int i = 0; i < 40; ++i) main_prediction.add(i & 1, 1);
    Fields ltp_second_absent = long_ics(20, 1).add(1, 1).add(ltp_data(20)).add(0, 1);
    Fields ltp_second_present = long_ics(20, 1).add(1, 1).add(ltp_data(20)).add(1, 1).add(ltp_data(20));
    Fields low_delay = long_ics(10, 1).add(1, 1).add(1, 1).add(300, 10).add(2, 3);
    for (int i = 0; i < 10; ++i) low_delay.add(1, 1);
    const IcsRow rows[] = {
        {"LC long max_sfb 49", 2, 4, 0, false, long_ics(49, 0), 11},
        {"MAIN prediction at 48 kHz", 1, 3, 0, false, main_prediction, 10 + 1 + 1 + 5 + 40},
        {"LTP pair, second ltp_data_present 0", 4, 4, 1, false, ltp_second_absent, 11 + 1 + 34 + 1},
        {"LTP pair, second ltp_data_present 1", 4, 4, 1, false, ltp_second_present, 11 + 1 + 34 + 1 + 34},
        {"short windows", 2, 4, 0, false, Fields().add(0, 1).add(2, 2).add(1, 1).add(14, 4).add(0x5B, 7), 15},
        {"low delay LTP with lag_update", 23, 3, 0, false, low_delay, 11 + 1 + 1 + 10 + 3 + 10},
    };
    for (const IcsRow& row : rows) {
        for (bool values : {false, true}) {
            SCOPED_TRACE(::testing::Message() << row.name << (values ? " values" : " bits"));
            Messages m;
            auto ctx = make_context(m.file);
            ctx->state.object_type = row.object_type;
            ctx->state.sf_index = row.sf_index;
            ctx->state.common_window = row.common_window;
            ctx->state.frame_length = row.object_type == 23 ? 512 : 1024;
            set_fields(*ctx, STREAM_ICSI, row.stream, values);
            Frame frame;
            EXPECT_EQ(write_sce_ics_info(*ctx, frame.sink), row.expected_bits);
            expect_output(frame, row.stream.bits());
            EXPECT_EQ(consumed(*ctx, STREAM_ICSI), values ? row.stream.list.size() : row.stream.width());
        }
    }
}

TEST(IcsInfoWriter, StaticCompressionRegeneratesReservedBitAndWindowShape) {
    for (bool values : {false, true}) {
        SCOPED_TRACE(values ? "values" : "bits");
        Messages m;
        auto ctx = make_context(m.file);
        ctx->options.static_compression = 1;
        ctx->state.object_type = 2;
        ctx->state.sf_index = 4;
        // First frame: window_sequence, window_shape 1, max_sfb, predictor flag; second frame
        // without window_shape.
        set_fields(*ctx, STREAM_ICSI, Fields().add(0, 2).add(1, 1).add(40, 6).add(0, 1).add(1, 2).add(30, 6).add(0, 1),
                   values);
        Frame first;
        EXPECT_EQ(write_sce_ics_info(*ctx, first.sink), 11);
        expect_output(first, Bits().put(0, 1).put(0, 2).put(1, 1).put(40, 6).put(0, 1));
        ctx->first_window_shape = 0;
        Frame second;
        EXPECT_EQ(write_sce_ics_info(*ctx, second.sink), 11);
        expect_output(second, Bits().put(0, 1).put(1, 2).put(1, 1).put(30, 6).put(0, 1));
    }
}

TEST(IcsInfoWriter, MalformedDataIsReportedNegative) {
    struct Row {
        const char* name;
        int sf_index;
        Fields stream;
        bool values;
    };
    Fields cut = long_ics(49, 0);
    cut.list.pop_back();
    const Row rows[] = {
        {"max_sfb beyond the band table", 4, long_ics(50, 0), false},
        {"rate without a band table", 13, long_ics(1, 0), false},
        {"values line runs out", 4, cut, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Messages m;
        auto ctx = make_context(m.file);
        ctx->state.object_type = 2;
        ctx->state.sf_index = row.sf_index;
        set_fields(*ctx, STREAM_ICSI, row.stream, row.values);
        Frame frame;
        EXPECT_LT(write_sce_ics_info(*ctx, frame.sink), 0);
    }
}

struct Section {
    int cb, start, end;
};

TEST(SectionDataWriter, CopiesLengthsWithEscapesAndRecordsSections) {
    struct Row {
        const char* name;
        int window_sequence;
        int groups;
        int max_sfb;
        Fields stream;
        int expected_bits;
        std::vector<std::vector<Section>> sections;
    };
    const Row rows[] = {
        {"long, one section of 49 bands", 0, 1, 49, Fields().add(11, 4).add(31, 5).add(18, 5), 14, {{{11, 0, 49}}}},
        {"short, one section of 14 bands", 2, 1, 14, Fields().add(11, 4).add(7, 3).add(7, 3).add(0, 3), 13,
         {{{11, 0, 14}}}},
        {"long, exactly 31 bands", 0, 1, 31, Fields().add(5, 4).add(31, 5).add(0, 5), 14, {{{5, 0, 31}}}},
        {"two groups, zero-length section kept", 2, 2, 3,
         Fields().add(1, 4).add(3, 3).add(0, 4).add(0, 3).add(0, 4).add(1, 3).add(2, 4).add(2, 3), 28,
         {{{1, 0, 3}}, {{0, 0, 0}, {0, 0, 1}, {2, 1, 3}}}},
    };
    for (const Row& row : rows) {
        for (bool values : {false, true}) {
            SCOPED_TRACE(::testing::Message() << row.name << (values ? " values" : " bits"));
            Messages m;
            auto ctx = make_context(m.file);
            FrameState& st = ctx->state;
            st.window_sequence = row.window_sequence;
            st.num_window_groups = row.groups;
            st.max_sfb = row.max_sfb;
            set_fields(*ctx, STREAM_SBN, row.stream, values);
            Frame frame;
            EXPECT_EQ(write_section_data(*ctx, frame.sink), row.expected_bits);
            expect_output(frame, row.stream.bits());
            EXPECT_EQ(ctx->frame_problem, nullptr);
            for (int g = 0; g < row.groups; ++g) {
                ASSERT_EQ(st.num_sec[g], static_cast<int>(row.sections[g].size())) << g;
                for (int i = 0; i < st.num_sec[g]; ++i) {
                    EXPECT_EQ(st.sect_cb[g][i], row.sections[g][i].cb);
                    EXPECT_EQ(st.sect_start[g][i], row.sections[g][i].start);
                    EXPECT_EQ(st.sect_end[g][i], row.sections[g][i].end);
                    for (int sfb = st.sect_start[g][i]; sfb < st.sect_end[g][i]; ++sfb)
                        EXPECT_EQ(st.sfb_cb[g][sfb], row.sections[g][i].cb);
                }
            }
        }
    }
}

TEST(SectionDataWriter, MalformedSectionsStopTheWriterAndMarkTheFrame) {
    struct Row {
        const char* name;
        Fields stream;
        int expected_bits;
        int expected_sections;
    };
    Fields zero_sections;  // zero-length sections never advance the band
    for (int i = 0; i < 130; ++i) zero_sections.add(0, 4).add(0, 5);
    const Row rows[] = {
        {"a 121st section", zero_sections, 121 * 9, 120},
        {"a section reaching band 120", Fields().add(1, 4).add(31, 5).add(31, 5).add(31, 5).add(31, 5).add(0, 5), 29, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Messages m;
        auto ctx = make_context(m.file);
        ctx->state.max_sfb = 10;
        set_fields(*ctx, STREAM_SBN, row.stream, false);
        Frame frame;
        EXPECT_EQ(write_section_data(*ctx, frame.sink), row.expected_bits);
        EXPECT_EQ(frame.written(), static_cast<std::size_t>(row.expected_bits));
        EXPECT_EQ(ctx->state.num_sec[0], row.expected_sections);
        EXPECT_NE(ctx->frame_problem, nullptr);
    }
}

// A scale-factor codeword as one field per bit (the SCF stream's values form).
Fields scf_codeword(int index) {
    Fields f;
    const ScaleFactorCodeEntry e = kScaleFactorCode[index];
    for (int i = e.length - 1; i >= 0; --i) f.add((e.codeword >> i) & 1u, 1);
    return f;
}

TEST(ScaleFactorWriter, CopiesEveryCodewordExactly) {
    for (int index = 0; index <= 120; ++index) {
        SCOPED_TRACE(index);
        // The codeword followed by ones, so a copy that reads too far shows.
        Fields stream = scf_codeword(index).add(0xFFFFFFFF, 32);
        StreamReader reader;
        const Bits b = stream.bits();
        reader.buffer = b.bytes.data();
        reader.size = b.bytes.size();
        FieldSource src;
        src.reader = &reader;
        Frame frame;
        int bits = 0;
        EXPECT_EQ(copy_scf_codeword(src, frame.sink, bits), index);
        EXPECT_EQ(bits, kScaleFactorCode[index].length);
        EXPECT_EQ(reader.byte_position * 8 + reader.bit_position, kScaleFactorCode[index].length);
    }
}

TEST(ScaleFactorWriter, NoiseStartIntensityAndRangeChecks) {
    struct Row {
        const char* name;
        int global_gain;
        std::vector<int> sfb_cb;
        Fields stream;
        bool problem;
    };
    const Row rows[] = {
        {"spectral, noise start and codeword, intensity, zero band", 100, {1, 13, 13, 14, 0},
         Fields().add(scf_codeword(61)).add(259, 9).add(scf_codeword(58)).add(scf_codeword(62)), false},
        {"difference 0 throughout", 0, {1, 1, 1}, Fields().add(scf_codeword(60)).add(scf_codeword(60)).add(scf_codeword(60)),
         false},
        {"scale factor below 0", 0, {1, 1}, Fields().add(scf_codeword(59)), true},
        {"scale factor above 255", 255, {1, 1}, Fields().add(scf_codeword(61)), true},
    };
    for (const Row& row : rows) {
        for (bool values : {false, true}) {
            SCOPED_TRACE(::testing::Message() << row.name << (values ? " values" : " bits"));
            Messages m;
            auto ctx = make_context(m.file);
            FrameState& st = ctx->state;
            st.global_gain = row.global_gain;
            st.max_sfb = static_cast<int>(row.sfb_cb.size());
            for (std::size_t b = 0; b < row.sfb_cb.size(); ++b) st.sfb_cb[0][b] = row.sfb_cb[b];
            set_fields(*ctx, STREAM_SCF, row.stream, values);
            Frame frame;
            EXPECT_EQ(write_scale_factor_data(*ctx, frame.sink), static_cast<int>(row.stream.width()));
            expect_output(frame, row.stream.bits());
            EXPECT_EQ(ctx->frame_problem != nullptr, row.problem);
        }
    }
}

TEST(TnsWriter, FieldWidthsAndStaticCompression) {
    struct Row {
        const char* name;
        int window_sequence;
        bool static_mode, static_tns;
        Fields stream;
        Bits expected;
        std::size_t expected_consumed_bits;
    };
    Fields long_filter = Fields().add(1, 1).add(1, 2).add(1, 1).add(20, 6).add(2, 5).add(1, 1).add(1, 1).add(5, 3).add(2, 3);
    Fields short_order0 = Fields().add(1, 1).add(1, 1).add(0, 1).add(5, 4).add(0, 3);
    for (int w = 1; w < 8; ++w) short_order0.add(0, 1);
    const Row rows[] = {
        {"long window, one filter of order 2", 0, false, false, long_filter, long_filter.bits(), 23},
        {"short windows, filter order 0", 2, false, false, short_order0, short_order0.bits(), 17},
        {"no TNS", 0, false, false, Fields().add(0, 1), Bits().put(0, 1), 1},
        {"-s without -t: one 0 bit, nothing read", 0, true, false, long_filter, Bits().put(0, 1), 0},
        {"-s with -t: read as usual", 0, true, true, long_filter, long_filter.bits(), 23},
    };
    for (const Row& row : rows) {
        for (bool values : {false, true}) {
            SCOPED_TRACE(::testing::Message() << row.name << (values ? " values" : " bits"));
            Messages m;
            auto ctx = make_context(m.file);
            ctx->options.static_compression = row.static_mode;
            ctx->options.static_tns = row.static_tns;
            ctx->state.window_sequence = row.window_sequence;
            ctx->state.num_windows = row.window_sequence == 2 ? 8 : 1;
            set_fields(*ctx, STREAM_TNS, row.stream, values);
            Frame frame;
            EXPECT_EQ(write_tns_data(*ctx, frame.sink), static_cast<int>(row.expected.count));
            expect_output(frame, row.expected);
            if (!values) {
                EXPECT_EQ(consumed(*ctx, STREAM_TNS), row.expected_consumed_bits);
            }
        }
    }
}

TEST(TnsWriter, EmptyStream) {
    for (bool static_mode : {false, true}) {
        SCOPED_TRACE(static_mode);
        Messages m;
        auto ctx = make_context(m.file);
        ctx->options.static_compression = static_mode;
        set_bits(*ctx, STREAM_TNS, Bits{});
        Frame frame;
        EXPECT_EQ(write_tns_data(*ctx, frame.sink), static_mode ? 1 : 0);
    }
}

TEST(SceHeaderWriter, StaticCompressionTakesTheStcFieldsOnce) {
    for (bool static_mode : {false, true}) {
        SCOPED_TRACE(static_mode);
        Messages m;
        auto ctx = make_context(m.file);
        ctx->options.static_compression = static_mode;
        // id 0, tag 5, pulse 0, gain 0, next id 6; a second frame's fields only without -s.
        Fields stc = Fields().add(0, 3).add(5, 4).add(0, 1).add(0, 1).add(6, 3);
        if (!static_mode) stc.add(0, 3).add(9, 4).add(0, 1).add(0, 1).add(7, 3);
        set_fields(*ctx, STREAM_STC, stc, false);
        Frame first;
        EXPECT_EQ(write_sce_header(*ctx, first.sink), 7);
        expect_output(first, Bits().put(0, 3).put(5, 4));
        EXPECT_EQ(ctx->state.next_element_id, 6);
        Frame second;
        EXPECT_EQ(write_sce_header(*ctx, second.sink), 7);
        expect_output(second, Bits().put(0, 3).put(static_mode ? 5 : 9, 4));
        EXPECT_EQ(ctx->state.next_element_id, static_mode ? 6 : 7);
        EXPECT_EQ(ctx->first_block, static_mode ? 0 : 1);
        EXPECT_EQ(consumed(*ctx, STREAM_STC), stc.width());
    }
}

// Walks fill elements from the frame's cursor; returns how many, checking each is sound.
int count_fill_elements(Frame& frame, std::size_t end) {
    int n = 0;
    while (frame.cursor < end) {
        EXPECT_EQ(frame.next(3), 6u);
        std::uint32_t count = frame.next(4);
        if (count == 15) count += frame.next(8) - 1;
        for (std::uint32_t i = 0; i < count; ++i) EXPECT_EQ(frame.next(8), 0u);
        ++n;
    }
    EXPECT_EQ(frame.cursor, end);
    return n;
}

TEST(FillElements, BudgetsGiveWholeElements) {
    struct Row {
        int budget;
        int expected_left;
        int expected_elements;
    };
    const Row rows[] = {{6, 6, 0}, {7, 0, 1}, {11, 4, 1}, {13, 6, 1}, {127, 0, 1}, {8 * 300 + 7, 1, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.budget);
        Frame frame;
        EXPECT_EQ(write_fill_elements(frame.sink, row.budget), row.expected_left);
        EXPECT_EQ(frame.written(), static_cast<std::size_t>(row.budget - row.expected_left));
        EXPECT_EQ(count_fill_elements(frame, frame.written()), row.expected_elements);
    }
    Frame frame;  // 127: id 6, count 15, escape 0, 14 zero bytes
    write_fill_elements(frame.sink, 127);
    EXPECT_EQ(frame.next(3), 6u);
    EXPECT_EQ(frame.next(4), 15u);
    EXPECT_EQ(frame.next(8), 0u);
}

TEST(ByteAlignment, PadsToTheNextByte) {
    for (unsigned already : {0u, 3u, 8u, 13u}) {
        SCOPED_TRACE(already);
        Frame frame;
        bitsink_put(frame.sink, 0x1FFF, already);
        const int p = write_byte_alignment(frame.sink);
        EXPECT_EQ(p, static_cast<int>((8 - already % 8) % 8));
        EXPECT_EQ(frame.written() % 8, 0u);
    }
}

}  // namespace
