// The install rules put the program and its manual page where a user's system looks for
// them, and the manual page documents every option the program's usage text lists; the
// library, its header and aaczavrok.pc go beside them, and a C program builds against that
// installed copy through pkg-config.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

TEST(Install, InstallsTheProgramAndARenderableManualPage) {
    if (std::system("command -v cmake >/dev/null 2>&1") != 0) GTEST_SKIP() << "cmake is not on PATH";
    TempDir dest;
    const std::string cmd = "DESTDIR=" + shell_quote(dest.path) + " cmake --install " + shell_quote(AACZ_BUILD_DIR) +
                            " --prefix /opt/aacz >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const std::string bin = dest.path + "/opt/aacz/bin/aaczavrok";
    const std::string man = dest.path + "/opt/aacz/share/man/man1/aaczavrok.1";
    ASSERT_TRUE(file_exists(bin));
    EXPECT_EQ(access(bin.c_str(), X_OK), 0);
    EXPECT_EQ(read_file(man), read_file(AACZ_MAN_PAGE));
    // The installed program runs: without arguments it prints its usage and ends with 1.
    const std::string installed = bin + " >" + dest.path + "/usage 2>/dev/null </dev/null";
    EXPECT_EQ(std::system(installed.c_str()) >> 8, 1);
    EXPECT_NE(read_file(dest.path + "/usage").find(" -t    Enable TNS"), std::string::npos);

    if (std::system("command -v man >/dev/null 2>&1") != 0) GTEST_SKIP() << "man is not installed to render the page";
    const std::string render = "MANWIDTH=80 man -l " + shell_quote(man) + " >" + dest.path + "/page.txt 2>" +
                               dest.path + "/page.err";
    ASSERT_EQ(std::system(render.c_str()), 0) << read_file(dest.path + "/page.err");
    const std::string page = read_file(dest.path + "/page.txt");
    EXPECT_EQ(read_file(dest.path + "/page.err"), "");
    for (const char* section : {"NAME", "SYNOPSIS", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLES"})
        EXPECT_NE(page.find(std::string("\n") + section + "\n"), std::string::npos) << section;
}

// Installs into a temporary DESTDIR with the prefix /opt/aacz, then builds examples/pack_file.c
// as a user would, with `pkg-config --cflags --libs aaczavrok`: PKG_CONFIG_PATH names the
// installed .pc and PKG_CONFIG_SYSROOT_DIR the DESTDIR, which pkg-config puts before the
// -I and -L paths the file names for /opt/aacz. The example, run on the shared library,
// packs a sample to the program's bytes and unpacks it to the sample's.
TEST(Install, TheExampleBuildsAgainstTheInstalledLibraryWithPkgConfig) {
    for (const char* tool : {"cmake", "cc", "pkg-config"}) {
        const std::string probe = std::string("command -v ") + tool + " >/dev/null 2>&1";
        if (std::system(probe.c_str()) != 0) GTEST_SKIP() << tool << " is not on PATH";
    }
    TempDir dest;
    const std::string install = "DESTDIR=" + shell_quote(dest.path) + " cmake --install " +
                                shell_quote(AACZ_BUILD_DIR) + " --prefix /opt/aacz >/dev/null 2>&1";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    const std::string root = dest.path + "/opt/aacz";
    for (const char* f : {"/include/aaczavrok.h", "/lib/libaaczavrok.a", "/lib/libaaczavrok.so.2.0.0",
                          "/lib/libaaczavrok.so.2", "/lib/libaaczavrok.so", "/lib/pkgconfig/aaczavrok.pc"})
        EXPECT_TRUE(file_exists(root + f)) << f;
    const std::string pc = read_file(root + "/lib/pkgconfig/aaczavrok.pc");
    EXPECT_NE(pc.find("prefix=/opt/aacz\n"), std::string::npos) << pc;
    EXPECT_NE(pc.find("Libs.private: -lzstd -llzma -lxxhash -pthread"), std::string::npos) << pc;

    const std::string env = "PKG_CONFIG_PATH=" + shell_quote(root + "/lib/pkgconfig") +
                            " PKG_CONFIG_SYSROOT_DIR=" + shell_quote(dest.path) + " ";
    const std::string example = dest.file("pack_file");
    // A library built with the sanitizers needs their run-time linked first.
    const std::string build = env + "sh -c 'cc -std=c99 -Wall -Wextra -Werror -pedantic " AACZ_EXAMPLE_FLAGS " -o " +
                              example + " " +
                              std::string(AACZ_SOURCE_DIR) + "/examples/pack_file.c $(pkg-config --cflags --libs " +
                              "aaczavrok)' >" + dest.file("cc.err") + " 2>&1";
    ASSERT_EQ(std::system(build.c_str()), 0) << read_file(dest.file("cc.err"));
    const std::string sample = test_data("mp4/tags_cover.m4a");
    const std::string run = "LD_LIBRARY_PATH=" + shell_quote(root + "/lib") + " " + example + " " +
                            shell_quote(sample) + " " + dest.file("packed") + " " + dest.file("back") + " >" +
                            dest.file("run.out") + " 2>&1";
    ASSERT_EQ(std::system(run.c_str()), 0) << read_file(dest.file("run.out"));
    EXPECT_EQ(read_file(dest.file("back")), read_file(sample));
    expect_run(0, {"-p", "-f", "-o", dest.file("program.aaz"), sample}, dest.path);
    EXPECT_TRUE(read_file(dest.file("packed")) == read_file(dest.file("program.aaz")));

    // The Python package lands where the system's python3 looks under the prefix and packs
    // there with the installed library (a sanitizer build's library cannot be loaded into it).
    std::string site;
    for (const std::string& n : names_in(root + "/lib"))
        if (n.rfind("python3.", 0) == 0) site = root + "/lib/" + n + "/dist-packages";
    ASSERT_TRUE(file_exists(site + "/aaczavrok/__init__.py")) << site;
    if (!std::string(AACZ_EXAMPLE_FLAGS).empty()) return;
    const std::string python = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" + shell_quote(site) + " AACZ_LIBRARY=" +
                               shell_quote(root + "/lib/libaaczavrok.so.2") + " /usr/bin/python3 -c " +
                               shell_quote("import aaczavrok, sys; d = open(sys.argv[1], 'rb').read(); "
                                           "open(sys.argv[2], 'wb').write(aaczavrok.pack(d))") +
                               " " + shell_quote(sample) + " " + dest.file("python.aaz") + " >" + dest.file("py.out") + " 2>&1";
    ASSERT_EQ(std::system(python.c_str()), 0) << read_file(dest.file("py.out"));
    EXPECT_TRUE(read_file(dest.file("python.aaz")) == read_file(dest.file("program.aaz")));
}

// Every option line of the usage text (" -x ..." or " --name ...") has its entry in the
// manual page.
TEST(Install, ManualPageDocumentsEveryOptionOfTheUsageText) {
    const RunResult help = run_program({"--help"}, "/");
    EXPECT_EQ(help.status, 0);
    const std::string page = read_file(AACZ_MAN_PAGE);
    ASSERT_FALSE(page.empty());
    int options = 0;
    for (std::size_t at = help.out.find("\n -"); at != std::string::npos; at = help.out.find("\n -", at + 1)) {
        const std::string name = help.out.substr(at + 2, help.out.find(' ', at + 2) - at - 2);
        ++options;
        SCOPED_TRACE(name);
        std::string entry;
        for (char c : name) entry += c == '-' ? std::string("\\-") : std::string(1, c);
        bool found = false;
        for (const char* macro : {"\n.B ", "\n.BI ", "\n.BR "})
            for (const char* after : {" ", "\n"}) found = found || page.find(macro + entry + after) != std::string::npos;
        EXPECT_TRUE(found) << "no entry for " << name;
    }
    EXPECT_EQ(options, 22);
}

}  // namespace
