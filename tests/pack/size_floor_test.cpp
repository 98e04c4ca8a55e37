// A context that indexes the wrong cell of a model table still round-trips (packing and
// unpacking make the same mistake); only the ratio suffers. Each sample and corpus file must
// therefore pack no more than 0.1% larger than the size recorded in
// tests/data/sizes/pack_sizes.tsv (tools/record_pack_sizes.sh writes it, on purpose, when the
// models improve).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "aaczavrok.h"
#include "support/test_util.h"

namespace {

// Packs data as the program packs a regular file (LibStream holds the two to the same bytes):
// its length known, its units looked for.
std::uint64_t packed_size(const std::string& data) {
    std::string packed(aaz_pack_bound(data.size()), '\0');
    std::size_t size = 0;
    return aaz_pack(nullptr, data.data(), data.size(), packed.data(), packed.size(), &size, nullptr) == AAZ_OK ? size : 0;
}

TEST(PackSizeFloor, NoFilePacksLargerThanRecorded) {
    std::istringstream table(read_file(test_data("sizes/pack_sizes.tsv")));
    std::string line;
    std::getline(table, line);  // the column names
    int checked = 0, missing = 0;
    while (std::getline(table, line)) {
        std::istringstream row(line);
        std::string name;
        std::uint64_t original = 0, recorded = 0;
        ASSERT_TRUE(row >> name >> original >> recorded) << line;
        SCOPED_TRACE(name);
        const bool in_corpus = name.rfind("corpus/", 0) == 0;
        const std::string path = in_corpus ? corpus_dir() + name.substr(6) : test_data(name);
        if (in_corpus && !file_exists(path)) {
            ++missing;
            continue;
        }
        const std::string data = read_file(path);
        ASSERT_EQ(data.size(), original) << "the file changed: record its size again";
        const std::uint64_t size = packed_size(data);
        ASSERT_GT(size, 0u);
        EXPECT_LE(size * 1000, recorded * 1001) << "packs to " << size << " bytes, " << recorded << " recorded";
        ++checked;
    }
    EXPECT_GE(checked, 13);
    if (missing > 0) std::printf("%d corpus files skipped: ../shared/corpus is not beside the tree\n", missing);
}

}  // namespace
