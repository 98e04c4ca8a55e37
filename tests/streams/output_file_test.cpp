// A name at the length limit still gets a temporary beside it. That outputs appear whole or not
// at all (a committed file replaces the old one, a discarded one leaves it as it was and no
// temporary behind), failures to write, outputs that are the input and names taken during a run
// are checked through the program (tests/e2e: PackProgram.ExistingOutputsAndSeveralFiles,
// SafeOutputs.DecompressionKeepsAnEarlierRebuildAndItsDataBlocks and others).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "streams/output_file.h"
#include "support/test_util.h"

// A final name at the length limit leaves no room for ".NAME.XXXXXX": the temporary's name
// is cut, at a character boundary, and stays in the same folder.
TEST(OutputFile, ANameAtTheLengthLimitGetsAShorterTemporary) {
    TempDir dir;
    std::string name = "a";
    while (name.size() + 2 <= 255) name += "\xC3\xA9";  // 'é', two bytes
    ASSERT_EQ(name.size(), 255u);
    OutputFile out;
    ASSERT_EQ(open_output(out, dir.file(name), false), 0);
    ASSERT_EQ(write_output(out, "x", 1), 0);
    const std::vector<std::string> open_names = names_in(dir.path);
    ASSERT_EQ(open_names.size(), 1u);
    const std::string& temp = open_names[0];
    EXPECT_LE(temp.size(), 255u);
    ASSERT_GT(temp.size(), 8u);
    EXPECT_EQ(temp[0], '.');
    const std::string kept = temp.substr(1, temp.size() - 8);
    EXPECT_EQ(name.compare(0, kept.size(), kept), 0) << temp;
    EXPECT_EQ((kept.size() - 1) % 2, 0u) << "cut inside a character: " << temp;
    ASSERT_EQ(commit_output(out), 0);
    EXPECT_EQ(names_in(dir.path), std::vector<std::string>{name});
    EXPECT_EQ(read_file(dir.file(name)), "x");
}
