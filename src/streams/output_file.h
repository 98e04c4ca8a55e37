// Output files that appear whole or not at all. A regular file (or a name that does not exist
// yet) is written under a temporary name in its own folder and renamed over the final name only
// when everything was written; a device, a pipe or standard output is written directly. Every
// write and close is checked, and the first failure is kept with the system's reason.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstddef>
#include <string>

struct OutputFile {
    std::string path;       // the name the user gave ("-" for standard output)
    std::string temp_path;  // where the data goes until commit; empty when written in place
    int fd = -1;
    int error = 0;          // errno of the first failure; nothing more is written after it
    bool in_place = false;  // a device, a pipe or standard output
    bool replace = false;   // commit may replace a file that took the final name meanwhile
    bool keep_times = false;
    timespec times[2] = {};  // access and modification times given to the temporary at close
    // Set before the commit when the input is to be removed after it: the data is synced to
    // disk before the rename, and the folder after it, so that nothing but the output holds
    // the bytes only once they are on disk.
    bool durable = false;
};

// Opens path for writing. With replace_existing false an existing file is refused (EEXIST),
// and so is one that appears under the final name before the commit. With like, a temporary
// takes like's owner and group where the system allows it, its permission bits (never wider:
// a group that could not be kept gets no more than others get) and, at close, its access
// and modification times; an output written in place keeps its own. Returns 0 or an errno
// value; on failure nothing was created.
[[nodiscard]] int open_output(OutputFile& out, const std::string& path, bool replace_existing,
                              const struct stat* like = nullptr);

// Writes all of data (retrying short writes). Returns 0 or the errno of the failure, which
// stays in out.error so later writes do nothing.
[[nodiscard]] int write_output(OutputFile& out, const void* data, std::size_t size);

// Closes the file, checked, but leaves a temporary under its temporary name, so that a run
// with several outputs can close them all before it renames any. Returns 0 or the errno of
// the first failure (also kept in out.error); commit_output or discard_output follows.
[[nodiscard]] int close_output(OutputFile& out);

// Closes the file and, for a temporary, renames it over the final name; without
// replace_existing a name taken since the open is not replaced (EEXIST). Returns 0 or an
// errno value; on failure the temporary is removed and the final name keeps what it held,
// except that a durable output whose folder cannot be synced after the rename stands under
// its name (and the failure is still returned).
[[nodiscard]] int commit_output(OutputFile& out);

// Closes the file and removes the temporary: the final name keeps what it held before.
void discard_output(OutputFile& out);

// True while the output holds an open file or a temporary not yet committed or discarded.
inline bool output_is_open(const OutputFile& out) { return out.fd >= 0 || !out.temp_path.empty(); }

// True when a and b name the same file: the same path, or the same device and inode.
bool same_file(const std::string& a, const std::string& b);

// Removes every temporary still open when SIGINT, SIGTERM, SIGHUP or SIGPIPE ends the process.
// Temporaries are registered by open_output and released by commit or discard; the handler is
// the one place that needs process-wide state, since a signal carries no context.
void install_output_cleanup();
