// mkfs and info, checked with The Sleuth Kit's fsstat and libntfs-3g's tools.
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

TEST(ToolVolume, InfoAgreesWithFsstat) {
    if (!HaveProgram("mkntfs") || !HaveProgram("fsstat")) GTEST_SKIP() << "mkntfs or fsstat missing";
    TempDir dir;
    const std::string image = dir.File("vol.img");
    ImageOptions options;
    options.size = 24ull << 20;
    options.clusterSize = 2048;
    MakeNtfsImage(image, options);

    ToolResult info = RunTool("info " + Q(image));
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(Field(info.out, "serial number"), FsstatField(image, "Volume Serial Number"));
    EXPECT_EQ(Field(info.out, "cluster size"), "2048");
    EXPECT_EQ(Field(info.out, "MFT cluster"), FsstatField(image, "First Cluster of MFT") + " (mirror at " +
                                                  FsstatField(image, "First Cluster of MFT Mirror") + ")");
    EXPECT_EQ(Field(info.out, "NTFS version"), "3.1");

    // Putting a file takes its clusters from the free space the tool reports.
    const auto freeBefore = std::stoull(Field(info.out, "free space"));
    WriteFileBytes(dir.File("data"), std::vector<uint8_t>(1 << 20, 7));
    ASSERT_EQ(RunTool("put " + Q(image) + " " + Q(dir.File("data")) + " /data").exitCode, 0);
    const auto freeAfter = std::stoull(Field(RunTool("info " + Q(image)).out, "free space"));
    EXPECT_GE(freeBefore - freeAfter, 1u << 20);
    EXPECT_LT(freeBefore - freeAfter, (1u << 20) + 64 * 1024);
}

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
    EXPECT_EQ(FsstatField(grown, "Cluster Size"), "8192");

    // A full format says nothing on stderr when stderr is no terminal.
    ToolResult full = RunTool("mkfs " + Q(dir.File("full.img")) + " --size 16M --full");
    EXPECT_EQ(full.exitCode, 0);
    EXPECT_EQ(full.err, "");

    ExpectRows({{"mkfs IMG", 1, "cannot open image"}}, dir.File("none.img"));
}

TEST(ToolVolume, CheckSaysCleanDamagedOrCannotCheck) {
    TempDir dir;
    const std::string image = dir.File("vol.img");
    ASSERT_EQ(RunTool("mkfs " + Q(image) + " --size 16M").exitCode, 0);
    std::filesystem::permissions(image, std::filesystem::perms::owner_read);  // it never writes
    ToolResult clean = RunTool("check " + Q(image));
    EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
    EXPECT_EQ(clean.out.rfind(image + ": clean (", 0), 0u) << clean.out;
    ToolResult json = RunTool("check --json " + Q(image));
    EXPECT_NE(json.out.find("\"clean\":true,\"complete\":true"), std::string::npos) << json.out;

    // The backup boot sector in the last sector loses a byte.
    std::filesystem::permissions(image, std::filesystem::perms::owner_all);
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    bytes[bytes.size() - 512 + 3] ^= 0xFF;
    WriteFileBytes(image, bytes);
    ToolResult damaged = RunTool("check " + Q(image) + " --json");
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.out.find("{\"kind\":\"damage\",\"code\":\"boot-sector\",\"record\":null,\"message\":\"Backup"),
              std::string::npos) << damaged.out;

    WriteFileBytes(image, std::vector<uint8_t>(1 << 20, 0));
    ExpectRows({{"check IMG", 2, "No NTFS boot sector"}}, image);
}
