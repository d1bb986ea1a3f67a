// The native engine, the only one on Windows, in the tool: cat of every kind
// of file libntfs-3g and wimlib made (support/FileKinds.h), by both engines,
// ls -l of a system-compressed (WOF) file, refused changes to its data and
// its reparse point, their removal, and the checks on the volume.
#include <gtest/gtest.h>

#include "codec/Samples.h"
#include "support/FamilyDevice.h"
#include "support/FileKinds.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/WimCompressor.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

TEST(ToolCompressed, NativeEngineReadsCompressedAndSystemCompressedFiles) {
    if (!HaveProgram("mkntfs") || !WimCompressor::Available()) GTEST_SKIP() << "mkntfs or wimlib is missing";
    TempDir dir;
    const std::string image = dir.File("vol.img"), native = "--engine native ";
    const std::vector<FileKind> kinds = MakeFileKindsImage(image);
    const auto cat = [&](const std::string& path) {
        const std::string out = RunTool(native + "cat " + Q(image) + " " + path).out;
        return std::vector<uint8_t>(out.begin(), out.end());
    };
    WriteFileBytes(dir.File("new.dll"), {'x'});
    // libntfs-3g alone reads a system-compressed file's sparse data as zeros;
    // the filesystem family decodes it as the native engine does.
    const std::pair<std::string, const char*> engines[] = {{"native", "system compression (WOF) holds its data"},
                                                           {"ntfs3g", "cannot change a system-compressed (WOF) file"}};
    for (const auto& [engine, refusal] : engines) {
        const auto catWith = [&](const std::string& path) {
            const std::string out = RunTool("--engine " + engine + " cat " + Q(image) + " " + path).out;
            return std::vector<uint8_t>(out.begin(), out.end());
        };
        for (const FileKind& kind : kinds) EXPECT_TRUE(catWith(kind.volumePath) == kind.contents) << engine << kind.volumePath;
        // The file's data, and the stream that holds it compressed, stay as they are.
        for (const std::string& command : {"put " + Q(image) + " " + Q(dir.File("new.dll")) + " /wof-lzx.bin --force",
                                          "put " + Q(image) + " " + Q(dir.File("new.dll")) +
                                              " /wof-lzx.bin:WofCompressedData --force",
                                          "rm " + Q(image) + " /wof-lzx.bin:WofCompressedData"}) {
            const ToolResult refused = RunTool("--engine " + engine + " " + command);
            EXPECT_NE(refused.err.find(refusal), std::string::npos) << engine << " " << command << ": " << refused.err;
        }
        EXPECT_TRUE(cat("/wof-lzx.bin") == kinds[4].contents) << engine;
    }
    {
        // Nor does its reparse point, which says how that data is compressed.
        MemoryDevice memory = MemoryDevice::FromFile(image);
        volkit::filesystem::device device = FamilyDeviceOf(memory);
        volkit::filesystem::handle volume;
        ASSERT_TRUE(volkit::filesystem::open(volume, device));
        const uint8_t reparse[8] = {0x13, 0, 0, 0x80};
        EXPECT_FALSE(volkit::file::setReparseData("/wof-lzx.bin", reparse, sizeof reparse, volume));
        ASSERT_TRUE(volkit::filesystem::close(volume));
        memory.SaveToFile(image);
    }
    EXPECT_TRUE(cat("/wof-lzx.bin") == kinds[4].contents);
    EXPECT_NE(RunTool(native + "ls -l " + Q(image) + " /wof-lzx.bin").out.find(" 100000  "), std::string::npos);
    EXPECT_EQ(RunTool(native + "check " + Q(image)).exitCode, 0) << "our check accepts them as they are";
    for (const char* path : {"/comp/lznt1.txt", "/wof-lzx.bin", "/sparse.bin", "/plain.txt"}) {
        ToolResult rm = RunTool(native + "rm " + Q(image) + " " + path);
        EXPECT_EQ(rm.exitCode, 0) << rm.err;
    }
    EXPECT_EQ(RunTool(native + "check " + Q(image)).exitCode, 0) << "their clusters and streams went with them";
    // What put writes into the compressed directory is compressed, as Windows would have it.
    const std::vector<uint8_t> text = TextSample(300'001, 1);
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
