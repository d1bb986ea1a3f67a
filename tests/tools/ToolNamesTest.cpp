// mv and ln end to end on both engines: what they do, what they refuse (in
// mv's and ln's terms, leaving the image as it was), copies of linked host
// files, and a volume that our check, ntfsck and The Sleuth Kit accept with
// every name in place.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"
#include "support/Oracles.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

namespace {

class ToolNames : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("fls")) GTEST_SKIP() << "mkntfs or fls missing";
        MakeNtfsImage(image, {32ull << 20, 4096, 512, ""});
        std::filesystem::create_directories(dir.Path() / "h" / "x" / "y");
        for (const char* name : {"h/a.txt", "h/b.txt", "h/c.log", "h/x/keep"})
            WriteFileBytes(dir.File(name), Pattern(700, 1));
        ASSERT_EQ(Tool("put " + Q(image) + " " + Q(dir.File("h")) + " / -r").exitCode, 0);
    }
    ToolResult Tool(const std::string& arguments) { return RunTool("--engine " + GetParam() + " " + arguments); }

    TempDir dir;
    std::string image = dir.File("vol.img");
};

TEST_P(ToolNames, MoveRenameLinkAndCopyLinkedFiles) {
    const std::string img = Q(image);
    EXPECT_EQ(Tool("mv " + img + " /h/a.txt /h/A.TXT").exitCode, 0);          // letter case only
    EXPECT_EQ(Tool("mv " + img + " '/h/*.TXT' /h/x").exitCode, 0);            // wildcards, into a directory
    EXPECT_EQ(Tool("mv " + img + " /h/c.log /h/x/y/renamed.log").exitCode, 0);  // another directory, another name
    EXPECT_EQ(Tool("mv " + img + " /h/x/y /moved-y").exitCode, 0);             // a directory with its contents

    EXPECT_EQ(Tool("ln " + img + " /h/x/keep /h").exitCode, 0);  // into a directory, under the target's name
    EXPECT_EQ(Tool("ln " + img + " /h/x/keep /second").exitCode, 0);
    EXPECT_EQ(Tool("ls -l " + img + " /second").out.substr(5, 5), "   3 ");
    EXPECT_EQ(Tool("rm " + img + " /h/x/keep").exitCode, 0);
    EXPECT_EQ(Tool("cat " + img + " /h/keep").out.size(), 700u);
    EXPECT_EQ(Tool("mv " + img + " /h/x/b.txt /second --force").exitCode, 0);  // one name of two replaced
    EXPECT_EQ(Tool("ls --json " + img + " /h/keep").out.find("\"links\": 1,") != std::string::npos, true);

    EXPECT_EQ(Tool("mv " + img + " /h/keep /h/x --force").exitCode, 0);  // into a directory, over a file
    ExpectRows({{"mv IMG /h /h/x/h", 1, "volkit: mv /h: cannot move '/h' to a subdirectory of itself, '/h/x/h'"},
                {"mv IMG /h/x/A.TXT /h/x/keep", 1, "volkit: mv /h/x/keep: already exists (use --force to replace it)"},
                {"mv IMG /h/x/keep /moved-y/renamed.log/z", 1,
                 "volkit: mv /h/x/keep: /moved-y/renamed.log is not a directory"},
                {"mv IMG /moved-y /h/x/keep --force", 1,
                 "volkit: mv /h/x/keep: cannot overwrite non-directory '/h/x/keep' with directory '/moved-y'"},
                {"mv IMG /nothing /x", 1, "volkit: mv /nothing: no such file or directory"},
                {"mv IMG '/h/x/*' /second", 1, "volkit: mv /second: target '/second' is not a directory"},
                {"mv IMG /h/x/keep /h/x/keep", 1, "'/h/x/keep' and '/h/x/keep' are the same file"},
                {"ln IMG /h /h2", 1, "volkit: ln /h: hard link not allowed for directory"},
                {"ln IMG /second /h/x/keep", 1, "volkit: ln /h/x/keep: already exists"}},
               image);

    // Host files that share an inode arrive as one file with several names,
    // and get -r makes host hard links of them again (where the engine's
    // listing tells objects apart: the native one).
    const std::filesystem::path tree = dir.Path() / "linked";
    std::filesystem::create_directories(tree / "a");
    WriteFileBytes((tree / "a" / "f").string(), Pattern(9000, 3));
    std::filesystem::create_hard_link(tree / "a" / "f", tree / "g");
    ASSERT_EQ(Tool("put " + img + " " + Q(tree.string()) + " / -r").exitCode, 0);
    EXPECT_EQ(Tool("ls -l " + img + " /linked/g").out.substr(5, 5), "   2 ");
    ASSERT_EQ(Tool("get " + img + " /linked " + Q(dir.File("out")) + " -r").exitCode, 0);
    EXPECT_EQ(ReadFileBytes(dir.File("out/g")), Pattern(9000, 3));
    EXPECT_EQ(std::filesystem::hard_link_count(dir.File("out/g")), GetParam() == "native" ? 2u : 1u);

    const std::string check = Tool("check " + img).out;
    EXPECT_NE(check.find(": clean ("), std::string::npos) << check;
    EXPECT_TRUE(NtfsckAccepts(image));
    std::set<std::u16string> paths = TskPaths(image);
    EXPECT_EQ(paths, (std::set<std::u16string>{u"h", u"h\\x", u"h\\x\\A.TXT", u"h\\x\\keep", u"moved-y",
                                               u"moved-y\\renamed.log", u"second", u"linked", u"linked\\a",
                                               u"linked\\a\\f", u"linked\\g"}));
}

INSTANTIATE_TEST_SUITE_P(Engines, ToolNames, ::testing::Values("ntfs3g", "native"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
