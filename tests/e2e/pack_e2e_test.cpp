// The packed form through the program: every sample and corpus file comes back byte for byte;
// names, -o, -f, standard input and output, the strict command line, the habits of users of
// other compressors, several files with one failing or skipped, and damaged packed files that
// leave nothing behind and that --test and --list name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "e2e/terminal.h"
#include "pack/format/pack_format.h"
#include "support/test_util.h"

namespace {

const std::regex kPackLine(R"(^[^\n]+ -> [^\n]+\.aaz: (not AAC, stored (with (zstd|LZMA2|the byte model)((, | and )(LZMA2|the byte model))*|as is): |(ADTS|MP4|fragmented MP4|MOV|3GP|ADIF|raw AAC)[^\n:]*: )?[0-9,]+ -> [0-9,]+ bytes)"
                           R"(( \([0-9]+\.[0-9]{2}% (smaller|larger)\)| \(same size\))?\n$)");
const std::regex kUnpackLine(R"(^[^\n]+\.aaz -> [^\n]+: [0-9,]+ -> [0-9,]+ bytes\n$)");

// Packs dir/name, moves the input aside, unpacks, and compares; no temporary is left.
void expect_round_trip(const TempDir& dir, const std::string& name, const std::string& data) {
    SCOPED_TRACE(name);
    write_file(dir.file(name), data);
    const RunResult packed = expect_run(0, {"-p", name}, dir.path);
    EXPECT_TRUE(std::regex_match(packed.err, kPackLine)) << packed.err;
    EXPECT_EQ(read_file(dir.file(name)), data);  // the input is never changed or removed
    ASSERT_EQ(std::rename(dir.file(name).c_str(), dir.file("original").c_str()), 0);
    const RunResult unpacked = expect_run(0, {"-d", name + ".aaz"}, dir.path);
    EXPECT_TRUE(std::regex_match(unpacked.err, kUnpackLine)) << unpacked.err;
    EXPECT_TRUE(read_file(dir.file(name)) == data);
    std::vector<std::string> names{name, name + ".aaz", "original"};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names_in(dir.path), names);
    for (const std::string& n : names) std::remove(dir.file(n).c_str());
}

TEST(PackProgram, EverySampleAndCorpusFileComesBack) {
    TempDir dir;
    // Names up to the length limit, although ".NAME.XXXXXX" would not fit.
    for (const std::size_t length : {246u, 251u})
        expect_round_trip(dir, std::string(length - 4, 'n') + ".aac", read_file(test_data("lc_mono_8k.aac")));
    for (const std::string& name : names_in(AACZ_TEST_DATA_DIR, true))
        expect_round_trip(dir, name, read_file(test_data(name)));
    const std::vector<std::string> corpus = names_in(corpus_dir(), true);
    if (corpus.empty()) GTEST_SKIP() << "no corpus";
    for (const std::string& name : corpus) expect_round_trip(dir, name, read_file(corpus_dir() + "/" + name));
}

// FILE.aaz, -o OUT, - for standard input and output; a packed file is recognised by its
// magic whatever its name, and a name without .aaz gets .out.
TEST(PackProgram, OutputNamesAndStandardStreams) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_51_48k.aac"));
    write_file(dir.file("in.aac"), aac);
    // Without a file, standard input is read; -q leaves out the line, -T 0 takes every core.
    expect_run(0, {"-p", "-T", "0"}, dir.path, "(standard input) -> (standard output): ", dir.file("in.aac"),
               dir.file("piped.aaz"));
    EXPECT_EQ(expect_run(0, {"-d", "-q", "--threads=1"}, dir.path, "", dir.file("piped.aaz"), dir.file("back.aac")).err, "");
    EXPECT_TRUE(read_file(dir.file("back.aac")) == aac);
    // On a terminal, standard input is not waited for; the line shows the speed there.
    const RunResult tty_in = run_on_terminal({"-p"}, dir.path, kTerminalIn | kTerminalErr);
    EXPECT_EQ(tty_in.status, 1);
    EXPECT_NE(tty_in.err.find("-p without a file reads standard input, which is a terminal here"), std::string::npos);
    const RunResult tty_err = run_on_terminal({"-p", "--stdout", "in.aac"}, dir.path, kTerminalErr);
    EXPECT_EQ(tty_err.status, 0);
    EXPECT_TRUE(std::regex_search(tty_err.err, std::regex(R"(\(standard output\): ADTS \(LC, 48 kHz, 5\.1\), 48 frames: [0-9,]+ -> [0-9,]+ bytes .*, [0-9.]+ MB/s\r?\n)")))
        << tty_err.err;

    expect_run(0, {"-p", "-o", "packed", "in.aac"}, dir.path);
    EXPECT_FALSE(file_exists(dir.file("in.aac.aaz")));
    expect_run(0, {"-d", "packed"}, dir.path);
    EXPECT_TRUE(read_file(dir.file("packed.out")) == aac);
    expect_run(0, {"-d", "-o", "again.aac", "packed"}, dir.path);
    EXPECT_TRUE(read_file(dir.file("again.aac")) == aac);
}

// An existing output is kept without -f, replaced with it; the output is never the input; with
// several files a failure does not stop the others.
TEST(PackProgram, ExistingOutputsAndSeveralFiles) {
    TempDir dir;
    const std::string a = read_file(test_data("lc_mono_8k.aac"));
    const std::string b = read_file(test_data("pns_mono_32k.aac"));
    write_file(dir.file("a.aac"), a);
    write_file(dir.file("b.aac"), b);
    write_file(dir.file("a.aac.aaz"), "precious");
    const RunResult r = expect_run(1, {"-p", "a.aac", "missing.aac", "b.aac"}, dir.path,
                                   "a.aac: a.aac.aaz already exists (use -f to replace it)\n");
    EXPECT_NE(r.err.find("missing.aac: cannot open"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir.file("a.aac.aaz")), "precious");
    ASSERT_TRUE(file_exists(dir.file("b.aac.aaz")));
    expect_run(0, {"-p", "-f", "a.aac"}, dir.path);

    write_file(dir.file("a.aac"), "older");
    write_file(dir.file("b.aac"), "older");
    expect_run(1, {"-d", "--force", "a.aac.aaz", "missing.aaz", "b.aac.aaz"}, dir.path, "missing.aaz: cannot open");
    EXPECT_TRUE(read_file(dir.file("a.aac")) == a);
    EXPECT_TRUE(read_file(dir.file("b.aac")) == b);

    expect_run(1, {"-p", "-f", "-o", "a.aac", "a.aac"}, dir.path);
    EXPECT_TRUE(read_file(dir.file("a.aac")) == a);
}

// The packed form refuses an option it would not use, an unknown one and a name too many
// before anything is written.
TEST(PackProgram, StrictCommandLine) {
    TempDir dir;
    write_file(dir.file("song.aac"), read_file(test_data("lc_mono_8k.aac")));
    expect_run(0, {"-p", "-o", "song.aaz", "song.aac"}, dir.path);
    const std::vector<std::string> before = names_in(dir.path);
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"-p", "-l", "100", "song.aac"}, "-l cannot be used with -p: the packed form is an exact copy"},
        {{"-pst", "song.aac"}, "-s cannot be used with -p"},
        {{"-m", "-d", "song.aaz"}, "-m cannot be used with -d of a packed file"},
        {{"-p", "-c", "song.aac"}, "-c cannot be used with -p: -c selects the data-block compression"},
        {{"-p", "-d", "song.aac"}, "-d cannot be used with -p"},
        {{"-p", "-9", "song.aac"}, "illegal option -- 9\n"},
        {{"-p", "--fast", "song.aac"}, "unrecognized option `--fast'\n"},
        {{"-p", "-T", "two", "song.aac"}, "invalid number of threads `two'\n"},
        {{"-p", "-o", "x.aaz", "song.aac", "song.aaz"}, "-o names one output, but 2 files were given"},
        {{"-p", "-", "-"}, "standard input (-) can be read only once"},
        {{"--test", "--list", "song.aaz"}, "--test and --list cannot be used together"},
        {{"--test", "-o", "x", "song.aaz"}, "--test writes no file"},
        {{"--list", "-p", "song.aaz"}, "-p cannot be used with --list"},
    };
    for (const auto& [args, message] : cases) {
        EXPECT_EQ(expect_run(1, args, dir.path, message).out, "");
        EXPECT_EQ(names_in(dir.path), before);
    }
}

// What users of other compressors type, each ending with the intended result or a message and
// a non-zero status, and nothing of theirs emptied or replaced.
TEST(PackProgram, HabitsOfOtherCompressors) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_stereo_44k.aac"));
    write_file(dir.file("s.aac"), aac);
    write_file(dir.file("notes.txt"), std::string(1000, 'a'));
    std::string index;  // records of one layout whose numbers step on: LZMA2's kind of bytes
    for (unsigned k = 0; k < 3000; ++k)
        index += "cue " + std::to_string(k * 21 + k / 3) + " at " + std::to_string(4000 + k * 377 + (k * 7919) % 61) + "\n";
    write_file(dir.file("index.txt"), index);
    RunResult r = expect_run(0, {"-p", "-k", "--keep", "s.aac", "notes.txt", "index.txt"}, dir.path);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(R"(s\.aac -> s\.aac\.aaz: ADTS \(LC, 44\.1 kHz, stereo\), 53 frames: 15,116 -> [0-9,]+ bytes \([0-9.]+% smaller\)\n)"
                                                   R"(notes\.txt -> notes\.txt\.aaz: not AAC, stored with zstd: 1,000 -> )"
                                                   R"([0-9]+ bytes \([0-9.]+% smaller\)\n)"
                                                   R"(index\.txt -> index\.txt\.aaz: not AAC, stored with LZMA2: [0-9,]+ -> )"
                                                   R"([0-9,]+ bytes \([0-9.]+% smaller\)\n)"
                                                   R"(3 files packed: [0-9,]+ -> [0-9,]+ bytes \([0-9.]+% smaller\), [0-9.]+ s\n)")))
        << r.err;
    std::remove(dir.file("index.txt.aaz").c_str());
    const std::string packed = read_file(dir.file("s.aac.aaz"));
    std::remove(dir.file("notes.txt.aaz").c_str());

    // -dc unpacks to standard output, as with gzip; the input and the file of its name stay.
    const std::vector<std::string> to_stdout[] = {{"-dc", "s.aac.aaz"}, {"-d", "--stdout", "s.aac.aaz"}};
    for (const std::vector<std::string>& args : to_stdout) {
        expect_run(0, args, dir.path, "", "/dev/null", dir.file("out.aac"));
        EXPECT_TRUE(read_file(dir.file("out.aac")) == aac);
        EXPECT_TRUE(read_file(dir.file("s.aac")) == aac && read_file(dir.file("s.aac.aaz")) == packed);
    }
    // Packing everything skips what is packed already, goes on with the rest, and says so with
    // status 2; -f packs it anyway.
    std::remove(dir.file("out.aac").c_str());
    expect_run(2, {"-p", "s.aac.aaz", "notes.txt"}, dir.path, "s.aac.aaz is already packed; skipped\n");
    EXPECT_TRUE(file_exists(dir.file("notes.txt.aaz")));
    EXPECT_FALSE(file_exists(dir.file("s.aac.aaz.aaz")));
    expect_run(0, {"-p", "-f", "s.aac.aaz"}, dir.path);
    EXPECT_TRUE(file_exists(dir.file("s.aac.aaz.aaz")));
    EXPECT_TRUE(read_file(dir.file("s.aac.aaz")) == packed);
    EXPECT_TRUE(read_file(dir.file("s.aac")) == aac);
    // Version (help: the install test): standard output, status 0, in any company.
    r = expect_run(0, {"-p", "-V", "s.aac"}, dir.path);
    EXPECT_EQ(r.out + r.err, "aaczavrok 0.1 alpha (packed format version " + std::to_string(kPackFormatVersion) + ")\n");
}

// Damaged files are named by -d, --test and --list alike, and leave nothing behind; --test and
// --list report the sound fixtures, --list --verbose every chunk.
TEST(PackProgram, DamagedAndSoundPackedFilesUnderEveryReader) {
    TempDir dir;
    const std::string packed = read_file(packed_fixture("lc_stereo_44k.aac.aaz"));
    std::string version = packed, flipped = packed;
    version[8] = kPackFormatVersion + 1;
    flipped[packed.size() / 2] ^= 1;
    const std::string unsupported =
        "format version " + std::to_string(kPackFormatVersion + 1) + " is not supported by this version of aaczavrok";
    const std::pair<std::string, const char*> cases[] = {
        {packed.substr(0, packed.size() / 2), "file is truncated"},
        {version, unsupported.c_str()},
        {flipped, "chunk 1 is damaged"},
        {read_file(test_data("lc_mono_8k.aac")), "file is damaged (no packed-file magic number)"},
    };
    for (const auto& [data, message] : cases) {
        SCOPED_TRACE(message);
        write_file(dir.file("bad.aaz"), data);
        for (const char* reader : {"-d", "--test", "--list"}) {
            const RunResult r = expect_run(1, {reader, "bad.aaz"}, dir.path, message);
            EXPECT_EQ(r.err.find("bad.aaz: "), 0u) << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"bad.aaz"});  // no output, no temporary
        }
    }

    const std::string fixtures = packed_fixture("");
    const std::size_t fixture_count = names_in(fixtures).size();
    RunResult r = expect_run(0, {"--test", "lc_51_48k.aac.aaz", "lc_stereo_44k.aac.aaz"}, fixtures);
    EXPECT_TRUE(std::regex_match(r.err, std::regex(R"((lc_[0-9a-z_]+\.aac\.aaz: OK, [0-9,]+ -> [0-9,]+ bytes, )"
                                                   R"(every checksum matches\n){2}2 files tested: 31,532 -> 39,692 bytes, [0-9.]+ s\n)")))
        << r.err;
    r = expect_run(0, {"--list", "--verbose", "lc_stereo_44k.aac.aaz"}, fixtures);
    const std::string named = "format version " + std::to_string(kPackFormatVersion);
    EXPECT_EQ(r.out,
              "lc_stereo_44k.aac.aaz: " + named + "; 1 chunk: 1 model; original 15,116 bytes, packed 12,061 "
              "(20.21% smaller)\n  chunk 1: model, original 15,116 bytes, packed 11,985 (20.71% smaller)\n");
    r = expect_run(0, {"--list", "tags_cover.m4a.aaz"}, fixtures);
    EXPECT_EQ(r.out.rfind("tags_cover.m4a.aaz: " + named + "; 2 chunks: 2 units; original 13,619 bytes", 0), 0u)
        << r.out;
    EXPECT_EQ(names_in(fixtures).size(), fixture_count);  // the fixtures' folder is only read
}

// Packs name in dir and returns the packing line; the file must come back byte for byte.
std::string pack_and_check(const TempDir& dir, const std::string& name) {
    const RunResult packed = expect_run(0, {"-p", "-f", name}, dir.path);
    EXPECT_TRUE(expect_run(0, {"-d", "--stdout", name + ".aaz"}, dir.path).out == read_file(dir.file(name))) << name;
    return packed.err;
}

}  // namespace

// ADIF files and headerless raw streams are coded unit by unit as ADTS frames are: they pack to
// the size of the ADTS file of the same frames, and an ADIF file read from a pipe packs as the
// file does (it is read whole first).
TEST(PackProgram, StreamsWithoutFrameHeadersPackAsTheirAdtsFrames) {
    TempDir dir;
    write_file(dir.file("song.aac"), read_file(test_data("lc_stereo_44k.aac")));
    pack_and_check(dir, "song.aac");
    const double adts_packed = static_cast<double>(read_file(dir.file("song.aac.aaz")).size());
    const struct {
        const char* name;
        const char* line;
    } streams[] = {{"lc_stereo_44k.adif", "ADIF (LC, 44.1 kHz), 53 access units: 14,759 -> "},
                   {"lc_stereo_44k.raw", "raw AAC (LC, 44.1 kHz), 53 access units: 14,745 -> "}};
    for (const auto& s : streams) {
        SCOPED_TRACE(s.name);
        write_file(dir.file(s.name), read_file(test_data(std::string("streams/") + s.name)));
        const std::string line = pack_and_check(dir, s.name);
        EXPECT_NE(line.find(s.line), std::string::npos) << line;
        const double packed = static_cast<double>(read_file(dir.file(std::string(s.name) + ".aaz")).size());
        EXPECT_LT(std::abs(packed - adts_packed), adts_packed * 0.002) << packed << " against " << adts_packed;
    }
    ASSERT_EQ(pack_from_pipe(dir, "lc_stereo_44k.adif"), "");
    EXPECT_TRUE(read_file(dir.file("piped.aaz")) == read_file(dir.file("lc_stereo_44k.adif.aaz")));
}

// Every container sample is packed by its access units, named on its line, and comes back; the
// units cost no more than the same frames as ADTS, and the container's own bytes no more than
// they are. An index after the media, an FLV, Matroska or transport stream file, read from a
// pipe, packs as the file does.
TEST(PackProgram, ContainersArePackedByTheirAccessUnits) {
    TempDir dir;
    const std::regex line(R"(^[^\n]+ -> [^\n]+\.aaz: (((fragmented )?(MP4|MOV|3GP)|Matroska), [12] AAC tracks?|(FLV|MPEG-TS), 1 AAC stream|LOAS/LATM))"
                          R"(( \(((ADTS|LATM), )?LC, [0-9.]+ kHz, (mono|stereo)\))?(, [0-9] other tracks?|, video beside it)?, )"
                          R"([0-9,]+ access units: [0-9,]+ -> [0-9,]+ bytes \([0-9]+\.[0-9]{2}% smaller\)\n$)");
    // The ADTS copy of each sample's access units: NAME.adts beside it, or one of these.
    const std::pair<std::string, std::string> copies[] = {
        {"ff_stereo.flv", "lc_stereo_44k.aac"}, {"gst_mono.flv", "lc_mono_44k.aac"}, {"ff_stereo.mka", "lc_stereo_44k.aac"},
        {"gst_mono.mka", "lc_mono_44k.aac"}, {"live_video.mkv", "lc_mono_44k.aac"}, {"ff_stereo.ts", "lc_stereo_44k.aac"},
        {"ff_stereo.m2ts", "lc_stereo_44k.aac"}, {"gst_mono.ts", "lc_mono_44k.aac"}, {"latm_mono.ts", "lc_mono_44k.aac"},
        {"lc_stereo_44k.loas", "lc_stereo_44k.aac"}};
    std::size_t compared = 0;
    for (const char* folder : {"mp4", "flv", "mkv", "ts", "loas"}) {
        const std::string samples = test_data(folder);
        for (const std::string& name : names_in(samples, true)) {
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".adts") == 0) continue;
            SCOPED_TRACE(name);
            const std::string data = read_file(samples + "/" + name);
            write_file(dir.file(name), data);
            const std::string packed_line = pack_and_check(dir, name);
            EXPECT_TRUE(std::regex_match(packed_line, line)) << packed_line;
            std::string copy = read_file(samples + "/" + name + ".adts");
            for (const auto& [sample, adts] : copies)
                if (name == sample) copy = read_file(test_data(adts));
            if (copy.empty() || name.find("two_tracks") != std::string::npos) continue;
            write_file(dir.file("copy.aac"), copy);
            pack_and_check(dir, "copy.aac");
            const std::size_t frames = adts_frame_bounds(copy).size() - 1;  // the ADTS copy's, each behind a 7-byte header
            const std::size_t own_bytes = data.size() - (copy.size() - 7 * frames);
            EXPECT_LE(read_file(dir.file(name + ".aaz")).size(), read_file(dir.file("copy.aac.aaz")).size() + own_bytes);
            ++compared;
        }
    }
    EXPECT_GE(compared, 18u);
    // A lone segment of the fragmented file (no ftyp, no moov): its AAC track is found by its
    // frames, and packs as the whole file's does.
    std::string segment = read_file(test_data("mp4/frag_av.mp4"));
    segment.erase(0, segment.find("moof") - 4);
    write_file(dir.file("seg.m4s"), segment);
    EXPECT_NE(pack_and_check(dir, "seg.m4s").find(": MP4 segment, 1 AAC track (LC), 1 other track, 52 access units: "),
              std::string::npos);
    EXPECT_LE(read_file(dir.file("seg.m4s.aaz")).size(), read_file(dir.file("frag_av.mp4.aaz")).size());
    const RunResult stats = expect_run(0, {"-p", "-f", "--pack-stats", "tags_cover.m4a"}, dir.path);
    EXPECT_TRUE(std::regex_search(stats.err, std::regex(R"(\n  container +[0-9,]+ bits)"))) << stats.err;
    // A transport stream's packets are one chunk of the models, its container stream counted as such.
    const RunResult ts = expect_run(0, {"-p", "-f", "--pack-stats", "gst_mono.ts"}, dir.path);
    EXPECT_TRUE(std::regex_search(ts.err, std::regex(R"(\n  chunks: 1 model, 0 zstd, 0 stored\n  ts +24,252 -> [0-9,]+ bytes\n)"
                                                     R"([^]*\n  container +[1-9][0-9,]* bits)")))
        << ts.err;
    for (const char* name : {"tags_cover.m4a", "video.flv", "live_video.mkv", "video.ts", "latm_mono.ts", "lc_stereo_44k.loas"}) {
        std::remove(dir.file("piped.aaz").c_str());
        ASSERT_EQ(pack_from_pipe(dir, name), "");
        EXPECT_TRUE(read_file(dir.file("piped.aaz")) == read_file(dir.file(std::string(name) + ".aaz"))) << name;
    }
}

// A container read from a pipe is kept whole before it is mapped, a long one (5 MiB here) in
// an unnamed temporary file, made in /tmp when TMPDIR names no usable folder; it packs as the
// file does.
TEST(PackProgram, AContainerFromAPipeGoesToATemporaryFileWhereverTmpdirPoints) {
    TempDir dir;
    std::string m4a = read_file(test_data("mp4/tags_cover.m4a"));
    const std::uint32_t free_size = 5u << 20;  // a free box at its end
    for (int shift = 24; shift >= 0; shift -= 8) m4a += static_cast<char>(free_size >> shift & 0xFF);
    m4a += "free";
    m4a.resize(m4a.size() + free_size - 8, '\0');
    write_file(dir.file("big.m4a"), m4a);
    EXPECT_NE(pack_and_check(dir, "big.m4a").find(": MP4, 1 AAC track"), std::string::npos);
    ASSERT_EQ(pack_from_pipe(dir, "big.m4a", "TMPDIR=/nonexistent"), "");
    EXPECT_TRUE(read_file(dir.file("piped.aaz")) == read_file(dir.file("big.m4a.aaz")));
}
