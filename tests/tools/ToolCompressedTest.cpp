// `volkit cat`, `get` and `ls -l` on compressed files through the native
// engine, the only one on Windows: a file libntfs-3g compressed with LZNT1 and
// files kept with Windows' system compression (built from wimlib's chunks).
#include <gtest/gtest.h>

#include "codec/Samples.h"
#include "support/Images.h"
#include "support/Ntfs3gTree.h"
#include "support/WimCompressor.h"
#include "support/WofFiles.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

TEST(ToolCompressed, NativeEngineReadsCompressedAndSystemCompressedFiles) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    if (!WimCompressor::Available()) GTEST_SKIP() << WimCompressor::MissingMessage;
    TempDir dir;
    const std::string image = dir.File("vol.img");
    MakeNtfsImage(image, WithClusters(4096, 32ull << 20));
    const std::vector<uint8_t> text = TextSample(300'001, 1), code = CodeSample(100'000), lzx = TextSample(70'000, 2);
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"comp");
        tree.SetAttributes(u"comp", 0x10 | 0x800);
        tree.MakeFile(u"comp\\numbers.txt", text);
        MakeWofFile(tree, u"system.dll", kWofAlgorithms[0], code);
        MakeWofFile(tree, u"lzx.txt", kWofAlgorithms[1], lzx);
    }
    const auto asText = [](const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); };
    const std::string native = "--engine native ";
    ToolResult cat = RunTool(native + "cat " + Q(image) + " /comp/numbers.txt");
    EXPECT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_TRUE(cat.out == asText(text));
    EXPECT_TRUE(RunTool(native + "cat " + Q(image) + " /system.dll").out == asText(code));
    ASSERT_EQ(RunTool(native + "get " + Q(image) + " /lzx.txt " + Q(dir.File("lzx.txt"))).exitCode, 0);
    EXPECT_TRUE(ReadFileBytes(dir.File("lzx.txt")) == lzx);
    EXPECT_NE(RunTool(native + "ls -l " + Q(image) + " /system.dll").out.find(" 100000  "), std::string::npos);

    WriteFileBytes(dir.File("new.dll"), {'x'});
    ToolResult put = RunTool(native + "put " + Q(image) + " " + Q(dir.File("new.dll")) + " /system.dll --force");
    EXPECT_NE(put.exitCode, 0);
    EXPECT_NE(put.err.find("system compression (WOF)"), std::string::npos) << put.err;
    EXPECT_TRUE(RunTool(native + "cat " + Q(image) + " /system.dll").out == asText(code));
    // Our check accepts compressed attributes and WOF files as they are.
    ToolResult check = RunTool(native + "check " + Q(image));
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
}
