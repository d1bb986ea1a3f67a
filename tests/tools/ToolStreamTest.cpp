// Named streams through the tool, once per engine: FILE:STREAM paths for put,
// cat, get and rm, and the stream lines of stat and ls -l --streams; the other
// engine reads what one wrote, and a real fsck judges the result.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include "support/Images.h"
#include "support/Oracles.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;

namespace {

class ToolStreams : public ::testing::TestWithParam<std::string> {
protected:
    ToolResult RunTool(const std::string& arguments) { return volcore::test::RunTool(Engine() + arguments); }
    std::string Engine() const { return "--engine " + GetParam() + " "; }
    std::string OtherEngine() const { return GetParam() == "native" ? "--engine ntfs3g " : "--engine native "; }
};

}  // namespace

TEST_P(ToolStreams, StreamPathsCopyInListCopyOutAndRemoveOnlyTheStream) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("vol.img");
    MakeNtfsImage(image);
    WriteFileBytes(dir.File("main"), Pattern(5000, 1));
    WriteFileBytes(dir.File("note"), Pattern(70000, 2));
    const std::string img = Q(image);
    ASSERT_EQ(RunTool("put " + img + " " + Q(dir.File("main")) + " /f.txt").exitCode, 0);
    ToolResult put = RunTool("put " + img + " " + Q(dir.File("note")) + " /f.txt:note");
    ASSERT_EQ(put.exitCode, 0) << put.err;
    ASSERT_EQ(RunTool("put " + img + " " + Q(dir.File("main")) + " '/new:only'").exitCode, 0);

    const std::vector<uint8_t> note = Pattern(70000, 2);
    for (const std::string& engine : {Engine(), OtherEngine()})
        EXPECT_TRUE(volcore::test::RunTool(engine + "cat " + img + " /f.txt:note").out ==
                    std::string(note.begin(), note.end())) << engine;
    EXPECT_EQ(RunTool("cat " + img + " /new").out, "");
    for (const std::string path : {"/f.txt", "/f.txt:note"}) {
        const ToolResult stat = RunTool("stat " + img + " " + path);
        EXPECT_EQ(stat.exitCode, 0) << stat.err;
        EXPECT_NE(stat.out.find("stream:     note (70000 bytes)\n"), std::string::npos) << path;
    }
    ToolResult listing = RunTool("ls -l --streams " + img + " /");
    EXPECT_NE(listing.out.find("\n  f.txt:note  70000\n"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("\n  new:only  5000\n"), std::string::npos) << listing.out;
    ASSERT_EQ(RunTool("get " + img + " /f.txt:note " + Q(dir.File("back"))).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(dir.File("back")), note);

    ASSERT_EQ(RunTool("rm " + img + " /f.txt:note").exitCode, 0);
    EXPECT_EQ(RunTool("cat " + img + " /f.txt:note").exitCode, 1);
    EXPECT_EQ(RunTool("stat " + img + " /f.txt").out.find("stream:"), std::string::npos);
    const std::string main = RunTool("cat " + img + " /f.txt").out;
    EXPECT_EQ(std::vector<uint8_t>(main.begin(), main.end()), Pattern(5000, 1));
    EXPECT_EQ(RunTool("check " + img).exitCode, 0);
    EXPECT_TRUE(NtfsckAccepts(image));
}

TEST_P(ToolStreams, GetTreeKeepsSmallStreamsAsUserAttributesAndReportsTheRest) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("vol.img");
    MakeNtfsImage(image);
    const std::string img = Q(image);
    WriteFileBytes(dir.File("small"), {'x', 'y', 'z'});
    WriteFileBytes(dir.File("large"), Pattern(100000, 3));
    ASSERT_EQ(RunTool("mkdir " + img + " /d").exitCode, 0);
    for (const std::string name : {"small", "large"})
        ASSERT_EQ(RunTool("put " + img + " " + Q(dir.File(name)) + " /d/f:" + name).exitCode, 0);
    ToolResult get = RunTool("get -r " + img + " /d " + Q(dir.File("out")));
    char kept[8] = {};
    const ssize_t length = getxattr(dir.File("out/f").c_str(), "user.small", kept, sizeof kept);
    if (length < 0) {
        // The host's file system keeps no user attributes: both are reported.
        EXPECT_NE(get.err.find("/d/f:small: the host keeps no extended attribute"), std::string::npos) << get.err;
        return;
    }
    EXPECT_EQ(std::string(kept, static_cast<size_t>(length)), "xyz");
    EXPECT_EQ(get.exitCode, 1);
    EXPECT_NE(get.err.find("/d/f:large: stream too large"), std::string::npos) << get.err;
}

INSTANTIATE_TEST_SUITE_P(Engines, ToolStreams, ::testing::Values("ntfs3g", "native"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
