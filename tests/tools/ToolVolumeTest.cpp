// mkfs, info and check, checked with The Sleuth Kit's fsstat and libntfs-3g's tools.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

namespace {

// The rest of the line that starts with "KEY:", without leading blanks.
std::string Field(const std::string& text, const std::string& key) {
    size_t at = text.rfind(key + ":", 0) == 0 ? 0 : text.find("\n" + key + ":");
    if (at == std::string::npos) return "<missing>";
    at = text.find(':', at) + 1;
    at = text.find_first_not_of(' ', at);
    return text.substr(at, text.find('\n', at) - at);
}

std::string FsstatField(const std::string& image, const std::string& key) {
    return Field(RunCommand("fsstat " + Q(image)).output, key);
}

}  // namespace

TEST(ToolVolume, MkfsCreatesExtendsAndFormatsImages) {
    if (!HaveProgram("fsstat")) GTEST_SKIP() << "fsstat missing";
    TempDir dir;
    const std::string fresh = dir.File("fresh.img"), label = "Donn\u00e9es \u20ac\U0001F600";
    ToolResult mkfs = RunTool("mkfs " + Q(fresh) + " --size 32M --label " + Q(label));
    ASSERT_EQ(mkfs.exitCode, 0) << mkfs.err;
    EXPECT_EQ(std::filesystem::file_size(fresh), 32u << 20);
    EXPECT_EQ(FsstatField(fresh, "Volume Name"), label);
    EXPECT_EQ(Field(RunTool("info " + Q(fresh)).out, "label"), label);

    // An existing smaller file grows; the cluster size is taken as given.
    const std::string grown = dir.File("grown.img");
    WriteFileBytes(grown, std::vector<uint8_t>(8 << 20, 0xAB));
    ASSERT_EQ(RunTool("--cluster-size 8192 mkfs " + Q(grown) + " --size=24M").exitCode, 0);
    EXPECT_EQ(std::filesystem::file_size(grown), 24u << 20);
    const std::string info = RunTool("info " + Q(grown)).out;
    EXPECT_EQ(Field(info, "cluster size"), FsstatField(grown, "Cluster Size")) << info;
    EXPECT_EQ(Field(info, "cluster size"), "8192");
    EXPECT_EQ(Field(info, "serial number"), FsstatField(grown, "Volume Serial Number"));
    EXPECT_EQ(Field(info, "MFT cluster"), FsstatField(grown, "First Cluster of MFT") + " (mirror at " +
                                              FsstatField(grown, "First Cluster of MFT Mirror") + ")");

    // A full format says nothing on stderr when stderr is no terminal.
    ToolResult full = RunTool("mkfs " + Q(dir.File("full.img")) + " --size 16M --full");
    EXPECT_EQ(full.exitCode, 0);
    EXPECT_EQ(full.err, "");

    ExpectRows({{"mkfs IMG", 1, "cannot open image"}}, dir.File("none.img"));

    // Clusters of 2 MiB, as Windows 10 offers them: the top of the range the tool takes.
    const std::string large = dir.File("large.img");
    ASSERT_EQ(RunTool("mkfs " + Q(large) + " --size 512M --cluster-size 2M").exitCode, 0);
    EXPECT_EQ(Field(RunTool("info " + Q(large)).out, "cluster size"), "2097152");
}

TEST(ToolVolume, CheckSaysCleanDamagedOrCannotCheck) {
    TempDir dir;
    const std::string image = dir.File("vol.img");
    ASSERT_EQ(RunTool("mkfs " + Q(image) + " --size 16M").exitCode, 0);
    ToolResult clean = RunTool("check " + Q(image));
    EXPECT_EQ(clean.out.rfind(image + ": clean (", 0), 0u) << clean.out << clean.err;
    // A clean volume: nothing to repair, and nothing written.
    const std::vector<uint8_t> formatted = ReadFileBytes(image);
    EXPECT_EQ(RunTool("check " + Q(image) + " --repair").out, clean.out);
    EXPECT_TRUE(ReadFileBytes(image) == formatted);

    // The backup boot sector in the last sector loses a byte.
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    bytes[bytes.size() - 512 + 3] ^= 0xFF;
    WriteFileBytes(image, bytes);
    ToolResult damaged = RunTool("check " + Q(image) + " --json");
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.out.find("{\"kind\":\"damage\",\"code\":\"boot-sector\",\"record\":null,\"message\":\"Backup"),
              std::string::npos) << damaged.out;
    ExpectRows({{"check IMG --repair", 2, "no repair is known for: Backup"}}, image);
}
