// Replays the saved inputs of the packed form's fuzz targets under the sanitizers of
// `make test`: unpacking succeeds only with good checksums, and a pack comes back exactly.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "support/test_util.h"
#include "targets.h"

namespace {

void replay_pack_target(const std::string& target, int (*entry)(const std::uint8_t*, std::size_t)) {
    const std::string dir = std::string(AACZ_FUZZ_CORPUS_DIR) + "/" + target;
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    ASSERT_FALSE(files.empty()) << "no saved inputs for " << target;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const std::string data = read_file(f);
        EXPECT_EQ(entry(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), 0);
    }
}

TEST(PackFuzzReplay, Unpack) { replay_pack_target("unpack", fuzz_unpack); }
TEST(PackFuzzReplay, PackRoundTrip) { replay_pack_target("pack_round_trip", fuzz_pack_round_trip); }

}  // namespace
