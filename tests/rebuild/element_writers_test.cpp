// Channel element writers where real files do not reach: 'static compression', malformed
// ics_info, sections and scale factors, noise and intensity bands, fill budgets. Stream
// writers are run in both forms (bits and values) from the same field list.
#include <gtest/gtest.h>

#include "rebuild/channel_elements.h"
#include "rebuild/channel_tools.h"
#include "rebuild/frame_end.h"
#include "rebuild/ics_info.h"
#include "rebuild/rebuild_test_util.h"
#include "rebuild/scale_factors.h"
#include "rebuild/section_data.h"
#include "aac/aac_tables.h"

using namespace rebuild_test;

namespace {

Fields long_ics(int max_sfb, int predictor_data_present) {
    return Fields().add(0, 1).add(0, 2).add(1, 1).add(static_cast<std::uint32_t>(max_sfb), 6).add(
        static_cast<std::uint32_t>(predictor_data_present), 1);
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
        expect_written(first, Bits().put(0, 1).put(0, 2).put(1, 1).put(40, 6).put(0, 1));
        ctx->first_window_shape = 0;
        Frame second;
        EXPECT_EQ(write_sce_ics_info(*ctx, second.sink), 11);
        expect_written(second, Bits().put(0, 1).put(1, 2).put(1, 1).put(30, 6).put(0, 1));
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
            expect_written(frame, row.stream.bits());
            EXPECT_EQ(ctx->frame_problem != nullptr, row.problem);
        }
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
        expect_written(first, Bits().put(0, 3).put(5, 4));
        EXPECT_EQ(ctx->state.next_element_id, 6);
        Frame second;
        EXPECT_EQ(write_sce_header(*ctx, second.sink), 7);
        expect_written(second, Bits().put(0, 3).put(static_mode ? 5 : 9, 4));
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

}  // namespace
