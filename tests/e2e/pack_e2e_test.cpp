// The packed form through the program: every sample and corpus file, and crafted inputs, come
// back byte for byte; names, -o, -f, standard input and output, refused options, several files
// with one failing, and damaged packed files that leave nothing behind.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

// The program with standard input from a file and standard output into one.
RunResult run_piped(const std::vector<std::string>& args, const std::string& cwd, const std::string& in,
                    const std::string& out) {
    TempDir capture;
    std::string cmd = "cd " + shell_quote(cwd) + " && " + AACZ_BINARY;
    for (const std::string& a : args) cmd += " " + shell_quote(a);
    cmd += " <" + shell_quote(in) + " >" + shell_quote(out) + " 2>" + capture.path + "/err";
    RunResult r;
    const int raw = std::system(cmd.c_str());
    if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
    r.err = read_file(capture.path + "/err");
    return r;
}

const std::regex kPackLine(R"(^[^\n]+: (not AAC, stored (with zstd|as is): )?[0-9,]+ -> [0-9,]+ bytes)"
                           R"(( \([0-9]+\.[0-9]{2}% (smaller|larger)\)| \(same size\))?\n$)");
const std::regex kUnpackLine(R"(^[^\n]+: [0-9,]+ -> [0-9,]+ bytes\n$)");

// Packs dir/name, moves the input aside, unpacks, and compares. Returns the packed size.
void expect_round_trip(const TempDir& dir, const std::string& name, const std::string& data) {
    SCOPED_TRACE(name);
    write_file(dir.file(name), data);
    const RunResult packed = run_program({"-p", name}, dir.path);
    ASSERT_EQ(packed.status, 0) << packed.err;
    EXPECT_TRUE(std::regex_match(packed.err, kPackLine)) << packed.err;
    EXPECT_EQ(read_file(dir.file(name)), data);  // the input is never changed or removed
    ASSERT_EQ(std::rename(dir.file(name).c_str(), dir.file("original").c_str()), 0);
    const RunResult unpacked = run_program({"-d", name + ".aaz"}, dir.path);
    ASSERT_EQ(unpacked.status, 0) << unpacked.err;
    EXPECT_TRUE(std::regex_match(unpacked.err, kUnpackLine)) << unpacked.err;
    EXPECT_TRUE(read_file(dir.file(name)) == data);
    EXPECT_TRUE(file_exists(dir.file(name + ".aaz")));
    std::remove(dir.file(name).c_str());
    std::remove(dir.file(name + ".aaz").c_str());
    std::remove(dir.file("original").c_str());
}

TEST(PackProgram, EverySampleAndCorpusFileComesBack) {
    TempDir dir;
    for (const std::string& name : names_in(AACZ_TEST_DATA_DIR, true))
        expect_round_trip(dir, name, read_file(test_data(name)));
    const std::vector<std::string> corpus = names_in(corpus_dir(), true);
    if (corpus.empty()) GTEST_SKIP() << "no corpus";
    for (const std::string& name : corpus) expect_round_trip(dir, name, read_file(corpus_dir() + "/" + name));
}

TEST(PackProgram, OneLinePerFileAndNoBanner) {
    TempDir dir;
    write_file(dir.file("notes.txt"), std::string(1000, 'a'));
    const RunResult r = run_program({"-p", "notes.txt"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex(R"(notes\.txt: not AAC, stored with zstd: 1,000 -> [0-9]+ bytes \([0-9.]+% smaller\)\n)")))
        << r.err;
    EXPECT_EQ(r.out, "");
}

// FILE.aaz, -o OUT, - for standard input and output; a packed file is recognised by its
// magic whatever its name, and a name without .aaz gets .out.
TEST(PackProgram, OutputNamesAndStandardStreams) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_51_48k.aac"));
    write_file(dir.file("in.aac"), aac);
    RunResult r = run_piped({"-p", "-"}, dir.path, dir.file("in.aac"), dir.file("piped.aaz"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_piped({"-d", "-"}, dir.path, dir.file("piped.aaz"), dir.file("back.aac"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("back.aac")) == aac);

    r = run_piped({"-p", "-o", "-", "in.aac"}, dir.path, "/dev/null", dir.file("named.aaz"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(file_exists(dir.file("in.aac.aaz")));
    r = run_piped({"-d", "-o", "-", "named.aaz"}, dir.path, "/dev/null", dir.file("back2.aac"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("back2.aac")) == aac);

    ASSERT_EQ(run_program({"-p", "-o", "packed", "in.aac"}, dir.path).status, 0);
    EXPECT_FALSE(file_exists(dir.file("in.aac.aaz")));
    r = run_program({"-d", "packed"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("packed.out")) == aac);
    r = run_program({"-d", "-o", "again.aac", "packed"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("again.aac")) == aac);
}

TEST(PackProgram, ExistingOutputsAndInputsAreKept) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_mono_8k.aac"));
    write_file(dir.file("song.aac"), aac);
    write_file(dir.file("song.aac.aaz"), "precious");
    RunResult r = run_program({"-p", "song.aac"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already exists (use -f to replace it)"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir.file("song.aac.aaz")), "precious");

    r = run_program({"-p", "-f", "song.aac"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(dir.file("song.aac.aaz")), "precious");

    // Unpacking over the original it came from is refused unless forced.
    r = run_program({"-d", "song.aac.aaz"}, dir.path);
    EXPECT_EQ(r.status, 1);
    r = run_program({"--force", "-d", "song.aac.aaz"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("song.aac")) == aac);

    // The output may never be the input, -f or not.
    r = run_program({"-p", "-f", "-o", "song.aac", "song.aac"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(read_file(dir.file("song.aac")) == aac);
}

TEST(PackProgram, LossyOptionsAreRefused) {
    TempDir dir;
    write_file(dir.file("song.aac"), read_file(test_data("lc_mono_8k.aac")));
    const std::vector<std::vector<std::string>> cases = {
        {"-p", "-l", "100", "song.aac"}, {"-p", "-h", "5000", "song.aac"}, {"-p", "-s", "song.aac"},
        {"-p", "-t", "song.aac"},        {"-p", "-m", "song.aac"},         {"-v", "--pack", "song.aac"},
    };
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(args[1]);
        const RunResult r = run_program(args, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the packed form is an exact copy"), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(dir.file("song.aac.aaz")));
    }
}

TEST(PackProgram, SeveralFilesGoOnAfterAFailure) {
    TempDir dir;
    const std::string a = read_file(test_data("lc_mono_8k.aac"));
    const std::string b = read_file(test_data("pns_mono_32k.aac"));
    write_file(dir.file("a.aac"), a);
    write_file(dir.file("b.aac"), b);
    RunResult r = run_program({"-p", "a.aac", "missing.aac", "b.aac"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.aac: cannot open"), std::string::npos) << r.err;
    ASSERT_TRUE(file_exists(dir.file("a.aac.aaz")));
    ASSERT_TRUE(file_exists(dir.file("b.aac.aaz")));

    std::remove(dir.file("a.aac").c_str());
    std::remove(dir.file("b.aac").c_str());
    write_file(dir.file("fake.aaz"), "not packed at all");
    r = run_program({"-d", "a.aac.aaz", "fake.aaz", "b.aac.aaz"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fake.aaz: file is damaged (no packed-file magic number)"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.file("fake")));
    EXPECT_FALSE(file_exists(dir.file("fake_rec.aac")));  // a ".aaz" name is never taken for data blocks
    EXPECT_TRUE(read_file(dir.file("a.aac")) == a);
    EXPECT_TRUE(read_file(dir.file("b.aac")) == b);
}

TEST(PackProgram, DamagedPackedFilesLeaveNothingBehind) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_stereo_44k.aac"));
    write_file(dir.file("song.aac"), aac);
    ASSERT_EQ(run_program({"-p", "-o", "good.aaz", "song.aac"}, dir.path).status, 0);
    const std::string packed = read_file(dir.file("good.aaz"));
    ASSERT_GT(packed.size(), 100u);

    struct Case {
        const char* name;
        std::string data;
        const char* message;
    };
    std::string version = packed;
    version[8] = 7;
    const Case cases[] = {
        {"cut.aaz", packed.substr(0, packed.size() / 2), "file is truncated"},
        {"version.aaz", version, "format version 7 is not supported by this version of aaczavrok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file(c.name), c.data);
        const RunResult r = run_program({"-d", c.name}, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        const std::string base = std::string(c.name).substr(0, std::string(c.name).size() - 4);
        EXPECT_FALSE(file_exists(dir.file(base)));
    }
    // No temporary is left either: only the files made here.
    EXPECT_EQ(names_in(dir.path).size(), 4u);
}

}  // namespace
