// Bad input, a damaged boot sector among it: one clear line on stderr, the right exit code, and an image
// that is exactly as it was.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

namespace {

class ToolErrors : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs missing";
        MakeNtfsImage(image);
        ASSERT_EQ(RunTool("mkdir " + Q(image) + " /dir").exitCode, 0);
        ASSERT_EQ(RunTool("touch " + Q(image) + " /dir/file").exitCode, 0);
    }

    TempDir dir;
    std::string image = dir.File("vol.img");
};

}  // namespace

TEST_F(ToolErrors, BadInputFailsWithItsReasonAndLeavesTheImageAlone) {
    ExpectRows({{"ls IMG", 1, "cannot open image"}}, dir.File("nope.img"));
    WriteFileBytes(dir.File("zeros.img"), std::vector<uint8_t>(4 << 20));
    const std::string notNtfs = dir.File("zeros.img") + ": not an NTFS volume (use --partition N for a whole disk)\n";
    ExpectRows({{"ls IMG", 1, "volkit: ls " + notNtfs}, {"info IMG", 1, "zeros.img"}, {"cat IMG /x", 1, "zeros.img"},
                {"check IMG", 2, "volkit: check " + notNtfs}, {"put IMG /etc/hostname /h", 1, "zeros.img"}},
               dir.File("zeros.img"));
    // A failed mkfs says why once and leaves no new file behind.
    ExpectRows({{"mkfs IMG --size 1M", 1, ": cannot format the volume: Device of 1048576 bytes is too small"}},
               dir.File("small.img"));
    ExpectRows({{"cat IMG /dir/none", 1, "/dir/none"},
                {"cat IMG dir", 1, "volkit: cat /dir: is a directory\n"},
                {"get IMG /dir " + Q(dir.File("out")), 1, "is a directory (use -r)"},
                {"put IMG " + Q(dir.Path().string()) + " /x", 1, "is a directory (use -r)"},
                {"mkdir IMG /none/sub", 1, "mkdir /none/sub: "},
                {"mkdir IMG '/dir/x:y'", 1, "volkit: mkdir /dir/x:y: name contains a character that is not allowed\n"},
                {"rm IMG '/$Boot'", 1, "volkit: rm /$Boot: cannot remove a system file\n"},
                {"put --force IMG /etc/hostname '/$Boot'", 1, "volkit: put /$Boot: cannot change a system file\n"},
                {"rm IMG /dir/none", 1, "rm /dir/none"}},
               image);
    std::vector<ToolRow> usage;
    for (const char* arguments : {"", "frobnicate IMG", "ls", "ls --bogus IMG", "stat IMG", "cat IMG a b",
                                  "ls --engine fat IMG", "ls --partition 0 IMG", "--offset 12Q ls IMG",
                                  "touch IMG /f --mtime yesterday", "mkfs IMG --size 0", "mkfs IMG --cluster-size 3000",
                                  "ls -lz IMG", "mkfs IMG --cluster-size 4M", "ls --offset 1M --partition 1 IMG",
                                  "help frobnicate"})
        usage.push_back({arguments, 2, "volkit: "});
    // A mistake in a command's options points at that command's usage.
    usage.push_back({"ls --frobnicate IMG", 2, "Usage: volkit ls IMAGE [PATH] [-l] [-R] [-a] [--streams] [--json]\n"});
    ExpectRows(usage, image);
    ExpectRows(usage, dir.File("x.img"));  // no image is made

    EXPECT_NE(RunTool("--help").out.find("Usage: volkit COMMAND IMAGE"), std::string::npos);
    EXPECT_EQ(RunTool("--help put").out.rfind("Usage: volkit put IMAGE SRC PATH [-r] [--force] [--no-holes]\n", 0), 0u);
    EXPECT_EQ(RunTool("help put").out, RunTool("--help put").out);
    EXPECT_EQ(RunTool("help").out, RunTool("--help").out);
    EXPECT_EQ(RunTool("--version").out.rfind("volkit ", 0), 0u);

    const std::vector<uint8_t> pristine = ReadFileBytes(image);
    const std::pair<size_t, uint8_t> damages[] = {{12, 0}, {12, 0x40}, {13, 3}, {13, 0}, {3, 'X'}, {511, 0}};
    for (const auto& [offset, value] : damages) {
        std::vector<uint8_t> bytes = pristine;
        bytes[offset] = value;
        WriteFileBytes(image, bytes);
        ExpectRows({{"info IMG", 1, "NTFS"}}, image);
    }
}

// A tree that fits file by file but not as a whole is refused before any
// write; what the check lets through fits even at its margin, where the small
// files make the MFT grow and the large ones take several runs.
TEST_F(ToolErrors, FreeSpaceCheckRefusesBeforeAnyWriteExactlyWhatCannotFit) {
    std::filesystem::create_directory(dir.File("tree"));
    for (int i = 0; i < 4; ++i) WriteFileBytes(dir.File("tree/part" + std::to_string(i)), std::vector<uint8_t>(4 << 20));
    for (int i = 0; i < 60; ++i) WriteFileBytes(dir.File("tree/small" + std::to_string(i)), {'x'});
    const std::string putTree = "put -r IMG " + Q(dir.File("tree")) + " /tree";
    ExpectRows({{putTree, 1, "not enough free space on the volume"}}, image);
    const std::string err = RunTool("put -r " + Q(image) + " " + Q(dir.File("tree")) + " /tree").err;
    const uint64_t needed = std::stoull(err.substr(err.find('(') + 1)), free = std::stoull(err.substr(err.find(", ") + 2));
    std::filesystem::resize_file(dir.File("tree/part0"), (4 << 20) - (needed - free));
    EXPECT_EQ(RunTool("put -r " + Q(image) + " " + Q(dir.File("tree")) + " /tree").err, "");
    EXPECT_EQ(RunTool("check " + Q(image)).exitCode, 0);
}
