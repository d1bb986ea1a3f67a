// The file commands end to end on mkntfs images, checked against libntfs-3g's
// own tools as independent readers and writers.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"
#include "tools/ToolRunner.h"

namespace fs = std::filesystem;
using namespace volcore::test;

namespace {

// A tree with a resident file, a multi-run one, an empty one, a deep one, a
// non-ASCII name and a file with holes (24 MiB, 8 KiB of data).
void MakeHostTree(const fs::path& root) {
    fs::create_directories(root / "sub" / "deeper");
    fs::create_directories(root / "empty-dir");
    WriteFileBytes((root / "small.txt").string(), {'h', 'i', '\n'});
    WriteFileBytes((root / "big.bin").string(), Pattern(3'000'001, 1));
    WriteFileBytes((root / "empty").string(), {});
    WriteFileBytes((root / "holes.bin").string(), Pattern(5000, 3));
    fs::resize_file(root / "holes.bin", 24 << 20);
    RunCommand("printf tail | dd of=" + Q((root / "holes.bin").string()) + " bs=1 seek=20000000 conv=notrunc status=none");
    WriteFileBytes((root / "sub" / "deeper" / "n\xC3\xA4me \xE2\x82\xAC.dat").string(), Pattern(5000, 2));
}

// Every file test runs once per engine.
class ToolFiles : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("ntfscat")) GTEST_SKIP() << "ntfs-3g tools missing";
        ImageOptions options;
        options.size = 64ull << 20;
        MakeNtfsImage(image, options);
    }
    ToolResult Tool(const std::string& arguments) { return RunTool("--engine " + GetParam() + " " + arguments); }

    TempDir dir;
    std::string image = dir.File("vol.img");
};

}  // namespace

TEST_P(ToolFiles, PutTreeIsReadBackByNtfscatAndComesOutWhole) {
    const fs::path tree = dir.Path() / "tree";
    MakeHostTree(tree);
    ToolResult put = Tool("put " + Q(image) + " " + Q(tree.string()) + " / -r");
    ASSERT_EQ(put.exitCode, 0) << put.err;
    EXPECT_EQ(put.err, "");  // no terminal, so no progress bar

    // ntfscat reads the multi-run file independently; cat takes backslashes.
    const std::string big = RunCommand("ntfscat " + Q(image) + " /tree/big.bin").output;
    const std::vector<uint8_t> expected = ReadFileBytes((tree / "big.bin").string());
    EXPECT_TRUE(big == std::string(expected.begin(), expected.end()));
    EXPECT_TRUE(Tool("cat " + Q(image) + " '\\tree\\big.bin'").out == big);

    EXPECT_EQ(Tool("ls " + Q(image) + " /tree").out, "big.bin\nempty\nempty-dir\nholes.bin\nsmall.txt\nsub\n");
    EXPECT_EQ(RunCommand("ntfscat " + Q(image) + " /tree/holes.bin | cmp - " + Q((tree / "holes.bin").string())).exitCode, 0);
    EXPECT_EQ(Tool("ls " + Q(image) + " tree/sub -R").out,
              "/tree/sub:\ndeeper\n\n/tree/sub/deeper:\nn\xC3\xA4me \xE2\x82\xAC.dat\n");

    ToolResult get = Tool("get " + Q(image) + " /tree " + Q(dir.File("out")) + " -r");
    ASSERT_EQ(get.exitCode, 0) << get.err;
    const CommandResult diff = RunCommand("diff -r " + Q(tree.string()) + " " + Q(dir.File("out")));
    EXPECT_EQ(diff.exitCode, 0) << diff.output;
    // The native engine keeps the holes on the volume and in the copy out.
    if (GetParam() == "native") {
        EXPECT_LT(std::stoi(RunCommand("stat -c %b " + Q(dir.File("out/holes.bin"))).output), 1000);
        RunCommand("truncate -s 1T " + Q(dir.File("tera")));  // a hole far larger than the volume
        EXPECT_EQ(Tool("put " + Q(image) + " " + Q(dir.File("tera")) + " /tera").exitCode, 0);
    }
}

TEST_P(ToolFiles, TouchAttribStatAndLongListingAgree) {
    ToolResult touch = Tool("touch " + Q(image) + " /t.txt --mtime 2024-02-29T12:30:00Z --atime 2023-01-02 "
                            "--ctime 2001-09-09T01:46:40.5Z");
    ASSERT_EQ(touch.exitCode, 0) << touch.err;
    ToolResult stat = Tool("stat " + Q(image) + " /t.txt");
    EXPECT_NE(stat.out.find("type:       file\nsize:       0\n"), std::string::npos) << stat.out;
    EXPECT_NE(stat.out.find("created:    2001-09-09T01:46:40.5000000Z\n"), std::string::npos) << stat.out;
    EXPECT_NE(stat.out.find("modified:   2024-02-29T12:30:00Z\n"), std::string::npos) << stat.out;
    EXPECT_NE(stat.out.find("accessed:   2023-01-02T00:00:00Z\n"), std::string::npos) << stat.out;

    ASSERT_EQ(Tool("attrib " + Q(image) + " /t.txt +r +h -a").exitCode, 0);
    EXPECT_EQ(Tool("attrib " + Q(image) + " /t.txt").out, "-rh--  /t.txt\n");
    ASSERT_EQ(Tool("attrib " + Q(image) + " -r /t.txt -h").exitCode, 0);
    // Changing only the flags keeps the times.
    EXPECT_EQ(Tool("ls -l " + Q(image) + " /t.txt").out,
              "-----   1            0  2001-09-09T01:46:40Z  2024-02-29T12:30:00Z  2023-01-02T00:00:00Z  t.txt\n");
}

TEST_P(ToolFiles, TimesTravelBothWaysAndJsonListingReadsBack) {
    if (!HaveProgram("jq")) GTEST_SKIP() << "jq missing";
    WriteFileBytes(dir.File("old.txt"), {'o'});
    RunCommand("touch -m -d 2020-01-02T03:04:05Z " + Q(dir.File("old.txt")) + " && touch -a -d 2021-06-07T08:09:10Z " +
               Q(dir.File("old.txt")));
    ASSERT_EQ(Tool("put " + Q(image) + " " + Q(dir.File("old.txt")) + " /old.txt").exitCode, 0);
    const std::string thisYear = R"((.created[0:4] == (now | strftime("%Y"))))";
    const std::string ls = ToolCommand() + " --engine " + GetParam() + " ls --json -la " + Q(image) + " /";
    EXPECT_EQ(RunCommand(ls + " | jq -r " + Q(".[] | select(.name == \"old.txt\") | [.modified, .accessed, " + thisYear +
                                              ", .size, .type] | map(tostring) | join(\" \")"))
                  .output,
              "2020-01-02T03:04:05Z 2021-06-07T08:09:10Z true 1 file\n");
    ASSERT_EQ(Tool("get " + Q(image) + " /old.txt " + Q(dir.File("back.txt"))).exitCode, 0);
    EXPECT_EQ(RunCommand("date -u -r " + Q(dir.File("back.txt")) + " +%FT%T").output, "2020-01-02T03:04:05\n");
    ASSERT_EQ(Tool("get --no-preserve " + Q(image) + " /old.txt " + Q(dir.File("now.txt"))).exitCode, 0);
    EXPECT_NE(RunCommand("date -u -r " + Q(dir.File("now.txt")) + " +%Y").output, "2020\n");
}

TEST_P(ToolFiles, WildcardsIgnoreCaseAndSkipSystemFilesAndOptionsGoAnywhere) {
    for (const char* name : {"a.mp3", "B.MP3", "c.txt", "dd.txt"}) {
        WriteFileBytes(dir.File(name), {'x'});
        ASSERT_EQ(Tool("put " + Q(image) + " " + Q(dir.File(name)) + " /" + name).exitCode, 0);
    }
    EXPECT_EQ(Tool("ls " + Q(image) + " '/*.MP3'").out, "a.mp3\nB.MP3\n");
    EXPECT_EQ(Tool("ls " + Q(image) + " '/?.txt'").out, "c.txt\n");
    EXPECT_EQ(Tool("ls " + Q(image)).out, "a.mp3\nB.MP3\nc.txt\ndd.txt\n");  // no $ files without -a
    EXPECT_NE(Tool("ls -a " + Q(image) + " '/$MFT*'").out.find("$MFTMirr\n"), std::string::npos);
    fs::create_directory(dir.File("got"));
    ASSERT_EQ(Tool("get " + Q(image) + " '/*.mp3' " + Q(dir.File("got"))).exitCode, 0);
    EXPECT_TRUE(fs::exists(dir.File("got/a.mp3")) && fs::exists(dir.File("got/B.MP3")));
    ASSERT_EQ(Tool("rm " + Q(image) + " '/*'").exitCode, 0);  // the volume's own files stay
    ExpectRows({{"--engine " + GetParam() + " rm IMG '/*.mp3'", 1, "volkit: rm /*.mp3: no match\n"}}, image);

    // Options go before or after the command and its operands.
    ASSERT_EQ(Tool("-p mkdir " + Q(image) + " /a/b\\c").exitCode, 0);
    ASSERT_EQ(Tool("mkdir " + Q(image) + " a/b/c -p").exitCode, 0);  // exists: no error
    EXPECT_EQ(RunCommand("ntfsls " + Q(image) + " -p /a/b").output, ".\n..\nc\n");
    ASSERT_EQ(Tool("touch " + Q(image) + " /a/b/c/f").exitCode, 0);

    ExpectRows({{"--engine " + GetParam() + " rm IMG /a", 1, "volkit: rm /a: directory is not empty (use -r)\n"}}, image);
    ASSERT_EQ(Tool("-r rm " + Q(image) + " /a").exitCode, 0);
    EXPECT_EQ(Tool("ls " + Q(image)).out, "");
    EXPECT_NE(RunCommand("ntfsls -p /a " + Q(image)).exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, ToolFiles, ::testing::Values("ntfs3g", "native"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
