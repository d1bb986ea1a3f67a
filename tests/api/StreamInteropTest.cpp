// Named streams between libntfs-3g and the handle family, both ways, with The
// Sleuth Kit listing and reading what we wrote and both checkers judging it.
#include <gtest/gtest.h>

#include <string>

#include "InteropSupport.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

TEST(StreamInterop, StreamsTravelBothWaysAndEveryCheckerAgrees) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("streams.img");
    MakeNtfsImage(image);
    {
        Ntfs3gTree tree(image);
        tree.MakeFile(u"\\theirs", Pattern(1000, 1));
        tree.WriteStream(u"\\theirs", u"small", Pattern(60, 2));
        tree.WriteStream(u"\\theirs", u"big", Pattern(250000, 3));
    }
    MemoryDevice device(ReadFileBytes(image));
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    EXPECT_EQ(ReadThroughHandles(volume, u"theirs:small"), Pattern(60, 2));
    EXPECT_EQ(ReadThroughHandles(volume, u"theirs:big"), Pattern(250000, 3));
    EXPECT_EQ(ReadThroughHandles(volume, u"theirs"), Pattern(1000, 1));
    WriteThroughHandles(volume, u"ours:note", Pattern(123, 4));
    WriteThroughHandles(volume, u"ours:data", Pattern(180000, 5));
    WriteThroughHandles(volume, u"theirs:added", Pattern(70000, 6));
    NtfsFileHandle small;
    ASSERT_TRUE(NtfsOpenFile(L"theirs:small", small, volume) && NtfsDeleteFile(small));
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
    device.SaveToFile(image);

    {
        Ntfs3gTree tree(image);
        EXPECT_EQ(tree.ReadStream(u"\\ours", u"note"), Pattern(123, 4));
        EXPECT_EQ(tree.ReadStream(u"\\ours", u"data"), Pattern(180000, 5));
        EXPECT_EQ(tree.ReadStream(u"\\theirs", u"added"), Pattern(70000, 6));
        EXPECT_THROW(tree.ReadStream(u"\\theirs", u"small"), std::runtime_error);
        tree.WriteStream(u"\\ours", u"data", Pattern(9000, 7));
        tree.RemoveStream(u"\\ours", u"note");
    }
    if (HaveProgram("icat") && HaveProgram("ifind")) {
        // The Sleuth Kit reads our stream by its attribute id: ours is 128-<id>.
        CommandResult found = RunCommand("fls -l " + ShellQuote(image));
        EXPECT_NE(found.output.find("theirs:added"), std::string::npos) << found.output;
        CommandResult path = RunCommand("ifind -n /theirs " + ShellQuote(image));
        std::string inode = path.output.substr(0, path.output.find_first_of("\n"));
        CommandResult attributes = RunCommand("istat " + ShellQuote(image) + " " + inode);
        size_t named = attributes.output.find("Name: added");
        ASSERT_NE(named, std::string::npos) << attributes.output;
        size_t at = attributes.output.rfind("(128-", named);
        std::string id = attributes.output.substr(at + 1, attributes.output.find(')', at) - at - 1);
        CommandResult contents = RunCommand("icat " + ShellQuote(image) + " " + inode + "-" + id);
        EXPECT_EQ(std::vector<uint8_t>(contents.output.begin(), contents.output.end()), Pattern(70000, 6));
    }
    MemoryDevice changed(ReadFileBytes(image));
    ASSERT_TRUE(NtfsOpenVolume(changed.Api(), volume));
    EXPECT_EQ(ReadThroughHandles(volume, u"ours:data"), Pattern(9000, 7));
    NtfsFileHandle gone;
    EXPECT_FALSE(NtfsOpenFile(L"ours:note", gone, volume));
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(changed.Api()).Clean());
    EXPECT_TRUE(NtfsckAccepts(image));
}
