// Bad input: one clear line on stderr, the right exit code, and an image
// that is exactly as it was.
#include <gtest/gtest.h>

#include "support/Images.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

namespace {

std::string Q(const std::string& text) { return ShellQuote(text); }

// One line, prefixed like every message of the tool, containing `text`.
void ExpectOneLine(const ToolResult& result, const std::string& text) {
    EXPECT_EQ(result.err.rfind("volkit: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
}

class ToolErrors : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs missing";
        ImageOptions options;
        options.size = 16ull << 20;
        MakeNtfsImage(image, options);
        ASSERT_EQ(RunTool("mkdir " + Q(image) + " /dir").exitCode, 0);
        ASSERT_EQ(RunTool("touch " + Q(image) + " /dir/file").exitCode, 0);
        pristine = ReadFileBytes(image);
    }
    void ExpectImageUnchanged() { EXPECT_TRUE(ReadFileBytes(image) == pristine) << "the image was changed"; }

    TempDir dir;
    std::string image = dir.File("vol.img");
    std::vector<uint8_t> pristine;
};

}  // namespace

TEST_F(ToolErrors, MissingAndForeignImagesFailWithTheirReason) {
    ToolResult missing = RunTool("ls " + Q(dir.File("nope.img")));
    EXPECT_EQ(missing.exitCode, 1);
    ExpectOneLine(missing, "cannot open image");

    WriteFileBytes(dir.File("zeros.img"), std::vector<uint8_t>(4 << 20));
    for (const char* command : {"ls IMAGE", "info IMAGE", "cat IMAGE /x", "put IMAGE /etc/hostname /h"}) {
        std::string arguments = command;
        arguments.replace(arguments.find("IMAGE"), 5, Q(dir.File("zeros.img")));
        ToolResult foreign = RunTool(arguments);
        EXPECT_EQ(foreign.exitCode, 1) << command;
        ExpectOneLine(foreign, "zeros.img");
    }
    EXPECT_TRUE(ReadFileBytes(dir.File("zeros.img")) == std::vector<uint8_t>(4 << 20));
}

TEST_F(ToolErrors, WrongPathsFailAndLeaveTheImageAlone) {
    ToolResult notFound = RunTool("cat " + Q(image) + " /dir/none");
    EXPECT_EQ(notFound.exitCode, 1);
    EXPECT_EQ(notFound.out, "");
    ExpectOneLine(notFound, "/dir/none");

    ToolResult catDirectory = RunTool("cat " + Q(image) + " dir");
    EXPECT_EQ(catDirectory.exitCode, 1);
    EXPECT_EQ(catDirectory.err, "volkit: cat /dir: is a directory\n");

    ToolResult getDirectory = RunTool("get " + Q(image) + " /dir " + Q(dir.File("out")));
    EXPECT_EQ(getDirectory.exitCode, 1);
    ExpectOneLine(getDirectory, "is a directory (use -r)");

    ToolResult putOnDirectory = RunTool("put " + Q(image) + " " + Q(dir.Path().string()) + " /x");
    EXPECT_EQ(putOnDirectory.exitCode, 1);
    ExpectOneLine(putOnDirectory, "is a directory (use -r)");

    ToolResult noParent = RunTool("mkdir " + Q(image) + " /none/sub");
    EXPECT_EQ(noParent.exitCode, 1);
    ExpectOneLine(noParent, "mkdir /none/sub: ");
    EXPECT_EQ(RunTool("mkdir " + Q(image) + " '/dir/x:y'").err,
              "volkit: mkdir /dir/x:y: name contains a character that is not allowed\n");
    EXPECT_EQ(RunTool("rm " + Q(image) + " '/$Boot'").err, "volkit: rm /$Boot: cannot remove a system file\n");
    EXPECT_EQ(RunTool("put --force " + Q(image) + " /etc/hostname '/$Boot'").err,
              "volkit: put /$Boot: cannot change a system file\n");

    ToolResult rmMissing = RunTool("rm " + Q(image) + " /dir/none");
    EXPECT_EQ(rmMissing.exitCode, 1);
    ExpectOneLine(rmMissing, "rm /dir/none");
    ExpectImageUnchanged();
}

// A tree that fits file by file but not as a whole is refused before any
// write; what the check lets through fits even at its margin, where the small
// files make the MFT grow and the large ones take several runs.
TEST_F(ToolErrors, FreeSpaceCheckRefusesBeforeAnyWriteExactlyWhatCannotFit) {
    std::filesystem::create_directory(dir.File("tree"));
    for (int i = 0; i < 4; ++i) WriteFileBytes(dir.File("tree/part" + std::to_string(i)), std::vector<uint8_t>(4 << 20));
    for (int i = 0; i < 60; ++i) WriteFileBytes(dir.File("tree/small" + std::to_string(i)), {'x'});
    const std::string putTree = "put -r " + Q(image) + " " + Q(dir.File("tree")) + " /tree";
    ToolResult tree = RunTool(putTree);
    EXPECT_EQ(tree.exitCode, 1);
    ExpectOneLine(tree, "not enough free space on the volume");
    ExpectImageUnchanged();
    const uint64_t needed = std::stoull(tree.err.substr(tree.err.find('(') + 1));
    const uint64_t free = std::stoull(tree.err.substr(tree.err.find(", ") + 2));
    std::filesystem::resize_file(dir.File("tree/part0"), (4 << 20) - (needed - free));
    EXPECT_EQ(RunTool(putTree).err, "");
    EXPECT_EQ(RunTool("check " + Q(image)).exitCode, 0);
}

TEST_F(ToolErrors, UsageMistakesExitWithTwo) {
    for (const char* arguments : {"", "frobnicate x.img", "ls", "ls --bogus x.img", "stat x.img",
                                  "cat x.img a b", "ls --engine fat x.img", "ls --partition 0 x.img",
                                  "--offset 12Q ls x.img", "touch x.img /f --mtime yesterday",
                                  "mkfs x.img --size 0", "mkfs x.img --cluster-size 3000", "ls -lz x.img",
                                  "mkfs x.img --cluster-size 128K", "ls --offset 1M --partition 1 x.img"}) {
        ToolResult result = RunTool(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments;
        EXPECT_EQ(result.err.rfind("volkit: ", 0), 0u) << arguments << ": " << result.err;
        EXPECT_EQ(result.out, "") << arguments;
    }
    // A mistake in a command's options points at that command's usage.
    EXPECT_NE(RunTool("ls --frobnicate x.img").err.find("Usage: volkit ls IMAGE [PATH] [-l] [-R] [-a] [--json]\n"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("x.img"));

    ToolResult help = RunTool("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: volkit COMMAND IMAGE"), std::string::npos);
    ToolResult commandHelp = RunTool("--help put");
    EXPECT_EQ(commandHelp.exitCode, 0);
    EXPECT_EQ(commandHelp.out.rfind("Usage: volkit put IMAGE SRC PATH [-r] [--force]\n", 0), 0u) << commandHelp.out;
    EXPECT_EQ(RunTool("--version").out.rfind("volkit ", 0), 0u);
    ExpectImageUnchanged();
}

TEST_F(ToolErrors, DamagedBootSectorIsRefusedByInfo) {
    struct Damage {
        size_t offset;
        uint8_t value;
    } damages[] = {{12, 0}, {12, 0x40}, {13, 3}, {13, 0}, {3, 'X'}, {511, 0}};
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = pristine;
        bytes[damage.offset] = damage.value;
        WriteFileBytes(image, bytes);
        ToolResult info = RunTool("info " + Q(image));
        EXPECT_EQ(info.exitCode, 1) << damage.offset;
        EXPECT_EQ(info.out, "") << damage.offset;
        ExpectOneLine(info, "NTFS");
        EXPECT_TRUE(ReadFileBytes(image) == bytes);
    }
}
