// Whole collections through the program: folders walked with -r (nested trees, links not
// followed, FIFOs never opened, packed files skipped), outputs mirrored under --output-dir,
// inputs removed with --rm only once their outputs are safe on disk, and a summary of the run;
// statuses 0 when every file was done, 1 after any failure, 2 when files were only skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

// A collection: Music/one.aac, Music/a/two.m4a, Music/a/b/three.aac, Music/notes.txt, with a
// link and a FIFO in Music/a.
struct Collection {
    TempDir dir;
    std::string one = read_file(test_data("lc_mono_8k.aac"));
    std::string two = read_file(test_data("mp4/faststart.m4a"));
    std::string three = read_file(test_data("lc_stereo_44k.aac"));
    Collection() {
        EXPECT_EQ(system(("mkdir -p " + shell_quote(dir.file("Music/a/b"))).c_str()), 0);
        write_file(dir.file("Music/one.aac"), one);
        write_file(dir.file("Music/a/two.m4a"), two);
        write_file(dir.file("Music/a/b/three.aac"), three);
        write_file(dir.file("Music/notes.txt"), "notes\n");
        EXPECT_EQ(symlink("../one.aac", dir.file("Music/a/link.aac").c_str()), 0);
        EXPECT_EQ(mkfifo(dir.file("Music/a/fifo").c_str(), 0600), 0);
    }
};

TEST(BatchProgram, FoldersAreWalkedWithLinksAndSpecialFilesLeftAlone) {
    Collection c;
    // Without -r a folder is no file.
    expect_run(1, {"-p", "Music"}, c.dir.path, "Music: is a directory (-r handles the files under it)");
    // The FIFO is never opened (a read would wait for a writer forever), the link not followed.
    const RunResult packed = expect_run(2, {"-p", "-r", "Music"}, c.dir.path, "Music/a/fifo: not a regular file; skipped");
    EXPECT_NE(packed.err.find("Music/a/link.aac: symbolic link, not followed; skipped"), std::string::npos);
    EXPECT_TRUE(std::regex_search(packed.err, std::regex(R"(\n4 files packed, 2 skipped \(1 symbolic link, 1 not a regular file\): [0-9,]+ -> [0-9,]+ bytes \([0-9.]+% smaller\), [0-9.]+ s\n$)")))
        << packed.err;
    for (const char* f : {"Music/one.aac.aaz", "Music/a/two.m4a.aaz", "Music/a/b/three.aac.aaz", "Music/notes.txt.aaz"})
        EXPECT_TRUE(file_exists(c.dir.file(f))) << f;
    EXPECT_FALSE(file_exists(c.dir.file("Music/a/link.aac.aaz")));
    // Again: the packed files are skipped, the others fail as their outputs exist.
    expect_run(1, {"-p", "-r", "Music"}, c.dir.path,
               "0 files packed, 4 failed, 6 skipped (4 already packed, 1 symbolic link, 1 not a regular file)");
    const RunResult single = expect_run(0, {"-p", "-f", "Music/one.aac"}, c.dir.path);
    EXPECT_EQ(single.err.find("files packed"), std::string::npos);

    // Testing and unpacking take the packed files and skip the others; the outputs mirror the tree.
    expect_run(2, {"--test", "-r", "Music"}, c.dir.path, "4 files tested, 6 skipped (4 not packed, 1 symbolic link, 1 not a regular file)");
    expect_run(2, {"-d", "-r", "--output-dir", "out", "Music"}, c.dir.path, "4 files unpacked");
    EXPECT_TRUE(read_file(c.dir.file("out/Music/one.aac")) == c.one);
    EXPECT_TRUE(read_file(c.dir.file("out/Music/a/two.m4a")) == c.two);
    EXPECT_TRUE(read_file(c.dir.file("out/Music/a/b/three.aac")) == c.three);
    EXPECT_EQ(read_file(c.dir.file("out/Music/notes.txt")), "notes\n");
    // A tree of regular files only: every file done, status 0; an output tree for packing too.
    expect_run(0, {"-p", "-r", "--output-dir", "packed", "out"}, c.dir.path, "4 files packed:");
    EXPECT_TRUE(file_exists(c.dir.file("packed/out/Music/a/b/three.aac.aaz")));
    expect_run(1, {"-p", "--output-dir", "x", "../Music/one.aac"}, c.dir.file("Music"), "a path with \"..\" is not mirrored");
}

// On a terminal the progress line of a run of several files starts with the run's count of
// files and its share of all their bytes; one file alone shows only its own progress.
TEST(BatchProgram, ProgressOnATerminalCountsTheWholeRun) {
    Collection c;
    const std::string total = std::to_string(c.one.size() + c.three.size());
    const RunResult r = run_on_terminal({"-p", "Music/one.aac", "Music/a/b/three.aac"}, c.dir.path, kTerminalErr);
    EXPECT_EQ(r.status, 0);
    const std::string thousands = std::regex_replace(total, std::regex(R"((\d)(?=(\d{3})+$))"), "$1,");
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\[1/2 files, [0-9]+% of )" + thousands + R"( bytes\] Music/one\.aac: [0-9]+%)")))
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(R"(\[2/2 files, [0-9]+% of )" + thousands + R"( bytes\] Music/a/b/three\.aac: [0-9]+%)")))
        << r.err;
    const RunResult one = run_on_terminal({"-p", "-f", "Music/one.aac"}, c.dir.path, kTerminalErr);
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.err.find(" files"), std::string::npos) << one.err;
    EXPECT_NE(one.err.find("Music/one.aac: "), std::string::npos) << one.err;
}

TEST(BatchProgram, InputsAreRemovedOnlyOnceTheirOutputsAreSafe) {
    Collection c;
    ASSERT_EQ(unlink(c.dir.file("Music/a/fifo").c_str()), 0);
    // The middle file fails (a folder stands where its output would): it keeps its input, the
    // others go.
    ASSERT_EQ(mkdir(c.dir.file("Music/a/b/three.aac.aaz").c_str(), 0700), 0);
    const RunResult r = expect_run(1, {"-p", "-r", "--rm", "Music"}, c.dir.path, "cannot create Music/a/b/three.aac.aaz");
    EXPECT_NE(r.err.find("1 failed"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(c.dir.file("Music/one.aac")));
    EXPECT_FALSE(file_exists(c.dir.file("Music/a/two.m4a")));
    EXPECT_TRUE(read_file(c.dir.file("Music/a/b/three.aac")) == c.three);
    struct stat link;
    EXPECT_EQ(lstat(c.dir.file("Music/a/link.aac").c_str(), &link), 0);  // a link is never removed
    // Unpacking with --rm gives the files back and removes the packed ones, but a damaged one.
    write_file(c.dir.file("Music/bad.aac.aaz"), read_file(c.dir.file("Music/one.aac.aaz")).substr(0, 100));
    expect_run(1, {"-d", "--rm", "Music/one.aac.aaz", "Music/bad.aac.aaz", "Music/a/two.m4a.aaz"}, c.dir.path,
               "bad.aac.aaz: file is truncated");
    EXPECT_TRUE(read_file(c.dir.file("Music/one.aac")) == c.one);
    EXPECT_TRUE(read_file(c.dir.file("Music/a/two.m4a")) == c.two);
    EXPECT_FALSE(file_exists(c.dir.file("Music/one.aac.aaz")));
    EXPECT_TRUE(file_exists(c.dir.file("Music/bad.aac.aaz")));

    // Never where nothing would be kept, nor in the data-block modes.
    expect_run(1, {"-p", "--rm", "--stdout", "Music/one.aac"}, c.dir.path, "--rm cannot be used with --stdout");
    expect_run(1, {"--test", "--rm", "Music/one.aac"}, c.dir.path, "--rm cannot be used with --test");
    expect_run(1, {"-p", "--rm"}, c.dir.path, "--rm needs named files, not standard input");
    expect_run(1, {"--rm", "Music/one.aac"}, c.dir.path, "--rm is for the packed form");
    EXPECT_TRUE(read_file(c.dir.file("Music/one.aac")) == c.one);
}

// A disk that fails when the output is forced out to it, before the rename (the file's sync)
// or after it (the folder's): the input stays.
TEST(BatchProgram, AFailedSyncKeepsTheInput) {
    TempDir dir;
    const std::string one = read_file(test_data("lc_mono_8k.aac"));
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string asan_options = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    for (const char* failing : {"1", "2"}) {
        SCOPED_TRACE(failing);
        write_file(dir.file("one.aac"), one);
        setenv("LD_PRELOAD", AACZ_FAIL_FSYNC_HOOK, 1);
        setenv("AACZ_FAIL_FSYNC", failing, 1);
        setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
        expect_run(1, {"-p", "-f", "--rm", "one.aac"}, dir.path, "Input/output error");
        unsetenv("LD_PRELOAD");
        unsetenv("AACZ_FAIL_FSYNC");
        if (asan != nullptr) setenv("ASAN_OPTIONS", asan, 1); else unsetenv("ASAN_OPTIONS");
        EXPECT_TRUE(read_file(dir.file("one.aac")) == one);
    }
    // Without the fault the same run removes it.
    expect_run(0, {"-p", "-f", "--rm", "one.aac"}, dir.path);
    EXPECT_FALSE(file_exists(dir.file("one.aac")));
}

}  // namespace
