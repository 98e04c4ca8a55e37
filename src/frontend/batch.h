// The files one run of the packed form handles: the operands as they are named and, with -r,
// every entry under each folder operand, depth first, each folder's entries in byte order of
// their names. Under a folder only regular files are opened: a symbolic link is not followed
// and a FIFO, device or socket is never touched; each stands in the list to be named and
// counted as skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class EntryKind : std::uint8_t {
    OPERAND,        // named on the command line: handled as it is, whatever it is
    FILE,           // a regular file under a folder
    LINK,           // a symbolic link under a folder: not followed
    SPECIAL,        // a FIFO, device or socket under a folder: not opened
    UNREADABLE,     // a folder whose entries cannot be read (error holds errno)
};

struct BatchEntry {
    std::string name;  // the path to open, as the operand spells it
    EntryKind kind = EntryKind::OPERAND;
    std::uint64_t size = 0;  // of a regular file, for the progress of the whole run
    int error = 0;
};

// Folders deeper than this below an operand are not entered (each is named as unreadable).
constexpr unsigned kMaxFolderDepth = 256;

// The entries of a run, in the order they are handled.
std::vector<BatchEntry> list_entries(const std::vector<std::string>& operands, bool recursive);

// Where an input's output goes under an output folder: the input's path with any leading "/"
// and "./" parts taken off, so that the tree under DIR mirrors the inputs'. False for a path
// with a ".." part, which could lead out of DIR.
bool mirrored_path(const std::string& input, std::string& relative);

// Makes the folders a file's path needs (like mkdir -p on its folder); 0 or an errno value.
int make_folders_for(const std::string& path);
