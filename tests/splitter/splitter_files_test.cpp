// End to end on real files: the splitter walks every sample and corpus file beside the
// decoder library and must consume exactly the bytes the library consumes, frame by frame.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <ostream>

#include "split_test_support.h"
#include "split_walk.h"
#include "splitter/codebooks.h"

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

std::string resolve(const char* path) {
    const std::string p = path;
    if (p.rfind("corpus/", 0) == 0) return std::string(AACZ_SHARED_DIR) + "/" + p;
    return std::string(AACZ_TEST_DATA_DIR) + "/" + p;
}

bool corpus_present() {
    struct stat st;
    return stat(AACZ_SHARED_DIR "/corpus", &st) == 0;
}

class SplitterFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(SplitterFile, ConsumesWhatTheDecoderConsumesInBothModes) {
    const FileCase& c = GetParam();
    SCOPED_TRACE(c.path);
    if (std::string(c.path).rfind("corpus/", 0) == 0 && !corpus_present()) GTEST_SKIP() << "no corpus";
    const std::vector<std::uint8_t> file = read_bytes(resolve(c.path));
    ASSERT_FALSE(file.empty());
    for (int block_files : {1, 0}) {
        SCOPED_TRACE(block_files ? "bin/csv" : "swp");
        Options options;
        Capture cap(file.size());
        StreamSet swp;
        streamset_build(swp, 0, file.size(), file.size() / 100 + 1);
        SplitContext ctx;
        ctx.options = &options;
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
        if (c.valid) {
            EXPECT_GT(good, 0u);
        }
        if (block_files && cap.set.stream_bits[STREAM_FAACSTR] > 0) {
            // The first fill element of the file opens FAACStr with its id.
            EXPECT_EQ(cap.bits(STREAM_FAACSTR).substr(0, 3), "110");
            EXPECT_EQ(cap.csv(STREAM_FAACSTR).substr(0, 2), "6,");
        }
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

Walk walk_with(const char* name, Options& options, StreamSet& set, std::vector<std::uint8_t>& file) {
    file = read_bytes(std::string(AACZ_TEST_DATA_DIR) + "/" + name);
    SplitContext ctx;
    ctx.options = &options;
    ctx.streams = &set;
    return walk_file(file, ctx);
}

void expect_all_frames_split(const Walk& walk) {
    ASSERT_FALSE(walk.frames.empty());
    for (std::size_t i = 0; i < walk.frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(walk.frames[i].decoder_error, 0u);
        EXPECT_EQ(walk.frames[i].split_status, 0);
        EXPECT_EQ((walk.frames[i].split_bits + 7) / 8, walk.frames[i].decoder_bytes);
    }
}

TEST(SplitterStreams, AdtsStreamRepeatsTheInputHeadersAndBinsNeverOutgrowTheInput) {
    // Per frame, the STC stream's closing 7 of each pair and the next id peeked after a
    // single channel element (the following pair's id again) are bits the input does not
    // hold: with one pair and END they are paid for by the END id, in a 5.1 frame (SCE, CPE,
    // CPE, LFE) they can exceed it by 6 bits.
    struct Row {
        const char* name;
        unsigned extra_bits_per_frame;
    };
    for (const Row& row : {Row{"lc_mono_44k.aac", 0}, Row{"main_stereo_44k.aac", 0}, Row{"lc_51_48k.aac", 6}}) {
        const char* name = row.name;
        SCOPED_TRACE(name);
        Options options;
        Capture cap;
        std::vector<std::uint8_t> file;
        const Walk walk = walk_with(name, options, cap.set, file);
        expect_all_frames_split(walk);
        std::string headers;
        std::uint64_t input_bits = 0;
        for (const WalkedFrame& f : walk.frames) {
            const unsigned header_bits = (file[f.offset + 1] & 1) ? 56 : 72;
            for (unsigned i = 0; i < header_bits; ++i)
                headers.push_back(((file[f.offset + i / 8] >> (7 - i % 8)) & 1) ? '1' : '0');
            input_bits += 8 * f.decoder_bytes;
        }
        EXPECT_EQ(cap.bits(STREAM_ADTS), headers);
        std::uint64_t stream_bits = 0;
        for (int s = 0; s < kStreamCount; ++s) stream_bits += cap.set.stream_bits[s];
        EXPECT_LE(stream_bits, input_bits + row.extra_bits_per_frame * walk.frames.size());
        EXPECT_GT(stream_bits, input_bits / 2);
    }
}

TEST(SplitterStreams, OneGlobalGainLinePerChannelAndFullValueLines) {
    struct Row {
        const char* name;
        std::size_t channels;
    };
    for (const Row& row : {Row{"lc_mono_8k.aac", 1}, Row{"lc_stereo_44k.aac", 2}, Row{"lc_51_48k.aac", 6}}) {
        SCOPED_TRACE(row.name);
        Options options;
        Capture cap;
        std::vector<std::uint8_t> file;
        const Walk walk = walk_with(row.name, options, cap.set, file);
        expect_all_frames_split(walk);
        const std::size_t frames = walk.frames.size();
        EXPECT_EQ(cap.lines(STREAM_GG).size(), frames * row.channels);
        EXPECT_EQ(cap.lines(STREAM_ICSI).size(), frames);
        EXPECT_EQ(cap.lines(STREAM_STC).size(), frames);
        for (const auto& line : cap.lines(LIST_QMDCT_0)) EXPECT_EQ(line.size(), 1024u);

        StreamSet swp;
        streamset_build(swp, 0, file.size(), frames);
        Options swp_options;
        SplitContext ctx;
        ctx.options = &swp_options;
        ctx.streams = &swp;
        walk_file(file, ctx);
        if (row.channels == 1) {
            EXPECT_EQ(swp.lists[LIST_QMDCT_0].count, 1024 * frames);
        }
        EXPECT_EQ(swp.lists[STREAM_GG].count, frames * row.channels);
        streamset_release(swp);
    }
}

// Decodes a mono file's QMDCT bits with the sections found on ICSI and SBN and compares
// them with the value lines, frame by frame (frames with pulses aside).
TEST(SplitterStreams, QmdctBitsDecodeBackToTheValueLines) {
    for (const char* name : {"lc_mono_44k.aac", "pns_mono_32k.aac", "lc_mono_96k.aac"}) {
        SCOPED_TRACE(name);
        Options options;
        Capture cap;
        std::vector<std::uint8_t> file;
        const Walk walk = walk_with(name, options, cap.set, file);
        expect_all_frames_split(walk);
        const auto icsi = cap.lines(STREAM_ICSI);
        const auto sbn = cap.lines(STREAM_SBN);
        const auto stc = cap.lines(STREAM_STC);
        const auto values = cap.lines(LIST_QMDCT_0);
        const std::string qmdct = cap.bits(STREAM_QMDCT);
        ASSERT_EQ(values.size(), walk.frames.size());
        std::size_t pos = 0;
        std::size_t compared = 0, short_frames = 0;
        auto show32 = [&](std::size_t at) {
            std::uint32_t v = 0;
            for (std::size_t i = 0; i < 32; ++i) v = v * 2 + (at + i < qmdct.size() && qmdct[at + i] == '1');
            return v;
        };
        for (std::size_t f = 0; f < values.size(); ++f) {
            SCOPED_TRACE(f);
            const int window_sequence = icsi[f][1];
            const int max_sfb = icsi[f][3];
            const bool eight_short = window_sequence == EIGHT_SHORT_SEQUENCE;
            std::vector<int> group_lengths = {1};
            if (eight_short) {
                ++short_frames;
                const int grouping = icsi[f][4];
                group_lengths = {1};
                for (int w = 1; w < 8; ++w) {
                    if ((grouping >> (6 - (w - 1))) & 1) ++group_lengths.back(); else group_lengths.push_back(1);
                }
            }
            const std::uint8_t sf_index = name[8] == '9' ? 0 : name[0] == 'p' ? 5 : 4;
            const SwbTable& table = eight_short ? kSwb_short128[sf_index] : kSwb_long1024[sf_index];
            std::vector<int> decoded(1024, 0);
            std::size_t sbn_at = 0;
            int p = 0;
            for (int group_length : group_lengths) {
                int k = 0;
                int group_p = p;
                while (k < max_sfb) {
                    const int cb = sbn[f].at(sbn_at++);
                    int len = 0, incr = 0;
                    const int esc = eight_short ? 7 : 31;
                    do { incr = sbn[f].at(sbn_at++); len += incr; } while (incr == esc);
                    const int lines = (table.offsets[k + len] - table.offsets[k]) * group_length;
                    if (cb == ZERO_HCB || cb >= NOISE_HCB) {
                        group_p += lines;
                    } else {
                        for (int done = 0; done < lines; done += static_cast<int>(tuple_size(cb))) {
                            int index = 0;
                            unsigned length = 0;
                            ASSERT_TRUE(decode_spectral_index(cb, show32(pos), index, length));
                            pos += length;
                            int v[4] = {0, 0, 0, 0};
                            index_to_tuple(cb, index, v);
                            for (unsigned j = 0; j < tuple_size(cb); ++j) {
                                if (is_unsigned_book(cb) && v[j] != 0 && qmdct[pos++] == '1') v[j] = -v[j];
                            }
                            for (unsigned j = 0; cb == ESC_HCB && j < 2; ++j) {
                                if (std::abs(v[j]) != 16) continue;
                                unsigned n = 4;
                                while (qmdct[pos++] == '1') ++n;
                                const int m = (1 << n) + static_cast<int>(bits_value(qmdct, pos, n));
                                pos += n;
                                v[j] = v[j] < 0 ? -m : m;
                            }
                            for (unsigned j = 0; j < tuple_size(cb); ++j) decoded[static_cast<std::size_t>(group_p++)] = v[j];
                        }
                    }
                    k += len;
                }
                p += group_length * 128;
            }
            if (stc[f][2] == 0) {  // no pulses in this channel
                EXPECT_EQ(decoded, values[f]);
                ++compared;
            }
        }
        EXPECT_EQ(pos, qmdct.size());
        EXPECT_GT(compared, values.size() / 2);
        if (std::string(name) == "lc_mono_44k.aac") {
            EXPECT_GT(short_frames, 0u);
        }
    }
}

TEST(SplitterStreams, StaticModeOnRealFiles) {
    struct Row {
        const char* name;
        int static_tns;
        bool stops;
    };
    const Row rows[] = {{"lc_mono_44k.aac", 0, false},
                        {"tns_mono_44k.aac", 1, false},
                        {"lc_stereo_44k.aac", 0, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options options;
        options.static_compression = 1;
        options.static_tns = row.static_tns;
        Capture cap;
        std::vector<std::uint8_t> file;
        const Walk walk = walk_with(row.name, options, cap.set, file);
        if (row.stops) {
            EXPECT_EQ(walk.split_init_result, -2);
            EXPECT_TRUE(walk.frames.empty());
            continue;
        }
        expect_all_frames_split(walk);
        const std::size_t frames = walk.frames.size();
        EXPECT_EQ(cap.set.stream_bits[STREAM_ADTS], 23 + 13 * (frames - 1));
        EXPECT_EQ(cap.lines(STREAM_STC).size(), 1u);
        EXPECT_EQ(cap.lines(STREAM_TNS).size(), row.static_tns ? frames : 0u);
        if (!row.static_tns) {
            EXPECT_EQ(cap.set.stream_bits[STREAM_TNS], 0u);
        }
    }
}

}  // namespace

namespace {

// Damaged copies of real files (bytes overwritten at pseudo-random places): every frame
// ends with a status and no read leaves the frame copy; where the library still accepts a
// frame, the splitter consumes the same bytes.
TEST(SplitterDamage, DamagedFilesEndCleanlyAndAgreeWhereTheLibraryDecodes) {
    std::uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    std::size_t agreed = 0;
    for (const char* name : {"lc_stereo_44k.aac", "main_stereo_44k.aac", "ltp_mono_22k.aac", "pns_mono_32k.aac",
                             "is_ms_stereo_48k.aac", "lc_51_48k.aac"}) {
        SCOPED_TRACE(name);
        const std::vector<std::uint8_t> clean = read_bytes(std::string(AACZ_TEST_DATA_DIR) + "/" + name);
        for (int copy = 0; copy < 20; ++copy) {
            std::vector<std::uint8_t> file = clean;
            for (int i = 0; i < 6; ++i) file[100 + next() % (file.size() - 100)] = static_cast<std::uint8_t>(next());
            Options options;
            StreamSet set;
            streamset_build(set, 0, file.size(), 8);
            SplitContext ctx;
            ctx.options = &options;
            ctx.streams = &set;
            const Walk walk = walk_file(file, ctx);
            for (const WalkedFrame& f : walk.frames) {
                if (f.decoder_error != 0) continue;
                EXPECT_EQ(f.split_status, 0) << "copy " << copy << " at " << f.offset;
                EXPECT_EQ((f.split_bits + 7) / 8, f.decoder_bytes) << "copy " << copy << " at " << f.offset;
                ++agreed;
            }
            streamset_release(set);
        }
    }
    EXPECT_GT(agreed, 0u);
}

TEST(SplitterDamage, ArbitraryBytesNeverReadOutsideTheFrame) {
    std::uint32_t seed = 99;
    Options options;
    StreamSet set;
    streamset_build(set, 0, 1 << 16, 64);
    for (int kind : {HEADER_RAW, HEADER_ADTS}) {
        for (std::size_t size : {1u, 2u, 3u, 5u, 7u, 9u, 64u, 777u}) {
            for (int round = 0; round < 50; ++round) {
                std::vector<std::uint8_t> bytes(size);
                for (auto& b : bytes) {
                    seed = seed * 1664525u + 1013904223u;
                    b = static_cast<std::uint8_t>(seed >> 24);
                }
                if (kind == HEADER_ADTS && size >= 2) {
                    bytes[0] = 0xFF;
                    bytes[1] = 0xF1;
                }
                SplitContext ctx;
                ctx.options = &options;
                ctx.streams = &set;
                ctx.header_kind = kind;
                std::uint32_t used = 0;
                const Status s = split_frame(ctx, bytes.data(), bytes.size(), used);
                if (s == 0) {
                    EXPECT_LE((used + 7) / 8, size);
                }
            }
        }
    }
    streamset_release(set);
}

}  // namespace
