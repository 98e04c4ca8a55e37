// Per-channel syntax on crafted bits where real files do not reach: impossible sections,
// out-of-range scale factors, pulses, and the value line's cut-off range.
#include <gtest/gtest.h>

#include "split_test_support.h"
#include "splitter/ics_info.h"
#include "splitter/pulse.h"
#include "splitter/scale_factors.h"
#include "splitter/section_data.h"
#include "splitter/spectral_data.h"

namespace {

struct Reader {
    PaddedBytes storage;
    BitReader br;
    explicit Reader(const BitWriter& w) { init_reader(br, storage, w.bytes.data(), w.bytes.size()); }
};

ChannelStream long_window(std::uint8_t max_sfb, std::uint8_t sf_index = 4) {
    ChannelStream cs;
    cs.window_sequence = ONLY_LONG_SEQUENCE;
    cs.max_sfb = max_sfb;
    EXPECT_EQ(derive_window_grouping(cs, sf_index), 0);
    return cs;
}

TEST(SectionData, ImpossibleSectionsEndTheChannelWithTheLibrarysStatus) {
    struct Row {
        const char* name;
        std::uint8_t max_sfb;
        BitWriter bits;
        Status expected;
    };
    BitWriter zero_sections;
    for (int i = 0; i < 130; ++i) zero_sections.put(1, 4).put(0, 5);
    zero_sections.put(0xFFFF, 16);
    const Row rows[] = {
        {"zero-length sections past the section array", 1, zero_sections, kStatusIndexRange},
        {"sections past max_sfb", 2, BitWriter{}.put(1, 4).put(3, 5), kStatusBadSyntax},
        {"reserved codebook 12", 2, BitWriter{}.put(12, 4).put(1, 5), kStatusBadSyntax},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Capture cap;
        ChannelStream cs = long_window(row.max_sfb);
        BitWriter w = row.bits;
        Reader r(w.put(0xFFFFFFFF, 32));
        EXPECT_EQ(read_section_data(cap.set, r.br, cs), row.expected);
    }
    // Band limits: max_sfb beyond the band table (refused like the decoder library does)
    // and a pulse start band beyond it.
    ChannelStream cs;
    cs.window_sequence = EIGHT_SHORT_SEQUENCE;
    cs.max_sfb = 15;
    EXPECT_EQ(derive_window_grouping(cs, 4), kStatusBadSyntax);
    cs.window_sequence = ONLY_LONG_SEQUENCE;
    cs.max_sfb = 49;
    EXPECT_EQ(derive_window_grouping(cs, 4), 0);
    EXPECT_EQ(derive_window_grouping(cs, 12), kStatusBadSyntax);
    BitWriter pulse;
    pulse.put(0, 2).put(50, 6).put(0, 9);
    Reader r(pulse);
    EXPECT_EQ(read_pulse_data(r.br, cs), kStatusBandCount);
}

TEST(ScaleFactors, OutOfRangeScaleFactorEndsTheChannelAfterItsCodeword) {
    Capture cap;
    ChannelStream cs = long_window(2);
    cs.global_gain = 0;
    cs.sfb_cb[0][0] = 1;
    cs.sfb_cb[0][1] = 1;
    BitWriter w;
    w.put("100").put(0, 16);
    Reader r(w);
    EXPECT_EQ(read_scale_factor_data(cap.set, r.br, cs), kStatusNegativeScalefactor);
    EXPECT_EQ(cap.bits(STREAM_SCF), "100");
}

TEST(Pulses, OffsetsAccumulateAndAZeroValueBecomesNegative) {
    ChannelStream cs = long_window(10);
    cs.pulse.pulse_start_sfb = 2;  // band 2 starts at line 8 at 44.1 kHz
    cs.pulse.number_pulse = 2;
    cs.pulse.pulse_offset = {3, 0, 4, 0};
    cs.pulse.pulse_amp = {2, 5, 7, 0};
    std::int32_t spectrum[kFrameLength] = {};
    spectrum[15] = 4;
    ASSERT_EQ(apply_pulses(cs, spectrum, kFrameLength), 0);
    EXPECT_EQ(spectrum[11], -7);  // 0 - 2, then -2 - 5: both pulses land on 8 + 3
    EXPECT_EQ(spectrum[15], 11);  // a positive value grows
    cs.pulse.number_pulse = 0;
    cs.pulse.pulse_start_sfb = 49;
    cs.pulse.pulse_offset = {31, 0, 0, 0};
    EXPECT_EQ(apply_pulses(cs, spectrum, kFrameLength), kStatusIndexRange);
}

TEST(ValueLine, CutOffsSelectTheLines) {
    struct Row {
        double lo, hi;
        std::uint8_t sf_index;
        unsigned start, end;
        double lo_after, hi_after;
    };
    const Row rows[] = {
        {0, 0, 4, 0, 1024, 0, 22050},        {0, 11025, 4, 0, 513, 0, 11025},
        {5000, 4000, 4, 0, 186, 0, 4000},    {5000, 11025, 4, 232, 513, 5000, 11025},
        {0, 30000, 4, 0, 1024, 0, 30000},    {0, 0, 11, 0, 1024, 0, 4000},
        {2000.9, 2000.5, 11, 0, 513, 0, 2000.5}, {3999, 0, 11, 1023, 1024, 3999, 4000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.lo << ".." << r.hi << " sf " << int{r.sf_index});
        unsigned start = 99, end = 99;
        value_line_range(r.lo, r.hi, r.sf_index, start, end);
        EXPECT_EQ(start, r.start);
        EXPECT_EQ(end, r.end);
    }
}

}  // namespace
