// End to end on real files: the splitter walks every sample and corpus file beside the
// decoder library and must consume exactly the bytes the library consumes, frame by frame.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>

#include "split_test_support.h"
#include "support/faad_reference.h"

namespace {

struct FileCase {
    const char* path;  // relative to tests/data, or "corpus/..." under the shared folder
    bool valid;        // every frame the library decodes splits without error
};

const FileCase kFiles[] = {
    {"is_ms_stereo_48k.aac", true}, {"lc_51_48k.aac", true}, {"lc_mono_44k.aac", true},
    {"lc_mono_8k.aac", true}, {"lc_mono_96k.aac", true}, {"lc_mono_fill_44k.aac", true},
    {"lc_stereo_44k.aac", true}, {"ltp_mono_22k.aac", true}, {"main_stereo_44k.aac", true},
    {"tns_mono_44k.aac", true}, {"pns_mono_32k.aac", true}, {"sine_window_mono_44k.aac", true},
    {"tns_sine_window_mono_44k.aac", true},
    {"corpus/atl_adif_lc_st44.aac", true}, {"corpus/atl_lc_st44.aac", true},
    {"corpus/atl_mpeg2_lc_mono8k.aac", true}, {"corpus/exiftool_1frame.aac", true},
    {"corpus/exo_id3_midstream.adts", true}, {"corpus/exo_lc_mono44.adts", true},
    {"corpus/exo_trunc_lastframe.adts", false}, {"corpus/fq_lc_st44_3frames.aac", true},
    {"corpus/fq_raw_frame1.raw", true}, {"corpus/ft_mpeg2_lc_trunc.aac", false},
    {"corpus/gen_fdk_adif_lc_51.aac", true}, {"corpus/gen_fdk_crc_he_st48.aac", true},
    {"corpus/gen_fdk_crc_lc_51.aac", true}, {"corpus/gen_fdk_crc_lc_st44.aac", true},
    {"corpus/gen_ffmpeg_main_st44.aac", true}, {"corpus/gpac_lc_st48.aac", true},
    {"corpus/mm_lc_mono16k_trunc.aac", false}, {"corpus/mm_sfi15_invalid.aac", false},
    {"corpus/mutagen_adif_ltp_trunc.aac", false}, {"corpus/mutagen_mpeg2_lc_st44.aac", true},
    {"corpus/pcm2aac_ltp_mono11k.aac", true}, {"corpus/picard_apev2.aac", true},
    {"corpus/raw_lc_51_16k.raw", false}, {"corpus/raw_lc_st44.raw", true},
    {"corpus/remux_lc_mono96k.aac", true}, {"corpus/shaka_hls_id3priv.aac", true},
    {"corpus/taglib_lc_mono11k.aac", true}, {"corpus/tls_id3v2_id3v1_trunc.aac", false},
    {"corpus/ts_he_st22k.aac", true}, {"corpus/ts_hev2_24k.aac", true}, {"corpus/ts_lc_51_48k.aac", true},
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.path; }

class SplitterFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(SplitterFile, ConsumesWhatTheDecoderConsumesInBothModes) {
    const FileCase& c = GetParam();
    SCOPED_TRACE(c.path);
    const bool in_corpus = std::string(c.path).rfind("corpus/", 0) == 0;
    if (in_corpus && !file_exists(corpus_dir())) GTEST_SKIP() << "no corpus";
    const std::string file = read_file(in_corpus ? corpus_dir() + "/" + (c.path + 7) : test_data(c.path));
    ASSERT_FALSE(file.empty());
    for (int block_files : {1, 0}) {
        SCOPED_TRACE(block_files ? "bin/csv" : "swp");
        Capture cap(file.size());
        StreamSet swp;
        streamset_build(swp, 0, file.size(), file.size() / 100 + 1);
        SplitContext ctx;
        ctx.streams = block_files ? &cap.set : &swp;
        const Walk walk = walk_file(file, ctx);
        EXPECT_EQ(walk.split_init_result < 0, walk.decoder_init_result < 0);
        if (walk.decoder_init_result >= 0) {
            EXPECT_EQ(walk.split_init_result, walk.decoder_init_result);
        }
        std::size_t good = 0;
        for (std::size_t i = 0; i < walk.frames.size(); ++i) {
            const WalkedFrame& f = walk.frames[i];
            SCOPED_TRACE(::testing::Message() << "frame " << i << " at " << f.offset);
            if (f.decoder_error != 0) {
                // A frame the library refuses ends the walk; the splitter must have ended
                // it cleanly too, or at least stopped with a status of its own.
                EXPECT_EQ(i + 1, walk.frames.size());
                if (c.valid) ADD_FAILURE() << "library error " << f.decoder_error << " on a valid file";
                continue;
            }
            ++good;
            EXPECT_EQ(f.split_status, 0);
            EXPECT_EQ((f.split_bits + 7) / 8, f.decoder_bytes);
        }
        EXPECT_TRUE(good > 0 || !c.valid);
        streamset_release(swp);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, SplitterFile, ::testing::ValuesIn(kFiles), [](const auto& info) {
    std::string name = info.param.path;
    for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    }
    return name;
});

// The streams hold the input's syntax bits and little else. Per frame, the STC stream's closing
// 7 of each pair and the next id peeked after a single channel element are bits the input does
// not hold: with one pair and END they are paid for by the END id, in a 5.1 frame (SCE, CPE,
// CPE, LFE) they can exceed it by 6 bits.
TEST(SplitterStreams, BinsNeverOutgrowTheInput) {
    struct Row {
        const char* name;
        unsigned extra_bits_per_frame;
    };
    for (const Row& row : {Row{"lc_mono_44k.aac", 0}, Row{"main_stereo_44k.aac", 0}, Row{"lc_51_48k.aac", 6}}) {
        SCOPED_TRACE(row.name);
        Capture cap;
        SplitContext ctx;
        ctx.streams = &cap.set;
        const Walk walk = walk_file(read_file(test_data(row.name)), ctx);
        ASSERT_FALSE(walk.frames.empty());
        std::uint64_t input_bits = 0;
        for (const WalkedFrame& f : walk.frames) input_bits += 8 * f.decoder_bytes;
        std::uint64_t total_bits = 0;
        for (int s = 0; s < kStreamCount; ++s) total_bits += stream_bits(cap.set, s);
        EXPECT_LE(total_bits, input_bits + row.extra_bits_per_frame * walk.frames.size());
        EXPECT_GT(total_bits, input_bits / 2);
    }
}

}  // namespace
