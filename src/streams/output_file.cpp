// Temporary-name outputs with checked writes, and their removal when a signal ends the run.
#include "streams/output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
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

// Syncs the folder a path lies in; 0 or an errno value.
int sync_folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int result = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return result;
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

// ".NAME.XXXXXX" beside path. A final name near the folder's length limit leaves no room for
// the dot and the suffix, so NAME is cut short, never inside a UTF-8 sequence; the random
// suffix keeps it unique.
std::string temporary_name_for(const std::string& path) {
    constexpr std::size_t kAdded = 8;  // "." and ".XXXXXX"
    const std::string folder = folder_of(path);
    std::string base = base_of(path);
    const long limit = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    const std::size_t name_max = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
    const std::size_t room = name_max > kAdded ? name_max - kAdded : 0;
    if (base.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80) --cut;
        base.resize(cut);
    }
    return folder + "." + base + ".XXXXXX";
}

// Gives the temporary fd the owner, group and permission bits of like. Owner and group are
// kept where the system allows it (a plain user usually keeps neither, or only a group it
// belongs to); when the group could not be kept, the group bits are cut to what others may
// do, so that nobody gets more than the input gave them. Set-user-ID, set-group-ID and
// sticky bits are never copied. Returns 0 or the errno of fchmod.
int take_owner_and_mode(int fd, const struct stat& like) {
    if (fchown(fd, like.st_uid, like.st_gid) != 0) {
        // EPERM for a user who does not own the input; a group of its own may still do. What
        // was kept is read back below.
        const int ignored = fchown(fd, static_cast<uid_t>(-1), like.st_gid);
        (void)ignored;
    }
    mode_t mode = like.st_mode & 0777;
    struct stat now;
    if (fstat(fd, &now) != 0 || now.st_gid != like.st_gid) {
        const mode_t shared = (mode >> 3) & mode & 07;
        mode = (mode & 0700) | (shared << 3) | shared;
    }
    return fchmod(fd, mode) == 0 ? 0 : errno;
}

#ifndef RENAME_NOREPLACE
constexpr unsigned RENAME_NOREPLACE = 1u;
#endif

// Renames from to to unless to exists (EEXIST), in one step where the system can: renameat2
// with RENAME_NOREPLACE, else a hard link (which never replaces) and the removal of the old
// name, else, on a file system without hard links, the final name claimed empty with O_EXCL
// and then replaced by the rename.
int rename_no_replace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP) return errno;
    const int claim = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (claim < 0) return errno;
    close(claim);
    if (rename(from.c_str(), to.c_str()) == 0) return 0;
    const int e = errno;
    unlink(to.c_str());
    return e;
}

}  // namespace

int open_output(OutputFile& out, const std::string& path, bool replace_existing, const struct stat* like) {
    out = OutputFile{};
    out.path = path;
    out.replace = replace_existing;
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
    std::string temp = temporary_name_for(path);
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
    // mkstemp creates 0600: nobody else may read the temporary before it gets its own
    // permissions. An output like its input takes the input's; otherwise a replaced file
    // keeps its permissions and a new one gets what a plain create would give it.
    if (like == nullptr && !replacing) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (const int failed = like != nullptr ? take_owner_and_mode(fd, *like) : (fchmod(fd, mode) == 0 ? 0 : errno);
        failed != 0) {
        close(fd);
        unlink(temp.c_str());
        release_temp(temp);
        return failed;
    }
    out.fd = fd;
    out.temp_path = temp;
    if (like != nullptr) {
        out.keep_times = true;
        out.times[0] = like->st_atim;
        out.times[1] = like->st_mtim;
    }
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
        // After the last write, which would set the modification time again. A file system
        // that cannot hold the times still gets the data.
        if (out.keep_times && !out.temp_path.empty() && out.error == 0) futimens(out.fd, out.times);
        if (out.durable && out.error == 0 && fsync(out.fd) != 0) out.error = errno;
        // Standard output stays open for the rest of the process.
        if (out.fd != STDOUT_FILENO && close(out.fd) != 0 && out.error == 0) out.error = errno;
        out.fd = -1;
    }
    return out.error;
}

int commit_output(OutputFile& out) {
    int result = close_output(out);
    if (!out.temp_path.empty()) {
        bool renamed = false;
        if (result == 0) {
            if (out.replace)
                result = rename(out.temp_path.c_str(), out.path.c_str()) == 0 ? 0 : errno;
            else
                result = rename_no_replace(out.temp_path, out.path);
            renamed = result == 0;
            // the rename itself is on disk only once the folder is
            if (renamed && out.durable) result = sync_folder_of(out.path);
        }
        if (!renamed) unlink(out.temp_path.c_str());
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
