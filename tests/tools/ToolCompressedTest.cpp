// The native engine, the only one on Windows, in the tool: cat and ls -l
// of a file libntfs-3g compressed and of system-compressed (WOF) files, a
// refused overwrite, their removal, and the checks on the volume.
#include <gtest/gtest.h>

#include "codec/Samples.h"
#include "support/WofFiles.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

TEST(ToolCompressed, NativeEngineReadsCompressedAndSystemCompressedFiles) {
    if (!HaveProgram("mkntfs") || !WimCompressor::Available()) GTEST_SKIP() << "mkntfs or wimlib is missing";
    TempDir dir;
    const std::string image = dir.File("vol.img"), native = "--engine native ";
    MakeNtfsImage(image);
    const std::vector<uint8_t> text = TextSample(300'001, 1), code = CodeSample(100'000);
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"comp");
        tree.SetAttributes(u"comp", 0x10 | 0x800);
        tree.MakeFile(u"comp\\numbers.txt", text);
        MakeWofFile(tree, u"system.dll", kWofAlgorithms[0], code);
    }
    const auto cat = [&](const std::string& path) {
        const std::string out = RunTool(native + "cat " + Q(image) + " " + path).out;
        return std::vector<uint8_t>(out.begin(), out.end());
    };
    EXPECT_TRUE(cat("/comp/numbers.txt") == text);
    EXPECT_TRUE(cat("/system.dll") == code);
    EXPECT_NE(RunTool(native + "ls -l " + Q(image) + " /system.dll").out.find(" 100000  "), std::string::npos);

    WriteFileBytes(dir.File("new.dll"), {'x'});
    ToolResult put = RunTool(native + "put " + Q(image) + " " + Q(dir.File("new.dll")) + " /system.dll --force");
    EXPECT_NE(put.err.find("system compression (WOF) holds its data"), std::string::npos) << put.err;
    EXPECT_TRUE(cat("/system.dll") == code);
    EXPECT_EQ(RunTool(native + "check " + Q(image)).exitCode, 0) << "our check accepts them as they are";
    for (const char* path : {"/comp/numbers.txt", "/system.dll"}) {
        ToolResult rm = RunTool(native + "rm " + Q(image) + " " + path);
        EXPECT_EQ(rm.exitCode, 0) << rm.err;
    }
    EXPECT_EQ(RunTool(native + "check " + Q(image)).exitCode, 0) << "their clusters and streams went with them";
    // What put writes into the compressed directory is compressed, as Windows would have it.
    WriteFileBytes(dir.File("numbers.txt"), text);
    EXPECT_EQ(RunTool(native + "put " + Q(image) + " " + Q(dir.File("numbers.txt")) + " /comp/again.txt").exitCode, 0);
    EXPECT_TRUE(cat("/comp/again.txt") == text);
    const std::string stat = RunTool(native + "stat " + Q(image) + " /comp/again.txt").out;
    EXPECT_NE(stat.find("compressed"), std::string::npos) << stat;
    const size_t allocated = stat.find("allocated:  ");
    ASSERT_NE(allocated, std::string::npos) << stat;
    EXPECT_LT(std::stoull(stat.substr(allocated + 12)), text.size() / 2) << stat;
    EXPECT_EQ(RunTool(native + "check " + Q(image)).exitCode, 0);
    EXPECT_TRUE(Ntfs3gTree(image).Read(u"comp\\again.txt") == text);
}
