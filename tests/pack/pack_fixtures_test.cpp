// Packed files kept in the tree, one folder per format version (tools/make_pack_fixtures.sh
// writes them), must unpack to their sources, and their sources packed at that version must
// give them back byte for byte: every version written since 2 stays readable, and each
// version's models are frozen, so a change of the format or of any generation's models,
// reading or writing, cannot pass unnoticed. A file of the retired version 1 is kept too, and
// must be refused by its version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/driver/pack_file.h"
#include "pack/format/pack_format.h"
#include "support/test_util.h"

namespace {

TEST(PackFixtures, EveryVersionSinceTwoUnpacksToItsSources) {
    for (unsigned version = kOldestReadableVersion; version <= kPackFormatVersion; ++version) {
        const std::string dir = test_data("packed-v" + std::to_string(version));
        const std::vector<std::string> names = names_in(dir, true);
        ASSERT_GE(names.size(), 2u) << "fixtures of version " << version << " missing: run tools/make_pack_fixtures.sh";
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const std::string packed = read_file(dir + "/" + name);
            ASSERT_GT(packed.size(), 16u);
            ASSERT_EQ(static_cast<unsigned>(packed[8]), version) << "a fixture of another version";
            std::string source;
            for (const char* folder : {"", "mp4/", "streams/", "crafted/"})
                if (source.empty()) source = read_file(test_data(folder + name.substr(0, name.size() - 4)));
            ASSERT_FALSE(source.empty());
            MemorySource src{reinterpret_cast<const std::uint8_t*>(packed.data()), packed.size(), 0};
            std::vector<std::uint8_t> out;
            PackReport report;
            ASSERT_EQ(unpack_stream(memory_source(src), vector_sink(out), PackSettings{}, report), PACK_OK)
                << report.message;
            EXPECT_TRUE(std::string(out.begin(), out.end()) == source);
            EXPECT_EQ(report.format_version, version);
            PackSettings settings;
            settings.format_version = version;
            settings.input_size = source.size();
            MemorySource in{reinterpret_cast<const std::uint8_t*>(source.data()), source.size(), 0};
            MemorySource whole = in;
            const RandomReader reader{&whole, read_memory_at, source.size()};
            std::vector<std::uint8_t> again;
            ASSERT_EQ(pack_input(memory_source(in), &reader, vector_sink(again), settings, report), PACK_OK);
            EXPECT_TRUE(std::string(again.begin(), again.end()) == packed) << "version " << version << " writes otherwise";
        }
    }
}

// Format version 1 coded spectral magnitudes differently; its files are refused by name
// rather than unpacked into something else.
TEST(PackFixtures, RetiredVersionIsRefusedByName) {
    const std::string dir = test_data("packed-v1");
    const std::vector<std::string> names = names_in(dir, true);
    ASSERT_EQ(names.size(), 1u);
    const std::string packed = read_file(dir + "/" + names[0]);
    ASSERT_GT(packed.size(), 16u);
    ASSERT_EQ(packed[8], 1) << "not a version 1 file";
    ASSERT_NE(kPackFormatVersion, 1);
    MemorySource src{reinterpret_cast<const std::uint8_t*>(packed.data()), packed.size(), 0};
    std::vector<std::uint8_t> out;
    PackReport report;
    EXPECT_EQ(unpack_stream(memory_source(src), vector_sink(out), PackSettings{}, report), PACK_UNSUPPORTED_VERSION);
    EXPECT_EQ(report.message, "format version 1 is not supported by this version of aaczavrok (it reads format versions 2 to " +
                                  std::to_string(kPackFormatVersion) + ")");
    EXPECT_TRUE(out.empty());
}

}  // namespace
