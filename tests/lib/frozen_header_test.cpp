// A program built against version 2.0.0's header keeps working with the library of this build:
// tests/lib/frozen/frozen_client.c, built with the system's C compiler against the frozen copy
// of that header, runs on the shared library built here (see the client for what it checks).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

TEST(FrozenHeader, AProgramBuiltAgainstVersion2_0WorksWithThisLibrary) {
    if (std::system("command -v cc >/dev/null 2>&1") != 0) GTEST_SKIP() << "cc is not on PATH";
    TempDir dir;
    const std::string sample = test_data("mp4/tags_cover.m4a");
    expect_run(0, {"-p", "-o", dir.file("program.aaz"), sample}, dir.path);
    const std::string frozen = std::string(AACZ_SOURCE_DIR) + "/tests/lib/frozen";
    // A library built with the sanitizers needs their run-time linked first.
    const std::string build = "cc -std=c99 -Wall -Wextra -Werror -pedantic " AACZ_EXAMPLE_FLAGS " -I" +
                              shell_quote(frozen) + " -o " + dir.file("client") + " " +
                              shell_quote(frozen + "/frozen_client.c") + " -L" + shell_quote(AACZ_BUILD_DIR) +
                              " -laaczavrok >" + dir.file("cc.err") + " 2>&1";
    ASSERT_EQ(std::system(build.c_str()), 0) << read_file(dir.file("cc.err"));
    const std::string run = "LD_LIBRARY_PATH=" + shell_quote(AACZ_BUILD_DIR) + " " + dir.file("client") + " " +
                            shell_quote(sample) + " " + dir.file("program.aaz") + " >" + dir.file("run.out") + " 2>&1";
    EXPECT_EQ(std::system(run.c_str()), 0) << read_file(dir.file("run.out"));
    EXPECT_EQ(read_file(dir.file("run.out")), "ok\n");
}

}  // namespace
