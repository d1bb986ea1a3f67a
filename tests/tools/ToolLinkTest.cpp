// Symbolic links through the tool: put -r makes NTFS links of the host links
// that stay inside the tree, ls -l and stat show them, get -r makes host links
// of those that stay inside the copy; every other one is skipped with a note.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"
#include "support/Oracles.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;
namespace fs = std::filesystem;

TEST(ToolLinks, SafeLinksRoundTripAndUnsafeOnesAreSkipped) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("vol.img");
    MakeNtfsImage(image);
    const std::string img = Q(image);
    const fs::path tree = dir.Path() / "tree";
    fs::create_directories(tree / "sub");
    WriteFileBytes((tree / "a.txt").string(), {'h', 'i'});
    struct Row { const char* link; const char* target; bool kept; };
    const Row rows[] = {{"same", "a.txt", true},         {"sub/up", "../a.txt", true},  {"dir", "sub", true},
                        {"abs", "/etc/passwd", false},   {"sub/out", "../../x", false}};
    for (const Row& row : rows) fs::create_symlink(row.target, tree / row.link);

    ToolResult put = RunTool("put -r " + img + " " + Q(tree.string()) + " /");
    EXPECT_EQ(put.exitCode, 1) << put.err;  // the unsafe links were skipped
    EXPECT_NE(put.err.find("'/etc/passwd' lies outside the copy"), std::string::npos) << put.err;
    EXPECT_NE(RunTool("ls -l " + img + " /tree/sub").out.find(" up -> ..\\a.txt\n"), std::string::npos);
    EXPECT_NE(RunTool("stat " + img + " /tree/dir").out.find("type:       directory link\n"), std::string::npos);
    EXPECT_EQ(RunTool("check " + img).exitCode, 0);
    EXPECT_TRUE(NtfsckAccepts(image));

    const fs::path copy = dir.Path() / "copy";
    ToolResult get = RunTool("get -r " + img + " /tree " + Q(copy.string()));
    EXPECT_EQ(get.exitCode, 0) << get.err;
    for (const Row& row : rows) {
        EXPECT_EQ(fs::is_symlink(copy / row.link), row.kept) << row.link;
        if (row.kept) {
            EXPECT_EQ(fs::read_symlink(copy / row.link), fs::path(row.target)) << row.link;
        }
    }
    ToolResult alone = RunTool("get " + img + " /tree/same " + Q((dir.Path() / "alone").string()));
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_NE(alone.err.find("it would point outside the copy"), std::string::npos) << alone.err;
}
