// Small helpers shared by the tests: temporary folders, whole-file reads and writes, sample
// names, and the result of a run of the program (tests/e2e/terminal.h runs it).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pack/format/pack_format.h"

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/aaczavrok-test-XXXXXX";
        const char* p = mkdtemp(tmpl);
        path = p != nullptr ? p : "/tmp";
    }
    ~TempDir() {
        std::error_code ignored;
        if (path != "/tmp") std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// The names in a folder, sorted; with files_only, sub-folders are left out.
inline std::vector<std::string> names_in(const std::string& dir, bool files_only = false) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(dir, ignored))
        if (!files_only || !e.is_directory(ignored)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Where the ADTS frames of `adts` start, one after another from its first byte, and where the
// last whole one ends.
inline std::vector<std::size_t> adts_frame_bounds(const std::string& adts) {
    std::vector<std::size_t> at = {0};
    for (std::size_t pos = 0, n; pos + 7 <= adts.size(); at.push_back(pos += n)) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(adts.data() + pos);
        n = (std::size_t{b[3]} & 3) << 11 | std::size_t{b[4]} << 3 | b[5] >> 5;
        if (n < 7 || pos + n > adts.size()) break;
    }
    return at;
}

// Frame k's first element id is set to a coupling channel element, which neither side decodes.
inline std::string corrupt_frame(const std::string& adts, int k) {
    std::string data = adts;
    const std::size_t pos = adts_frame_bounds(adts).at(static_cast<std::size_t>(k)) + 7;
    data[pos] = static_cast<char>((data[pos] & 0x1F) | (2 << 5));
    return data;
}

inline bool file_exists(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

// Everything written to a tmpfile() so far, or all of a file opened for reading.
inline std::string read_stream(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string data;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    return data;
}

inline std::string read_file(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void write_file(const std::string& name, const std::string& data) { std::ofstream(name, std::ios::binary) << data; }

inline std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Where the frames of a file start: after its leading ID3v2 tag, if any.
inline std::size_t id3v2_end(const std::uint8_t* b, std::size_t size) {
    if (size < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
    return 10 + ((std::size_t{b[6]} & 0x7F) << 21 | (std::size_t{b[7]} & 0x7F) << 14 | (std::size_t{b[8]} & 0x7F) << 7 | (b[9] & 0x7F));
}

// A tag the driver stops at, at the front of the input window.
inline bool window_starts_with_tag(const std::uint8_t* w, std::size_t fill) {
    auto starts = [&](const char* t, std::size_t n) { return fill > n && std::string(reinterpret_cast<const char*>(w), n) == t; };
    return starts("TAG", 3) || starts("LYRICSBEGIN", 11) || starts("APETAGEX", 8);
}

struct RunResult {
    int status = -1;  // exit status 0..255, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string test_data(const std::string& name) { return std::string(AACZ_TEST_DATA_DIR) + "/" + name; }
// A packed fixture of the format version this build writes (its folder for an empty name).
inline std::string packed_fixture(const std::string& name) {
    return test_data("packed-v" + std::to_string(kPackFormatVersion) + "/" + name);
}
inline std::string corpus_dir() { return std::string(AACZ_SHARED_DIR) + "/corpus"; }
