// The program run as a user runs it: messages, exit statuses, output files and the WAV
// samples compared with a decode by the library alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "streams/block_files.h"
#include "support/bit_writer.h"
#include "support/faad_reference.h"
#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

const char* const kBanner =
    "\n ========================================================================\n\n"
    " AAC Zavrok Version 0.1 alpha\n";

// Nothing usable, a second input file, an MP4 file, a packed file, a file that is not AAC (not
// even its first frame decodes), an empty one, and stereo for 'static compression': no output.
TEST(Program, RefusedRunsLeaveNoOutput) {
    TempDir dir;
    write_file(dir.path + "/clip.m4a", std::string("\0\0\0\x20" "ftypisom", 12) + std::string(100, '\0'));
    write_file(dir.path + "/song.aac", read_file(test_data("lc_stereo_44k.aac")));
    write_file(dir.path + "/clip.aaz", read_file(packed_fixture("lc_mono_8k.aac.aaz")));
    write_file(dir.path + "/notes.txt", "hello\n");
    write_file(dir.path + "/empty.aac", "");
    write_file(dir.path + "/bad.aac", corrupt_frame(read_file(test_data("lc_mono_44k.aac")), 0));
    const std::vector<std::string> before = names_in(dir.path);
    struct Row { std::vector<std::string> args; const char* err; const char* out; int status = 1; };
    const Row rows[] = {
        {{}, kBanner, " -t    Enable TNS in 'static compression' mode.\n"},
        {{"-s", "song.aac"}, "", "\n\n\tSTOP!!! Can't work with stereo file in -Z mode.\n\n", 255},
        {{"nothing.aac"}, "Error opening file: nothing.aac\n", ""},
        {{"song.aac", "clip.m4a"}, "Error: one input file at a time, but clip.m4a was given after song.aac", ""},
        {{"clip.m4a"}, "STOP!\nThis version of AAC Zavrok doesn't work with MP4 audio files.\n", ""},
        {{"-t", "clip.aaz"}, "Error: clip.aaz is a packed file; unpack it with -d\n", ""},
        {{"notes.txt"}, "Error: Invalid syntax value in the bitstream\n", ""},
        {{"empty.aac"}, "Error initializing decoder library.\n", ""},
        {{"bad.aac"}, "Error: Channel coupling not yet implemented\n", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.err);
        const RunResult r = expect_run(row.status, row.args, dir.path, row.err);
        EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("Complete!"), std::string::npos);
        EXPECT_EQ(names_in(dir.path), before);
    }
}

// An ID3v2 tag with `body` bytes after its header.
std::string id3v2(unsigned body) {
    std::string tag = std::string("ID3\4", 4) + std::string(6, '\0');
    for (int k = 0; k < 4; ++k) tag[static_cast<std::size_t>(6 + k)] = static_cast<char>((body >> (21 - 7 * k)) & 0x7F);
    return tag + std::string(body, 'x');
}

// The console text of a good run, the container, and the WAV's samples: for every bundled
// sample, and for one with tags around its frames, which are skipped (ID3v2 in front, one
// larger than the input window too; ID3v1 and APE behind).
TEST(Program, WavMatchesTheLibraryDecode) {
    const std::string mono = read_file(test_data("lc_mono_44k.aac"));
    const std::string v2 = id3v2(20), v1 = "TAG" + std::string(125, ' '), ape = "APETAGEX" + std::string(24, '\0');
    struct Row { std::string name, data, frames; };
    std::vector<Row> rows = {{"front", v2 + mono, mono}, {"v1", mono + v1, mono},           {"ape", mono + ape, mono},
                             {"both", v2 + mono + v1, mono}, {"huge", id3v2(16384) + mono, mono}};
    for (const std::string& sample : names_in(AACZ_TEST_DATA_DIR, true))
        rows.push_back({sample, read_file(test_data(sample)), read_file(test_data(sample))});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        write_file(dir.file("in.aac"), row.data);
        const RunResult r = expect_run(0, {"in.aac"}, dir.path, "\n\n Complete!\n");
        const std::string info = row.name == "lc_mono_44k.aac" ? "ADTS, 1.231 sec, 67 kbps, 44100 Hz, mono\n" : "";
        // The progress counts tag bytes too: a file with tags behind stops short of 100%.
        const std::string progress = row.data == row.frames ? "100% decoding in.aac.\r" : "% decoding in.aac.\r";
        for (const std::string& text : {"in.aac file info:\n" + info, std::string("Write data blocks to .swp file\n\n"), progress})
            EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Error:"), std::string::npos) << r.err;
        EXPECT_TRUE(file_exists(dir.file("in.swp")));
        const std::string wav = read_file(dir.file("in.wav"));
        ReferenceDecode ref = reference_decode(row.frames);
        ASSERT_FALSE(ref.pcm.empty());
        if (ref.channels == 6) {
            // The extensible header with all six speakers; 5.1 in the WAV's own speaker order:
            // L, R, C, LFE, Ls, Rs, where the decoder gives C, L, R, Ls, Rs, LFE.
            EXPECT_EQ(wav.substr(20, 2), std::string("\xFE\xFF", 2));
            EXPECT_EQ(wav.substr(40, 4), std::string("\x3F\0\0\0", 4));
            for (auto g = ref.pcm.begin(); ref.pcm.end() - g >= 6; g += 6) {
                std::rotate(g, g + 1, g + 3);
                std::rotate(g + 3, g + 5, g + 6);
            }
        }
        EXPECT_EQ(wav_samples(wav), ref.pcm);
    }
}

// Status 2: stopped early, the outputs hold the frames before the damage. On a terminal the
// progress line is ended before the message.
TEST(Program, CorruptFrameInTheMiddleEndsTheRunWithOneError) {
    TempDir dir;
    write_file(dir.file("bad.aac"), corrupt_frame(read_file(test_data("lc_stereo_44k.aac")), 20));
    const RunResult r = expect_run(2, {"bad.aac"}, dir.path);
    EXPECT_EQ(r.err.find("Complete!"), std::string::npos);
    const std::size_t at = r.err.find("Error: Channel coupling not yet implemented\n");
    ASSERT_NE(at, std::string::npos) << r.err;
    // Redirected, the progress line is not ended before the error (on a terminal it is).
    EXPECT_EQ(r.err.rfind("decoding bad.aac.\r", at), at - 18) << r.err;
    EXPECT_EQ(r.err.find("Error:", at + 1), std::string::npos);
    // 20 good frames, the first of which gives no samples: 19 x 1024 x 2 samples.
    EXPECT_EQ(wav_samples(read_file(dir.file("bad.wav"))).size(), 19u * 1024 * 2);
    EXPECT_TRUE(file_exists(dir.file("bad.swp")));
    const RunResult tty = run_on_terminal({"bad.aac"}, dir.path, kTerminalErr);
    EXPECT_EQ(tty.status, 2);
    EXPECT_NE(tty.err.find(".\r\nError: Channel coupling not yet implemented\n"), std::string::npos) << tty.err;
}

// A mono ADTS frame at 44.1 kHz: one single channel element with band 0 in book 1, its scale
// factor unchanged, all lines zero, and with `pulse` one pulse of amplitude 1 on line 0.
std::string mono_frame(bool pulse) {
    BitWriter b;
    put_quiet_channel(b.put(0, 3).put(0, 4), pulse);  // SCE, tag
    return adts_frame(b.put(7, 3).align());          // END
}

// Files whose rebuild cannot carry everything get one line saying so after the file
// information (pulse data: once it first appears); an ordinary file gets none.
TEST(Program, NotesSayWhatDecompressionCannotGiveBack) {
    std::string pulses;
    for (int k = 1; k <= 6; ++k) pulses += mono_frame(k == 3 || k == 5);
    struct Row {
        std::string name, data;  // data is empty where a corpus file is absent (it is there only beside ../shared)
        const char* note;        // null: no note at all
    };
    const Row rows[] = {
        {"lc_51_48k.aac", read_file(test_data("lc_51_48k.aac")),
         "Note: decompression rebuilds mono and stereo files only; this 6-channel file comes back as frames without "
         "audio\n"},
        {"atl_adif_lc_st44.aac", read_file(corpus_dir() + "/atl_adif_lc_st44.aac"),
         "Note: decompression rebuilds ADTS files only; this ADIF file comes back as frames without audio\n"},
        {"raw_lc_st44.raw", read_file(corpus_dir() + "/raw_lc_st44.raw"),
         "Note: decompression rebuilds ADTS files only; this raw file comes back as frames without audio\n"},
        {"ts_he_st22k.aac", read_file(corpus_dir() + "/ts_he_st22k.aac"),
         "Note: the SBR data of this HE-AAC file is not kept; decompression rebuilds the AAC-LC core at 22050 Hz\n"},
        {"ts_hev2_24k.aac", read_file(corpus_dir() + "/ts_hev2_24k.aac"),
         "Note: the SBR and PS data of this HE-AAC v2 file are not kept; decompression rebuilds the mono AAC-LC core "
         "at 24000 Hz\n"},
        {"p.aac", pulses,
         "Note: the pulse data of this file (first in frame 3) is not kept; decompression rebuilds the frames that "
         "carry it without it\n"},
        {"lc_stereo_44k.aac", read_file(test_data("lc_stereo_44k.aac")), nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.data.empty()) continue;
        TempDir dir;
        write_file(dir.file(row.name), row.data);
        const RunResult r = expect_run(0, {row.name}, dir.path, "Complete!");
        if (row.note == nullptr) {
            EXPECT_EQ(r.err.find("Note:"), std::string::npos) << r.err;
            continue;
        }
        const std::size_t note = r.err.find(row.note);
        ASSERT_NE(note, std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Note:", note + 1), std::string::npos) << "one line per file";
        EXPECT_LT(r.err.find(" file info:\n"), note);
        if (row.name != "p.aac") {  // pulses are found while decoding
            EXPECT_LT(note, r.err.find("% decoding "));
        }
    }
}

}  // namespace
