// Listing the files of a run: operands, and the trees under folder operands.
#include "frontend/batch.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace {

void walk(const std::string& folder, unsigned depth, std::vector<BatchEntry>& out) {
    DIR* dir = depth > kMaxFolderDepth ? nullptr : opendir(folder.c_str());
    if (dir == nullptr) {
        out.push_back(BatchEntry{folder, EntryKind::UNREADABLE, 0, depth > kMaxFolderDepth ? ELOOP : errno});
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int error = errno;
    closedir(dir);
    if (error != 0) {
        out.push_back(BatchEntry{folder, EntryKind::UNREADABLE, 0, error});
        return;
    }
    std::sort(names.begin(), names.end());
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (const std::string& name : names) {
        const std::string path = prefix + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            out.push_back(BatchEntry{path, EntryKind::UNREADABLE, 0, errno});
        } else if (S_ISDIR(st.st_mode)) {
            walk(path, depth + 1, out);
        } else if (S_ISREG(st.st_mode)) {
            out.push_back(BatchEntry{path, EntryKind::FILE, static_cast<std::uint64_t>(st.st_size), 0});
        } else {
            out.push_back(BatchEntry{path, S_ISLNK(st.st_mode) ? EntryKind::LINK : EntryKind::SPECIAL, 0, 0});
        }
    }
}

}  // namespace

std::vector<BatchEntry> list_entries(const std::vector<std::string>& operands, bool recursive) {
    std::vector<BatchEntry> out;
    for (const std::string& op : operands) {
        struct stat st;
        const bool folder = op != "-" && stat(op.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (recursive && folder) {
            walk(op, 0, out);
            continue;
        }
        BatchEntry e{op, EntryKind::OPERAND, 0, 0};
        if (op != "-" && stat(op.c_str(), &st) == 0 && S_ISREG(st.st_mode)) e.size = static_cast<std::uint64_t>(st.st_size);
        out.push_back(e);
    }
    return out;
}

bool mirrored_path(const std::string& input, std::string& relative) {
    relative.clear();
    std::size_t at = 0;
    while (at <= input.size()) {
        const std::size_t slash = std::min(input.find('/', at), input.size());
        const std::string part = input.substr(at, slash - at);
        if (part == "..") return false;
        if (!part.empty() && part != ".") relative += (relative.empty() ? "" : "/") + part;
        at = slash + 1;
    }
    return !relative.empty();
}

int make_folders_for(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}
