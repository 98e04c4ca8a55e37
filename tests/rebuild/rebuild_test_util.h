// Helpers of the data-block reader tests: files written whole and captured messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace rebuild_test {

using ::TempDir;

// Captures what the program prints.
struct Messages {
    std::FILE* file = std::tmpfile();
    ~Messages() {
        if (file != nullptr) std::fclose(file);
    }
    std::string text() const {
        std::fflush(file);
        std::string s;
        std::rewind(file);
        for (int c; (c = std::fgetc(file)) != EOF;) s.push_back(static_cast<char>(c));
        return s;
    }
};

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

}  // namespace rebuild_test
