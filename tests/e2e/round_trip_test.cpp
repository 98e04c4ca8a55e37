// Compression followed by decompression on real files, in every arrangement of the
// data blocks: the rebuilt file must decode without error, state the true length of every
// frame, decode to the original's PCM unless the original carried pulse data, and be
// byte-identical when in addition its fill elements stand only at the start of the first frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/bit_writer.h"
#include "support/faad_reference.h"
#include "e2e/terminal.h"
#include "support/test_util.h"
#include "targets.h"

namespace {

struct Case {
    std::string path;
    std::string name;
    bool tagged = false;  // tags are not frames: the rebuilt file cannot hold them
    std::vector<std::string> settings = {};
};

// Mono and stereo LC, Main and LTP ADTS files: the bundled samples (all but the 5.1 one) and
// the corpus's files that its manifest does not mark BROKEN or NEGATIVE.
std::vector<Case> round_trip_cases() {
    std::vector<Case> cases;
    for (const std::string& f : names_in(AACZ_TEST_DATA_DIR, true))
        if (f != "lc_51_48k.aac") cases.push_back({test_data(f), f, false});
    // 'Static compression' keeps window_shape once per file, so the file survives where the
    // window shape never changes (the sine-window samples are such files, made from ffmpeg's
    // output with the window shape set to 0 in every frame; the corpus files come from an
    // encoder that keeps one shape and also writes the header constants -s restores).
    cases.push_back({test_data("sine_window_mono_44k.aac"), "sine_window_mono_44k.aac -s", false, {"-s"}});
    cases.push_back({test_data("tns_sine_window_mono_44k.aac"), "tns_sine_window_mono_44k.aac -s -t", false, {"-s", "-t"}});
    cases.push_back({corpus_dir() + "/pcm2aac_ltp_mono11k.aac", "pcm2aac_ltp_mono11k.aac -s", false, {"-s"}});
    cases.push_back({corpus_dir() + "/exo_lc_mono44.adts", "exo_lc_mono44.adts -s -t", false, {"-s", "-t"}});
    cases.push_back({corpus_dir() + "/atl_mpeg2_lc_mono8k.aac", "atl_mpeg2_lc_mono8k.aac -s -t", false, {"-s", "-t"}});
    std::ifstream manifest(corpus_dir() + "/MANIFEST.tsv");
    std::string line;
    std::getline(manifest, line);
    while (std::getline(manifest, line)) {
        std::vector<std::string> col;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, '\t')) col.push_back(c);
        if (col.size() < 12) continue;
        const bool profile_ok = col[5] == "LC" || col[5] == "Main" || col[5] == "LTP";
        const bool channels_ok = col[7] == "1" || col[7] == "2";
        const bool damaged = col[11].find("BROKEN") != std::string::npos || col[11].find("NEGATIVE") != std::string::npos;
        if (col[4] == "ADTS" && profile_ok && channels_ok && !damaged)
            cases.push_back({corpus_dir() + "/" + col[0], col[0], col[9] != "none"});
    }
    return cases;
}

struct SplitFacts {
    bool clean = false;
    std::uint32_t pulse_channels = 0;
    std::uint32_t late_fill_elements = 0;
};

SplitFacts split_facts(const std::string& path) {
    StreamSet streams;
    streamset_build(streams, 0, 0, 0);
    SplitContext ctx;  // the default settings
    ctx.streams = &streams;
    const Walk walk = walk_file(read_file(path), ctx);
    SplitFacts facts;
    facts.clean = walk.split_init_result >= 0 && !walk.frames.empty();
    for (const WalkedFrame& f : walk.frames) facts.clean = facts.clean && f.split_status == 0 && f.decoder_error == 0;
    facts.pulse_channels = ctx.pulse_channels;
    facts.late_fill_elements = ctx.late_fill_elements;
    streamset_release(streams);
    return facts;
}

struct Arrangement {
    const char* name;
    std::vector<std::string> compress;
    std::vector<std::string> decompress;  // the last word is the data-block name
    bool drop_qmdct_bin = false;          // the QMDCT values then come from their ".csv" files
};

const Arrangement kArrangements[] = {
    {"swp", {}, {"-d", "in.swp"}},
    {"bin", {"-m"}, {"-d", "-m", "in"}},
    {"csv", {"-m"}, {"-d", "-m", "-v", "in"}},
    {"bin without QMDCT.bin", {"-m"}, {"-d", "-m", "in"}, true},
};

std::string round_trip(const std::string& original, const Arrangement& a, const std::vector<std::string>& settings = {}) {
    TempDir dir;
    write_file(dir.path + "/in.aac", original);
    std::vector<std::string> args = a.compress;
    args.insert(args.end(), settings.begin(), settings.end());
    args.push_back("in.aac");
    const RunResult c = run_program(args, dir.path);
    EXPECT_EQ(c.err.find("Error:"), std::string::npos) << c.err;
    if (a.drop_qmdct_bin) std::remove((dir.path + "/in_QMDCT.bin").c_str());
    args = settings;
    args.insert(args.end(), a.decompress.begin(), a.decompress.end());
    expect_run(0, args, dir.path, "AAC Zavrok");  // data blocks, not the packed form
    // Every frame states its true length: the lengths tile the file.
    EXPECT_GT(whole_adts_frames(dir.path + "/in_rec.aac"), 0);
    return read_file(dir.path + "/in_rec.aac");
}

TEST(RoundTrip, RealFilesInEveryArrangement) {
    for (const Case& c : round_trip_cases()) {
        if (!file_exists(c.path)) continue;  // the corpus is absent on a fresh clone
        SCOPED_TRACE(c.name);
        const std::string original = read_file(c.path);
        const ReferenceDecode ref = reference_decode(original);
        ASSERT_TRUE(ref.init_ok);
        if (ref.first_error != 0) {
            // A file the library cannot decode to its end (a frame cut short) is damaged input.
            std::printf("round trip %-28s skipped: the library stops with error %d\n", c.name.c_str(), ref.first_error);
            continue;
        }
        const SplitFacts facts = split_facts(c.path);
        ASSERT_TRUE(facts.clean);
        for (const Arrangement& a : kArrangements) {
            SCOPED_TRACE(a.name);
            const std::string rebuilt = round_trip(original, a, c.settings);
            const ReferenceDecode back = reference_decode(rebuilt);
            EXPECT_TRUE(back.init_ok);
            EXPECT_EQ(back.first_error, 0);
            const bool identical = rebuilt == original;
            const bool same_pcm = back.pcm == ref.pcm;
            std::printf("round trip %-28s %s: %s (pulse channels %u, late fill elements %u)\n", c.name.c_str(),
                        a.name, identical ? "byte-identical" : same_pcm ? "PCM-identical" : "neither",
                        facts.pulse_channels, facts.late_fill_elements);
            EXPECT_TRUE(same_pcm || facts.pulse_channels > 0);
            EXPECT_TRUE(identical || facts.pulse_channels > 0 || facts.late_fill_elements > 0 || c.tagged);
        }
    }
}

TEST(RoundTrip, CutOffsGiveValidFilesWithoutLinesOutsideTheBand) {
    const std::string original = read_file(test_data("lc_stereo_44k.aac"));
    for (const Arrangement& a : kArrangements) {
        SCOPED_TRACE(a.name);
        const std::string rebuilt = round_trip(original, a, {"-l", "3000", "-h", "11025"});
        const ReferenceDecode back = reference_decode(rebuilt);
        EXPECT_TRUE(back.init_ok);
        EXPECT_EQ(back.first_error, 0);
        // The cut-off acts on the stored values only; the codeword path carries every codeword.
        if (std::string(a.name) == "bin") continue;
        // Split the rebuilt file again with the full band: only lines 139..512 may be non-zero.
        TempDir dir;
        write_file(dir.path + "/r.aac", rebuilt);
        run_program({"-m", "r.aac"}, dir.path);
        for (const char* list : {"/r_QMDCT_0.csv", "/r_QMDCT_1.csv"}) {
            std::stringstream csv(read_file(dir.path + list));
            std::string line, value;
            int lines = 0;
            for (; std::getline(csv, line); ++lines) {
                std::stringstream values(line);
                std::size_t k = 0;
                for (; std::getline(values, value, ','); ++k) {
                    if (k < 139 || k > 512) {
                        ASSERT_EQ(std::atoi(value.c_str()), 0) << "line " << k;
                    }
                }
                ASSERT_EQ(k, 1024u);
            }
            ASSERT_GT(lines, 0);
        }
    }
}

// A mono frame of one channel element (band 0 in book 1, all lines zero) ending in fill
// elements of zero bytes, as an encoder pads a frame to a constant rate: `fill` bytes in all,
// escape counts included, in elements of at most 270 bytes (none when fill < 0). The file's
// first frame has an empty fill element in front instead, as the file's first fill element.
std::string padded_frame(int fill, bool first = false) {
    BitWriter b;
    if (first) b.put(6, 3).put(0, 4);
    put_quiet_channel(b.put(0, 3).put(0, 4));  // SCE
    for (int left = fill; left >= 0; left = left > 270 ? left - 270 : -1) {
        const unsigned c = static_cast<unsigned>(std::min(left, 270));
        b.put(6, 3).put(std::min(c, 15u), 4);
        if (c >= 15) b.put(c - 15, 8);
        for (unsigned i = c >= 15; i < c; ++i) b.put(0, 8);
    }
    return adts_frame(b.put(7, 3).align());
}

// The codeword path rebuilds a padded frame to its recorded length with fill elements of
// zero bytes: the short count below 15 bytes, the escape count (8 bits) from 15 to 270, and
// more elements beyond. Sizes that leave 7 bits of alignment are left out: there the
// rebuild cannot tell the alignment from one more empty fill element, and writes the latter.
TEST(RoundTrip, FramesPaddedWithFillElementsComeBackByteIdentical) {
    std::string file = padded_frame(-1, true);
    for (int fill : {-1, 0, 14, 15, 16, 200, 269, 270, 600}) file += padded_frame(fill);
    EXPECT_TRUE(round_trip(file, kArrangements[1]) == file);  // "bin": the only one with codewords
}

}  // namespace

