// Runs the program with some of its standard streams on a terminal, as a user at a console
// sees it.
#pragma once

#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/test_util.h"

constexpr int kTerminalIn = 1, kTerminalOut = 2, kTerminalErr = 4;

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
        dup2((terminal & kTerminalIn) ? slave : null, STDIN_FILENO);
        dup2((terminal & kTerminalOut) ? slave : null, STDOUT_FILENO);
        dup2((terminal & kTerminalErr) ? slave : null, STDERR_FILENO);
        if (chdir(cwd.c_str()) != 0) _exit(90);
        std::vector<char*> argv = {const_cast<char*>(AACZ_BINARY)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(AACZ_BINARY, argv.data());
        _exit(91);
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
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}
