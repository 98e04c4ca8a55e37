// Runs the program as a separate process: with its standard streams from and into files, or
// with some of them on a terminal, as a user at a console sees it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_util.h"

// In a forked child: runs the program with `args` in folder `cwd`.
[[noreturn]] inline void exec_program(const std::vector<std::string>& args, const std::string& cwd) {
    if (chdir(cwd.c_str()) != 0) _exit(90);
    std::vector<char*> argv = {const_cast<char*>(AACZ_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(AACZ_BINARY, argv.data());
    _exit(91);
}

// Starts the program with standard input from `in` and standard output and error into `out`
// and `err` (created or emptied); returns its process id.
inline pid_t start_program(const std::vector<std::string>& args, const std::string& cwd,
                           const std::string& in = "/dev/null", const std::string& out = "/dev/null",
                           const std::string& err = "/dev/null") {
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string* files[3] = {&in, &out, &err};
        for (int fd = 0; fd < 3; ++fd) {
            const int f = open(files[fd]->c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (f < 0 || dup2(f, fd) < 0) _exit(92);
        }
        exec_program(args, cwd);
    }
    return pid;
}

// The exit status, or -1 when the program did not exit normally.
inline int wait_for(pid_t pid) {
    int raw = 0;
    if (pid <= 0 || waitpid(pid, &raw, 0) != pid) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Runs the program with `args` in folder `cwd`, standard input from `in`, and standard output
// into `out` when named; what is not written to a named file is captured.
inline RunResult run_program(const std::vector<std::string>& args, const std::string& cwd,
                             const std::string& in = "/dev/null", const std::string& out = "") {
    TempDir capture;
    RunResult r;
    r.status = wait_for(start_program(args, cwd, in, out.empty() ? capture.file("out") : out, capture.file("err")));
    r.out = read_file(capture.file("out"));
    r.err = read_file(capture.file("err"));
    return r;
}

// Runs the program as run_program does and expects its status and, on standard error, `message`.
inline RunResult expect_run(int status, const std::vector<std::string>& args, const std::string& cwd,
                            const std::string& message = "", const std::string& in = "/dev/null",
                            const std::string& out = "") {
    const RunResult r = run_program(args, cwd, in, out);
    std::string shown;
    for (const std::string& a : args) shown += " " + a;
    EXPECT_EQ(r.status, status) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << shown << "\n" << r.err;
    return r;
}

// Packs dir/name (or a whole path) read through a pipe into dir/piped.aaz, the program's
// environment starting with `env`; what it said when it failed, else "".
inline std::string pack_from_pipe(const TempDir& dir, const std::string& name, const std::string& env = "") {
    const std::string cmd = "cd " + shell_quote(dir.path) + " && cat " + shell_quote(name) + " | " + env + " " +
                            shell_quote(AACZ_BINARY) + " -p -q -o piped.aaz - 2>err";
    return std::system(cmd.c_str()) == 0 ? "" : "failed: " + read_file(dir.file("err"));
}

constexpr int kTerminalIn = 1 << STDIN_FILENO, kTerminalOut = 1 << STDOUT_FILENO, kTerminalErr = 1 << STDERR_FILENO;

// The streams named in `terminal` are one terminal in raw mode, the others /dev/null;
// returns the terminal's text in err.
inline RunResult run_on_terminal(const std::vector<std::string>& args, const std::string& cwd, int terminal) {
    RunResult r;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return r;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return r;
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd) dup2((terminal & (1 << fd)) ? slave : null, fd);  // kTerminalIn, Out, Err
        exec_program(args, cwd);
    }
    close(slave);
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
            r.err.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the program has closed its side
        }
    }
    close(master);
    r.status = wait_for(pid);
    return r;
}
