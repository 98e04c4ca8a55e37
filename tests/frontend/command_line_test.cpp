// Option scanning, frequency values, banner and WAV names.
#include "frontend/command_line.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

// The settings that differ from the defaults, then "|" and the operands.
std::string summary(const CommandLine& cl) {
    const Options& o = cl.options;
    char lo[64], hi[64];
    std::snprintf(lo, sizeof lo, "lo=%g ", o.cutfreqlo);
    std::snprintf(hi, sizeof hi, "hi=%g ", o.cutfreqhi);
    const std::pair<bool, std::string> settings[] = {
        {o.compress == 0, "d "}, {o.block_files != 0, "m "}, {o.read_bin_blocks == 0, "v "},
        {o.static_compression != 0, "s "}, {o.static_tns != 0, "t "}, {o.cutfreqlo != 0.0, lo},
        {o.cutfreqhi != 0.0, hi}, {cl.has_outfile, "o=" + cl.outfile + " "}, {cl.pack, "p "}, {cl.quiet, "q "},
        {cl.threads != 2, "T=" + std::to_string(cl.threads) + " "}, {cl.test, "test "}, {cl.list, "list "},
        {cl.verbose, "verbose "}, {cl.help, "help "}, {cl.version, "V "},
    };
    std::string s;
    for (const auto& [set, text] : settings) s += set ? text : "";
    s += "|";
    for (const std::string& op : cl.operands) s += " " + op;
    return s;
}

struct ParseCase {
    std::vector<std::string> args;  // after the program name
    bool posixly_correct;
    const char* expect;
    const char* err;
};

TEST(CommandLine, ParsesLikeGetoptLong) {
    const ParseCase cases[] = {
        {{}, false, "|", ""},
        {{"-d", "song.swp"}, false, "d | song.swp", ""},
        {{"-d", "-c", "f"}, false, "| f", ""},
        {{"f", "-m"}, false, "m | f", ""},
        {{"a", "-s", "b", "-t", "c"}, false, "s t | a b c", ""},
        {{"f", "-m"}, true, "| f -m", ""},
        {{"-m", "f", "-s", "--"}, true, "m | f -s --", ""},
        {{"-h", "16000abc", "f"}, false, "hi=16000 | f", ""},
        {{"-h", "5", "-h", "abc", "f"}, false, "| f", ""},
        {{"-h", "5", "-h", "", "f"}, false, "| f", ""},
        {{"-l", " 250 300", "-l250x"}, false, "lo=250 |", ""},
        {{"-l+1e3", "-h", "-.5e-1x"}, false, "lo=1000 hi=-0.05 |", ""},
        {{"-l5.", "-h2E2"}, false, "lo=5 hi=200 |", ""},
        {{"-l9", "-h9", "-l", ".", "-h7e+"}, false, "hi=7 |", ""},
        {{"-l9", "-h9", "-l0x10", "-h", "\tinf"}, false, "|", ""},
        {{"-l9", "-l", "nan"}, false, "|", ""},
        {{"-h1e999"}, false, "hi=inf |", ""},
        {{"--outfile", "a", "b"}, false, "| a b", ""},
        {{"--cutfreqlo", "--cutfreqhi", "7"}, false, "| 7", ""},
        {{"-cm", "f"}, false, "m | f", ""},
        {{"-dmvst", "f"}, false, "d m v s t | f", ""},
        {{"-ofoo", "f"}, false, "o=foo | f", ""},
        {{"f", "-o", "foo"}, false, "o=foo | f", ""},
        {{"-mh16000", "-o", "-c"}, false, "m hi=16000 o=-c |", ""},
        {{"--comp", "--decomp", "f"}, false, "d | f", ""},
        {{"--mo", "--sc", "--en", "--cs", "--decompression"}, false, "d m v s t |", ""},
        {{"--c", "f"}, false, "| f", "zav: option `--c' is ambiguous\n"},
        {{"--cut=5"}, false, "|", "zav: option `--cut=5' is ambiguous\n"},
        {{"--", "-d", "f"}, false, "| -d f", ""},
        {{"a", "-m", "--", "-s", "--"}, false, "m | a -s --", ""},
        {{"-", "-m"}, false, "m | -", ""},
        {{"--mode=1", "f"}, false, "| f", "zav: option `--mode' doesn't allow an argument\n"},
        {{"--dec=", "f"}, false, "| f", "zav: option `--decompression' doesn't allow an argument\n"},
        {{"--bogus", "f"}, false, "| f", "zav: unrecognized option `--bogus'\n"},
        {{"--mode2=x"}, false, "|", "zav: unrecognized option `--mode2=x'\n"},
        {{"-x", "f"}, false, "| f", "zav: illegal option -- x\n"},
        {{"-cx:m", "f"}, false, "m | f", "zav: illegal option -- x\nzav: illegal option -- :\n"},
        {{"f", "-o"}, false, "| f", "zav: option requires an argument -- o\n"},
        {{"-dh"}, false, "d |", "zav: option requires an argument -- h\n"},
        {{"--c", "-y", "-d"}, false, "d |", "zav: option `--c' is ambiguous\nzav: illegal option -- y\n"},
        // The packed form's options: -p and -d stay side by side for the mode to be chosen.
        {{"-pdkqT0", "f"}, false, "d p q T=0 | f", ""},
        {{"--threads=3", "--keep", "--stdout", "--threads", "7", "f"}, false, "o=- T=7 | f", ""},
        {{"-T", "x1", "--threads=", "--threads"}, false, "|",
         "zav: invalid number of threads `x1'\nzav: invalid number of threads `'\n"
         "zav: option `--threads' requires an argument\n"},
        {{"--test", "--li", "--verb", "--help", "-V"}, false, "test list verbose help V |", ""},
        {{"--s", "--ver", "--t"}, false, "|",
         "zav: option `--s' is ambiguous\nzav: option `--ver' is ambiguous\nzav: option `--t' is ambiguous\n"},
    };
    for (const ParseCase& c : cases) {
        std::string shown = c.posixly_correct ? "POSIXLY_CORRECT" : "";
        for (const std::string& a : c.args) shown += " [" + a + "]";
        SCOPED_TRACE(shown);
        std::vector<std::string> words{"zav"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);

        CommandLine cl;
        parse_command_line(static_cast<int>(words.size()), argv.data(), c.posixly_correct, cl);
        EXPECT_EQ(summary(cl), c.expect);
        EXPECT_EQ(cl.errors, c.err);
        EXPECT_EQ(cl.options.program_name, "zav");
    }
}

TEST(CommandLine, BuildDateHasATwoDigitDay) {
    EXPECT_EQ(normalise_build_date("Mar 18 2005"), "Mar 18 2005");
    EXPECT_EQ(normalise_build_date("Mar  8 2005"), "Mar 08 2005");
    EXPECT_EQ(normalise_build_date("bogus"), "bogus");
}

TEST(CommandLine, BannerText) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    print_banner(f);
    const std::string text = read_stream(f);
    std::fclose(f);
    const std::string rule = " " + std::string(72, '=') + "\n";
    const std::string before = "\n" + rule + "\n AAC Zavrok Version 0.1 alpha\n Build: ";
    const std::string after = "\n Utility to compress AAC audio files" + std::string(37, ' ') + "\n\n" + rule + "\n";
    ASSERT_EQ(text.size(), before.size() + 11 + after.size()) << text;
    EXPECT_EQ(text.substr(0, before.size()), before);
    EXPECT_TRUE(std::regex_match(text.substr(before.size(), 11), std::regex("[A-Z][a-z]{2} [0-3][0-9] [0-9]{4}")))
        << text;
    EXPECT_EQ(text.substr(before.size() + 11), after);
}

TEST(CommandLine, WavNameStripsFromTheLastDotOfThePath) {
    const std::string long_stem(1000, 'n');
    const std::pair<std::string, std::string> cases[] = {
        {"song.aac", "song.wav"}, {"dir.x/song", "dir.wav"}, {"song", "song.wav"},
        {"a.b.c", "a.b.wav"},     {"", ".wav"},              {long_stem + ".aac", long_stem + ".wav"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(wav_name_for(in), out) << in;
}

}  // namespace
