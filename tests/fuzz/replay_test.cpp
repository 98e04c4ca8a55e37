// Replays the committed fuzz corpora through the same entry points as the fuzz targets, so
// every saved input (seeds and the reproducers of fixed faults) runs under the sanitizers
// of `make test`.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "support/test_util.h"
#include "targets.h"

namespace {

std::vector<std::string> corpus_files(const std::string& target) {
    std::vector<std::string> files;
    const std::string dir = std::string(AACZ_FUZZ_CORPUS_DIR) + "/" + target;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    return files;
}

void replay(const std::string& target, int (*entry)(const std::uint8_t*, std::size_t)) {
    const std::vector<std::string> files = corpus_files(target);
    ASSERT_FALSE(files.empty()) << "no saved inputs for " << target;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const std::string data = read_file(f);
        EXPECT_EQ(entry(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), 0);
    }
}

TEST(FuzzReplay, Compress) { replay("compress", fuzz_compress); }
TEST(FuzzReplay, DecompressContainer) { replay("decompress_swp", fuzz_decompress_swp); }
TEST(FuzzReplay, DecompressBinFiles) { replay("decompress_bin", fuzz_decompress_bin); }
TEST(FuzzReplay, DecompressCsvFiles) { replay("decompress_csv", fuzz_decompress_csv); }

}  // namespace
