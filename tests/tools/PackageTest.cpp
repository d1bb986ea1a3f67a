// The installed tree is a usable package: a consumer project finds it with
// find_package(Volkit) and with pkg-config, builds, and runs.
#include <gtest/gtest.h>

#include <fstream>

#include "support/Images.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

const char* const kConsumer = R"(#include <cstdio>
#include <volkit/api.h>
#include <volkit/filesystem.h>
int main() {
    volkit::logging::initialize([](volkit::logging::messageType, const char* text) { std::puts(text); });
    bool closed = volkit::filesystem::close(volkit::filesystem::handle{});
    std::printf("closed=%d valid=%d\n", closed, volkit::api::IsValidHandle(nullptr));
}
)";

const char* const kExpected = "Dismounting NTFS\nFailed to dismount NTFS\nvolume handle is invalid\nclosed=0 valid=0\n";

const char* const kCConsumer = R"(#include <stdio.h>
#include <volkit/volkit.h>
int main(void) {
    bool closed = volkit_close_file(NULL);
    printf("closed=%d %s\n", closed, volkit_last_error());
    return 0;
}
)";

}  // namespace

TEST(Package, InstalledTreeServesCMakeAndPkgConfigConsumers) {
    TempDir dir;
    const std::string prefix = dir.File("prefix");
    CommandResult install = RunCommand("cmake --install " + Q(VOLKIT_BUILD_DIR) + " --prefix " + Q(prefix));
    ASSERT_EQ(install.exitCode, 0) << install.output;
    ASSERT_EQ(RunCommand("test -x " + Q(prefix + "/bin/volkit")).exitCode, 0);
    for (const char* file : {"/share/man/man1/volkit.1", "/share/bash-completion/completions/volkit",
                             "/share/zsh/site-functions/_volkit"})
        EXPECT_EQ(RunCommand("test -s " + Q(prefix + file)).exitCode, 0) << file;
    // The installed tool runs by itself, with no library path set.
    EXPECT_EQ(RunCommand("env -u LD_LIBRARY_PATH " + Q(prefix + "/bin/volkit") + " --version").exitCode, 0);

    const std::string source = dir.File("consumer");
    std::filesystem::create_directory(source);
    WriteText(source + "/main.cpp", kConsumer);
    WriteText(source + "/CMakeLists.txt",
              "cmake_minimum_required(VERSION 3.20)\n"
              "project(Consumer CXX)\n"
              "set(CMAKE_CXX_STANDARD 20)\n"
              "find_package(Volkit 0.1 REQUIRED)\n"
              "add_executable(consumer main.cpp)\n"
              "target_link_libraries(consumer Volkit::volkit)\n");
    const std::string build = dir.File("build");
    CommandResult configure =
        RunCommand("cmake -S " + Q(source) + " -B " + Q(build) + " -DCMAKE_PREFIX_PATH=" + Q(prefix) +
                   " -DCMAKE_CXX_FLAGS=" + Q(VOLKIT_CONSUMER_FLAGS));
    ASSERT_EQ(configure.exitCode, 0) << configure.output;
    CommandResult compile = RunCommand("cmake --build " + Q(build));
    ASSERT_EQ(compile.exitCode, 0) << compile.output;
    CommandResult run = RunCommand(Q(build + "/consumer"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, kExpected);

    if (!HaveProgram("pkg-config")) return;
    const std::string flags = "$(PKG_CONFIG_PATH=" + Q(prefix + "/lib/pkgconfig") + " pkg-config --cflags --libs volkit)";
    CommandResult direct = RunCommand("c++ -std=c++20 " + std::string(VOLKIT_CONSUMER_FLAGS) + " " +
                                      Q(source + "/main.cpp") + " -o " + Q(dir.File("direct")) + " " + flags);
    ASSERT_EQ(direct.exitCode, 0) << direct.output;
    EXPECT_EQ(RunCommand("LD_LIBRARY_PATH=" + Q(prefix + "/lib") + " " + Q(dir.File("direct"))).output, kExpected);

    // A C program uses the installed C interface the same way.
    WriteText(source + "/main.c", kCConsumer);
    CommandResult c = RunCommand("cc -std=c99 -pedantic-errors " + std::string(VOLKIT_CONSUMER_FLAGS) + " " +
                                 Q(source + "/main.c") + " -o " + Q(dir.File("c")) + " " + flags);
    ASSERT_EQ(c.exitCode, 0) << c.output;
    EXPECT_EQ(RunCommand("LD_LIBRARY_PATH=" + Q(prefix + "/lib") + " " + Q(dir.File("c"))).output,
              "closed=0 Failed to close NTFS file: 'Invalid file handle'\n");
}
