// The packed form's files as a user's other tools leave them: an output takes its input's
// permissions, times and owner; a name that appears while a run writes it is not replaced
// without -f; a packed stream is unpacked from a FIFO or
// /dev/stdin without losing its first bytes. The program runs as a separate process, held by
// a FIFO where the order of events matters.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

// The writing end of fifo, opened once the program has opened its reading end; -1 when the
// program ended without opening it.
int open_fifo_writer(const std::string& fifo, pid_t pid) {
    for (;;) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
        siginfo_t info{};
        if (errno != ENXIO || waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid != 0)
            return -1;
        usleep(1000);
    }
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A program that ends early makes writes to its FIFO fail instead of ending the test.
struct IgnoreSigpipe {
    void (*old)(int) = signal(SIGPIPE, SIG_IGN);
    ~IgnoreSigpipe() { signal(SIGPIPE, old); }
};

void set_times(const std::string& path, timespec atime, timespec mtime) {
    const timespec times[2] = {atime, mtime};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// The permissions, owner, group and modification and access times (seconds, nanoseconds).
std::vector<long long> metadata(mode_t mode, uid_t uid, gid_t gid, timespec mtime, timespec atime) {
    return {mode, uid, gid, mtime.tv_sec, mtime.tv_nsec, atime.tv_sec, atime.tv_nsec};
}

void expect_metadata(const std::string& path, mode_t mode, timespec atime, timespec mtime, uid_t uid, gid_t gid) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(metadata(st.st_mode & 07777, st.st_uid, st.st_gid, st.st_mtim, st.st_atim),
              metadata(mode, uid, gid, mtime, atime)) << path;
}

TEST(FileSafety, PackAndUnpackKeepPermissionsTimesAndOwner) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_stereo_44k.aac"));
    write_file(dir.file("secret.aac"), aac);
    ASSERT_EQ(chmod(dir.file("secret.aac").c_str(), 0600), 0);
    // Old times, apart, with nanoseconds; reading the input may move its own access time.
    const timespec atime{1000000000, 123456789}, mtime{999000000, 987654321};
    set_times(dir.file("secret.aac"), atime, mtime);
    // Another owner where the test may give its file away (as root).
    const bool root = geteuid() == 0;
    const uid_t uid = root ? 1234 : geteuid();
    const gid_t gid = root ? 5678 : getegid();
    ASSERT_EQ(chown(dir.file("secret.aac").c_str(), uid, gid), 0);

    expect_run(0, {"-p", "secret.aac"}, dir.path);
    expect_metadata(dir.file("secret.aac.aaz"), 0600, atime, mtime, uid, gid);

    // Unpacking takes the packed file's, whatever they are: not mkstemp's 0600, not the umask's;
    // an output that replaces a file (-f) too.
    ASSERT_EQ(chmod(dir.file("secret.aac.aaz").c_str(), 0640), 0);
    const timespec atime2{1100000000, 5}, mtime2{1050000000, 500000000};
    set_times(dir.file("secret.aac.aaz"), atime2, mtime2);
    expect_run(0, {"-d", "-f", "secret.aac.aaz"}, dir.path);
    expect_metadata(dir.file("secret.aac"), 0640, atime2, mtime2, uid, gid);  // before a read moves the access time
    EXPECT_TRUE(read_file(dir.file("secret.aac")) == aac);

    // Standard output is left as it is.
    write_file(dir.file("piped.aac"), "");
    ASSERT_EQ(chmod(dir.file("piped.aac").c_str(), 0606), 0);
    ASSERT_EQ(run_program({"-d", "-o", "-", "secret.aac.aaz"}, dir.path, "/dev/null", dir.file("piped.aac")).status, 0);
    EXPECT_TRUE(read_file(dir.file("piped.aac")) == aac);
    struct stat st;
    ASSERT_EQ(stat(dir.file("piped.aac").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0606u);
    EXPECT_GT(st.st_mtim.tv_sec, mtime.tv_sec + 1000000);
}

// The program opens its temporary and waits for its input on a FIFO; the output's name is
// taken meanwhile. Without -f the run fails and keeps the other file; with -f it replaces it.
TEST(FileSafety, AnOutputThatAppearsDuringTheRunIsReplacedOnlyWithForce) {
    TempDir dir;
    IgnoreSigpipe sigpipe;
    const std::string aac = read_file(test_data("lc_stereo_44k.aac"));
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
    TempDir capture;
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "-f" : "no -f");
        std::vector<std::string> args = {"-p", "-o", "out.aaz", "in.fifo"};
        if (force) args.insert(args.begin(), "-f");
        const pid_t pid = start_program(args, dir.path, "/dev/null", "/dev/null", capture.file("err"));
        ASSERT_GT(pid, 0);
        const int fd = open_fifo_writer(dir.file("in.fifo"), pid);
        ASSERT_GE(fd, 0) << read_file(capture.file("err"));
        // One byte more than the pipe holds: the write returns only once the program reads,
        // and it reads only after its temporary exists.
        fcntl(fd, F_SETPIPE_SZ, 4096);
        const std::size_t first = static_cast<std::size_t>(fcntl(fd, F_GETPIPE_SZ)) + 1;
        ASSERT_TRUE(first > 1 && first < aac.size()) << first;
        ASSERT_TRUE(write_all(fd, aac.data(), first));
        std::vector<std::string> names = names_in(dir.path);
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0].rfind(".out.aaz.", 0), 0u) << names[0];
        write_file(dir.file("out.aaz"), "theirs");
        EXPECT_TRUE(write_all(fd, aac.data() + first, aac.size() - first));
        close(fd);
        const int status = wait_for(pid);
        const std::string err = read_file(capture.file("err"));
        names = names_in(dir.path);
        EXPECT_EQ(names, (std::vector<std::string>{"in.fifo", "out.aaz"}));  // no temporary left
        if (!force) {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(read_file(dir.file("out.aaz")), "theirs");
            EXPECT_NE(err.find("out.aaz appeared while it was being written; not replaced"), std::string::npos)
                << err;
            ASSERT_EQ(std::remove(dir.file("out.aaz").c_str()), 0);
        } else {
            ASSERT_EQ(status, 0) << err;
            expect_run(0, {"-d", "-o", "back.aac", "out.aaz"}, dir.path);
            EXPECT_TRUE(read_file(dir.file("back.aac")) == aac);
        }
    }
}

// A stream that cannot be read twice is unpacked whole: from a pipe named /dev/stdin and from
// a FIFO. A FIFO of something else is refused as not packed, and nothing is left.
TEST(FileSafety, PackedStreamsUnpackFromAFifoAndFromDevStdin) {
    TempDir dir;
    const std::string aac = read_file(test_data("lc_51_48k.aac"));
    write_file(dir.file("song.aac"), aac);
    expect_run(0, {"-p", "-o", "song.aaz", "song.aac"}, dir.path);
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
    const std::string program = shell_quote(AACZ_BINARY);
    struct Row { std::string line; int status; const char* message; };
    const Row rows[] = {
        {"cat song.aaz | " + program + " -d -o from_stdin.aac /dev/stdin", 0, ""},
        {"cat song.aaz >in.fifo & " + program + " -d -o from_fifo.aac in.fifo", 0, ""},
        {"cat song.aac >in.fifo & " + program + " -d -o refused.aac in.fifo", 1, "in.fifo: not a packed file"},
    };
    TempDir capture;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        const int raw =
            std::system(("cd " + shell_quote(dir.path) + " && { " + row.line + " 2>" + capture.file("err") + "; }").c_str());
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, row.status);
        EXPECT_NE(read_file(capture.file("err")).find(row.message), std::string::npos) << read_file(capture.file("err"));
    }
    EXPECT_TRUE(read_file(dir.file("from_stdin.aac")) == aac);
    EXPECT_TRUE(read_file(dir.file("from_fifo.aac")) == aac);
    EXPECT_EQ(names_in(dir.path),
              (std::vector<std::string>{"from_fifo.aac", "from_stdin.aac", "in.fifo", "song.aac", "song.aaz"}));
}

}  // namespace
