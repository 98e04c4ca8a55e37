// A user's files are never lost: outputs never replace inputs, appear whole or not at all,
// and every failure to write is reported with status 1; on a terminal messages keep their
// own lines. The program is run as a user runs it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

// The earlier outputs of a good run of "song.aac", and the names that were in the folder.
struct EarlierRun {
    std::string swp, wav;
    std::vector<std::string> names;
};

EarlierRun compress_song(const TempDir& dir) {
    write_file(dir.file("song.aac"), read_file(test_data("lc_stereo_44k.aac")));
    expect_run(0, {"song.aac"}, dir.path);
    EarlierRun e{read_file(dir.file("song.swp")), read_file(dir.file("song.wav")), names_in(dir.path)};
    EXPECT_FALSE(e.swp.empty());
    EXPECT_FALSE(e.wav.empty());
    return e;
}

void expect_unchanged(const TempDir& dir, const EarlierRun& e) {
    EXPECT_EQ(read_file(dir.file("song.swp")), e.swp);
    EXPECT_EQ(read_file(dir.file("song.wav")), e.wav);
    EXPECT_EQ(names_in(dir.path), e.names);  // nothing new, no temporary left behind
}

// An output that is the input, or two outputs that are one file, are refused before anything
// is created; an output that cannot be created or written fails with the reason.
TEST(SafeOutputs, RefusedAndFailedOutputsKeepInputsAndEarlierOutputs) {
    TempDir dir;
    const EarlierRun earlier = compress_song(dir);
    ASSERT_EQ(link(dir.file("song.aac").c_str(), dir.file("linked.wav").c_str()), 0);
    const EarlierRun with_link{earlier.swp, earlier.wav, names_in(dir.path)};
    const std::string input = read_file(dir.file("song.aac"));
    struct Row { std::vector<std::string> args; const char* err; bool refused_early; };
    const Row rows[] = {
        // Forgetting -d: the container would be compressed over itself.
        {{"song.swp"}, "Error: the output song.swp would replace the input song.swp; nothing was written\n", true},
        // -o naming the input, by its own name, by another spelling and through a hard link.
        {{"-o", "song.aac", "song.aac"}, "Error: the output song.aac would replace the input song.aac", true},
        {{"-o", "./song.aac", "song.aac"}, "Error: the output ./song.aac would replace the input song.aac", true},
        {{"-o", "linked.wav", "song.aac"}, "Error: the output linked.wav would replace the input song.aac", true},
        // Two outputs that are one file would leave only one of them.
        {{"-o", "song.swp", "song.aac"}, "Error: the outputs song.swp and song.swp are the same file", true},
        // The container of this run was complete, but it belongs to a run that failed.
        {{"-o", "/dev/full", "song.aac"}, "Error: couldn't write /dev/full: No space left on device\n", false},
        {{"-o", "no/such/dir/x.wav", "song.aac"},
         "Error: couldn't create no/such/dir/x.wav: No such file or directory\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.err);
        const RunResult r = expect_run(1, row.args, dir.path, row.err);
        EXPECT_TRUE(!row.refused_early || r.err.find("file info") == std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Complete!"), std::string::npos);
        EXPECT_EQ(read_file(dir.file("song.aac")), input);
        expect_unchanged(dir, with_link);
    }
}

// A small memory-backed file system fills up during the run. Mounting needs privileges,
// so the test is skipped where it cannot mount.
TEST(SafeOutputs, AFullFileSystemFailsAndKeepsEarlierOutputs) {
    TempDir dir;
    if (mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=300k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{dir.path};
    // Small stand-ins for earlier outputs, so the file system has room for them.
    write_file(dir.file("song.aac"), read_file(test_data("lc_stereo_44k.aac")));
    write_file(dir.file("song.swp"), "earlier container");
    write_file(dir.file("song.wav"), "earlier wav");
    const EarlierRun earlier{"earlier container", "earlier wav", names_in(dir.path)};
    for (const std::vector<std::string>& args : {std::vector<std::string>{"song.aac"}, {"-m", "song.aac"}}) {
        const RunResult r = expect_run(1, args, dir.path, ": No space left on device\n");
        EXPECT_NE(r.err.find("Error: couldn't write song"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Complete!"), std::string::npos);
        expect_unchanged(dir, earlier);
    }
}

TEST(SafeOutputs, ATerminatedRunLeavesEarlierOutputsAndNoTemporaries) {
    TempDir dir;
    const EarlierRun earlier = compress_song(dir);
    // The WAV goes to a pipe the test reads from: once its first bytes arrive the run is
    // under way, and it cannot end while the rest of the audio waits to be read.
    ASSERT_EQ(mkfifo(dir.file("pipe.wav").c_str(), 0600), 0);
    const EarlierRun with_fifo{earlier.swp, earlier.wav, names_in(dir.path)};
    const pid_t pid = start_program({"-o", "pipe.wav", "song.aac"}, dir.path);
    ASSERT_GT(pid, 0);
    const int fd = open(dir.file("pipe.wav").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char head[4] = {};
    ASSERT_EQ(read(fd, head, sizeof head), 4);
    EXPECT_EQ(std::string(head, 4), "RIFF");
    // Mid-run: the container is there under a temporary name only.
    EXPECT_GT(names_in(dir.path).size(), with_fifo.names.size());
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(fd);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    expect_unchanged(dir, with_fifo);
}

// A failed decompression keeps an earlier rebuild, and never writes over a data block it reads.
TEST(SafeOutputs, DecompressionKeepsAnEarlierRebuildAndItsDataBlocks) {
    TempDir dir;
    compress_song(dir);
    expect_run(0, {"-d", "song.swp"}, dir.path);
    const std::string rebuilt = read_file(dir.file("song_rec.aac"));
    ASSERT_FALSE(rebuilt.empty());
    // A WAV given as the container, and a container that is not there.
    write_file(dir.file("song.swp"), read_file(dir.file("song.wav")));
    write_file(dir.file("gone_rec.aac"), "earlier rebuild");
    const std::vector<std::string> names = names_in(dir.path);
    for (const char* name : {"song.swp", "gone.swp"}) {
        SCOPED_TRACE(name);
        expect_run(1, {"-d", name}, dir.path);
        EXPECT_EQ(read_file(dir.file("song_rec.aac")), rebuilt);
        EXPECT_EQ(read_file(dir.file("gone_rec.aac")), "earlier rebuild");
        EXPECT_EQ(names_in(dir.path), names);
    }
    // song_rec.aac made a link to one of the data blocks the rebuild reads.
    expect_run(0, {"-m", "song.aac"}, dir.path);
    ASSERT_EQ(std::remove(dir.file("song_rec.aac").c_str()), 0);
    ASSERT_EQ(link(dir.file("song_GG.bin").c_str(), dir.file("song_rec.aac").c_str()), 0);
    const std::string gg = read_file(dir.file("song_GG.bin"));
    expect_run(1, {"-d", "-m", "song"}, dir.path, "Error: the output song_rec.aac would replace the input song_GG.bin");
    EXPECT_EQ(read_file(dir.file("song_GG.bin")), gg);
}

TEST(SafeOutputs, WavDataIsNotWrittenToATerminal) {
    TempDir dir;
    write_file(dir.file("song.aac"), read_file(test_data("lc_mono_8k.aac")));
    const RunResult r = run_on_terminal({"-o", "-", "song.aac"}, dir.path, kTerminalOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");  // nothing reached the terminal
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{"song.aac"});
    // Redirected to a file, the same command writes the WAV there.
    EXPECT_EQ(expect_run(0, {"-o", "-", "song.aac"}, dir.path).out.substr(0, 4), "RIFF");
}

}  // namespace
