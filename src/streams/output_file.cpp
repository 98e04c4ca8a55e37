// Temporary-name outputs with checked writes, and their removal when a signal ends the run.
#include "streams/output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Paths of the temporaries open right now, for the signal handler. A slot is claimed by
// compare-and-swap of its state, so a handler that runs mid-update sees either nothing or a
// complete path.
constexpr int kCleanupSlots = 64;
constexpr std::size_t kCleanupPathMax = 4096;
struct CleanupSlot {
    std::atomic<int> state{0};  // 0 free, 1 being written, 2 holds a path
    char path[kCleanupPathMax];
};
CleanupSlot g_cleanup[kCleanupSlots];

int register_temp(const std::string& path) {
    if (path.size() >= kCleanupPathMax) return -1;
    for (int i = 0; i < kCleanupSlots; ++i) {
        int expected = 0;
        if (g_cleanup[i].state.compare_exchange_strong(expected, 1)) {
            std::memcpy(g_cleanup[i].path, path.c_str(), path.size() + 1);
            g_cleanup[i].state.store(2);
            return i;
        }
    }
    return -1;
}

void release_temp(const std::string& path) {
    for (int i = 0; i < kCleanupSlots; ++i) {
        if (g_cleanup[i].state.load() == 2 && path == g_cleanup[i].path) {
            g_cleanup[i].state.store(0);
            return;
        }
    }
}

extern "C" void remove_temps_and_die(int sig) {
    for (int i = 0; i < kCleanupSlots; ++i)
        if (g_cleanup[i].state.load() == 2) unlink(g_cleanup[i].path);
    signal(sig, SIG_DFL);
    raise(sig);
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash + 1);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int open_output(OutputFile& out, const std::string& path, bool replace_existing) {
    out = OutputFile{};
    out.path = path;
    if (path == "-") {
        out.fd = STDOUT_FILENO;
        out.in_place = true;
        return 0;
    }
    struct stat st;
    bool replacing = false;
    mode_t mode = 0;  // the permissions of the file being replaced
    if (stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            if (S_ISDIR(st.st_mode)) return EISDIR;
            // A device or a pipe: written directly, never replaced.
            const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) return errno;
            out.fd = fd;
            out.in_place = true;
            return 0;
        }
        if (!replace_existing) return EEXIST;
        // A file the user may not write is refused as an in-place write would be, although
        // the rename could replace it.
        if (access(path.c_str(), W_OK) != 0) return errno;
        replacing = true;
        mode = st.st_mode & 07777;
    }
    std::string temp = folder_of(path) + "." + base_of(path) + ".XXXXXX";
    // Signals wait while the temporary is created and registered, so none can leave it behind.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    int fd = mkstemp(&temp[0]);
    int e = errno;
    if (fd >= 0 && register_temp(temp) < 0) {
        close(fd);
        unlink(temp.c_str());
        fd = -1;
        e = ENAMETOOLONG;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) return e;
    // mkstemp creates 0600; a replaced file keeps its permissions, a new one gets what a
    // plain create would give it.
    if (!replacing) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0) {
        const int e = errno;
        close(fd);
        unlink(temp.c_str());
        release_temp(temp);
        return e;
    }
    out.fd = fd;
    out.temp_path = temp;
    return 0;
}

int write_output(OutputFile& out, const void* data, std::size_t size) {
    if (out.error != 0) return out.error;
    if (out.fd < 0) return out.error = EBADF;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(out.fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return out.error = errno;
        }
        if (n == 0) return out.error = EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int close_output(OutputFile& out) {
    if (out.fd >= 0) {
        // Standard output stays open for the rest of the process.
        if (out.fd != STDOUT_FILENO && close(out.fd) != 0 && out.error == 0) out.error = errno;
        out.fd = -1;
    }
    return out.error;
}

int commit_output(OutputFile& out) {
    int result = close_output(out);
    if (!out.temp_path.empty()) {
        if (result == 0 && rename(out.temp_path.c_str(), out.path.c_str()) != 0) result = errno;
        if (result != 0) unlink(out.temp_path.c_str());
        release_temp(out.temp_path);
        out.temp_path.clear();
    }
    if (result != 0 && out.error == 0) out.error = result;
    return result;
}

void discard_output(OutputFile& out) {
    if (out.fd >= 0 && out.fd != STDOUT_FILENO) close(out.fd);
    out.fd = -1;
    if (!out.temp_path.empty()) {
        unlink(out.temp_path.c_str());
        release_temp(out.temp_path);
        out.temp_path.clear();
    }
}

bool same_file(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void install_output_cleanup() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = remove_temps_and_die;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old;
        // A signal the caller's parent chose to ignore stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}
