// Renames, moves and hard links through the handle family, one session per
// row on one image: after every row our check, ntfsck, ntfsfix, The Sleuth
// Kit and libntfs-3g agree on every name, and libntfs-3g adds and removes
// names of files whose names we made.
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/Oracles.h"
#include "support/FamilyDevice.h"
#include "volkit/filesystem.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

std::wstring W(const std::u16string& path) { return volcore::Utf16ToWide(path); }

bool Link(NtfsVolumeHandle volume, const std::u16string& target, const std::u16string& link) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(W(target).c_str(), file, volume)) return false;
    bool linked = NtfsCreateHardLink(W(link).c_str(), file);
    return NtfsCloseFile(file) && linked;
}

bool Unlink(NtfsVolumeHandle volume, const std::u16string& path) {
    NtfsFileHandle file;
    return NtfsOpenFile(W(path).c_str(), file, volume) && NtfsDeleteFile(file);
}

unsigned LinkCount(NtfsVolumeHandle volume, const std::u16string& path) {
    NtfsFileHandle file;
    unsigned count = 0;
    EXPECT_TRUE(NtfsOpenFile(W(path).c_str(), file, volume) && NtfsGetLinkCount(count, file)) << Utf8(path);
    NtfsCloseFile(file);
    return count;
}

// Moves every path at or under `from` in the tree to `to`.
void MoveInTree(Tree& tree, const std::u16string& from, const std::u16string& to) {
    Tree moved;
    for (auto it = tree.begin(); it != tree.end();) {
        if (it->first == from || it->first.rfind(from + u"\\", 0) == 0) {
            moved[to + it->first.substr(from.size())] = it->second;
            it = tree.erase(it);
        } else {
            ++it;
        }
    }
    tree.merge(moved);
}

// One row: what the session does (EXPECTs inside) on an open volume, and
// what it does to the tree of paths and contents.
struct SRow {
    const char* name;
    std::function<void(NtfsVolumeHandle, Tree&)> run;
    // libntfs-3g's turn on the image file, before the session.
    std::function<void(Ntfs3gTree&, Tree&)> before = nullptr;
};

class Names : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("fls") || !HaveProgram("ntfsfix"))
            GTEST_SKIP() << "mkntfs, fls or ntfsfix is missing";
        m_image = m_dir.File("names.img");
        MakeNtfsImage(m_image, {64ull << 20, 4096, 512, ""});
    }

    // Each row is a session of its own, and every checker reads the image after it.
    void RunRows(const std::vector<SRow>& rows) {
        for (const SRow& row : rows) {
            if (row.before) {
                Ntfs3gTree writer(m_image);
                row.before(writer, m_tree);
            }
            MemoryDevice device = MemoryDevice::FromFile(m_image);
            NtfsVolumeHandle volume;
            ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume)) << row.name;
            row.run(volume, m_tree);
            EXPECT_TRUE(NtfsCloseVolume(volume)) << row.name;
            device.SaveToFile(m_image);
            ExpectEveryCheckerAgrees(row.name);
        }
    }

    void ExpectEveryCheckerAgrees(const char* after) {
        SCOPED_TRACE(after);
        ExpectEveryReaderAgrees(m_image, m_tree);
        EXPECT_TRUE(NtfsckAccepts(m_image));
    }

    void File(NtfsVolumeHandle volume, const std::u16string& path, size_t size) {
        m_tree[path] = Pattern(size, static_cast<uint32_t>(path.size() + size));
        WriteThroughHandles(volume, path, *m_tree[path]);
    }
    // Moves the file or directory the tree has at `from` and keeps the tree in
    // step (a row that replaces a file takes the replaced name out itself).
    bool Move(NtfsVolumeHandle volume, const std::u16string& from, const std::u16string& to, bool replace = false) {
        bool moved = false;
        if (!m_tree.at(from)) {
            NtfsDirHandle dir;
            if (NtfsOpenDir(W(from).c_str(), dir, volume)) moved = NtfsMoveDir(W(to).c_str(), replace, dir);
            if (dir.ptr) moved = NtfsCloseDir(dir) && moved;
        } else {
            NtfsFileHandle file;
            if (NtfsOpenFile(W(from).c_str(), file, volume)) moved = NtfsMoveFile(W(to).c_str(), replace, file);
            if (file.ptr) moved = NtfsCloseFile(file) && moved;
        }
        if (moved) MoveInTree(m_tree, from, to);
        return moved;
    }
    void Dir(NtfsVolumeHandle volume, const std::u16string& path) {
        NtfsDirHandle dir;
        ASSERT_TRUE(NtfsCreateDir(W(path).c_str(), dir, volume) && NtfsCloseDir(dir)) << Utf8(path);
        m_tree[path] = std::nullopt;
    }

    TempDir m_dir;
    std::string m_image;
    Tree m_tree;
};

TEST_F(Names, RenamesAndMovesKeepEveryReaderAgreed) {
    RunRows({
        {"fill",
         [&](NtfsVolumeHandle v, Tree&) {
             for (const char16_t* dir : {u"a", u"b", u"c", u"c\\d", u"big"}) Dir(v, dir);
             for (const char16_t* file : {u"a\\one.txt", u"a\\two", u"a\\a.txt", u"a\\src", u"a\\dst", u"a\\held",
                                          u"c\\d\\deep"})
                 File(v, file, 5000);
             for (int i = 0; i < 5000; ++i) {
                 char name[16];
                 std::snprintf(name, sizeof name, "f%05d", i);
                 File(v, u"big\\" + U16(name), 10);
             }
         }},
        {"same directory, other directory",
         [&](NtfsVolumeHandle v, Tree&) {
             EXPECT_TRUE(Move(v, u"a\\one.txt", u"a\\uno.txt") && Move(v, u"a\\uno.txt", u"b\\uno.txt"));
         }},
        {"across a 5000-entry B-tree",
         [&](NtfsVolumeHandle v, Tree&) {
             EXPECT_TRUE(Move(v, u"big\\f02500", u"big\\A first") && Move(v, u"big\\f00007", u"big\\zz last"));
             EXPECT_TRUE(Move(v, u"a\\two", u"big\\f02500x") && Move(v, u"big\\f04000", u"b\\from big"));
         }},
        {"case only",
         [&](NtfsVolumeHandle v, Tree&) {
             EXPECT_TRUE(Move(v, u"a\\a.txt", u"a\\A.txt"));
         }},
        {"replace existing",
         [&](NtfsVolumeHandle v, Tree& t) {
             LogCapture log;
             EXPECT_FALSE(Move(v, u"a\\src", u"a\\DST"));
             EXPECT_TRUE(log.Contains("Failed to move NTFS file to 'a\\DST': Entry DST is already exist"));
             EXPECT_FALSE(Move(v, u"a\\src", u"c", true));  // a directory is never replaced by a file
             t.erase(u"a\\dst");
             EXPECT_TRUE(Move(v, u"a\\src", u"a\\DST", true));
         }},
        {"directories, and into their own subtree",
         [&](NtfsVolumeHandle v, Tree&) {
             LogCapture log;
             EXPECT_FALSE(Move(v, u"c", u"c\\d\\c") || Move(v, u"c", u"c\\x") || Move(v, u"b", u"c", true));
             EXPECT_TRUE(
                 log.Contains("Failed to move NTFS directory to 'c\\d\\c': Cannot move directory c into itself"));
             EXPECT_TRUE(Move(v, u"c", u"b\\c moved") && Move(v, u"b\\c moved\\d", u"d at root"));
         }},
        {"open handle kept",
         [&](NtfsVolumeHandle v, Tree& t) {
             NtfsFileHandle held, other;
             ASSERT_TRUE(NtfsOpenFile(L"a\\held", held, v) && NtfsOpenFile(L"a\\held", other, v));
             EXPECT_TRUE(NtfsMoveFile(L"b\\c moved\\held 2", false, held));
             EXPECT_TRUE(NtfsWriteFile(0, "moved", 5, other));
             NtfsFileHandle again;
             EXPECT_FALSE(NtfsOpenFile(L"a\\held", again, v));
             EXPECT_TRUE(NtfsMoveFile(L"b\\held 3", false, other));  // the other handle sees the new name
             EXPECT_TRUE(NtfsCloseFile(held) && NtfsCloseFile(other));
             std::copy_n("moved", 5, t[u"a\\held"]->begin());
             MoveInTree(t, u"a\\held", u"b\\held 3");
         }},
        {"refusals change nothing",
         [&](NtfsVolumeHandle v, Tree&) {
             EXPECT_FALSE(Move(v, u"b\\uno.txt", u"$Extend\\x") || Move(v, u"b\\uno.txt", u"b\\a:b") ||
                          Move(v, u"b\\uno.txt", u"missing\\x"));
         }},
    });
}

TEST_F(Names, HardLinksMadeByUsAndByLibntfs3g) {
    RunRows({
        {"fill",
         [&](NtfsVolumeHandle v, Tree&) {
             for (const char16_t* dir : {u"a", u"b", u"many"}) Dir(v, dir);
             File(v, u"a\\file", 9000);
             File(v, u"a\\Long File Name.txt", 100);
         }},
        {"links made",
         [&](NtfsVolumeHandle v, Tree& t) {
             EXPECT_TRUE(Link(v, u"a\\file", u"b\\second"));
             EXPECT_TRUE(Link(v, u"b\\second", u"third"));
             EXPECT_EQ(LinkCount(v, u"third"), 3u);
             t[u"b\\second"] = t[u"third"] = t[u"a\\file"];
             LogCapture log;
             EXPECT_FALSE(Link(v, u"a\\file", u"B\\SECOND"));
             NtfsFileHandle dir;
             ASSERT_TRUE(NtfsOpenFile(L"a", dir, v));
             EXPECT_FALSE(NtfsCreateHardLink(L"a2", dir));
             EXPECT_TRUE(NtfsCloseFile(dir));
             EXPECT_TRUE(log.Contains("Failed to create hard link 'a2': Cannot make a hard link to directory a"));
         }},
        {"one name removed, the others stay",
         [&](NtfsVolumeHandle v, Tree& t) {
             EXPECT_TRUE(Unlink(v, u"a\\file"));
             t.erase(u"a\\file");
             EXPECT_EQ(LinkCount(v, u"third"), 2u);
             EXPECT_TRUE(Move(v, u"third", u"a\\third moved"));
         }},
        {"libntfs-3g adds and removes names of our file; a DOS alias set by it goes with a rename",
         [&](NtfsVolumeHandle v, Tree& t) {
             EXPECT_EQ(LinkCount(v, u"many\\by libntfs-3g"), 2u);
             t[u"a\\LONGFI~1.TXT"] = t[u"a\\Long File Name.txt"];
             t.erase(u"a\\Long File Name.txt");
             EXPECT_TRUE(Move(v, u"a\\LONGFI~1.TXT", u"a\\renamed"));
             EXPECT_TRUE(Unlink(v, u"b\\second"));
             t.erase(u"b\\second");
         },
         [&](Ntfs3gTree& writer, Tree& t) {
             writer.Link(u"b\\second", u"many\\by libntfs-3g");
             writer.Remove(u"a\\third moved");
             writer.SetDosName(u"a\\Long File Name.txt", "LONGFI~1.TXT");
             t[u"many\\by libntfs-3g"] = t[u"b\\second"];
             t.erase(u"a\\third moved");
         }},
        {"the last name takes the file",
         [&](NtfsVolumeHandle v, Tree& t) {
             EXPECT_EQ(LinkCount(v, u"many\\by libntfs-3g"), 1u);
             EXPECT_TRUE(Unlink(v, u"many\\by libntfs-3g"));
             t.erase(u"many\\by libntfs-3g");
         },
         [&](Ntfs3gTree& reader, Tree&) {
             for (const Ntfs3gDirEntry& entry : reader.Entries(u"a")) EXPECT_NE(entry.nameSpace, 2) << Utf8(entry.name);
         }},
        {"up to 1024 names",
         [&](NtfsVolumeHandle v, Tree& t) {
             File(v, u"many\\base", 3000);
             for (int i = 1; i < 1024; ++i)
                 ASSERT_TRUE(Link(v, u"many\\base", u"many\\link " + U16(std::to_string(i))));
             LogCapture log;
             EXPECT_FALSE(Link(v, u"many\\base", u"many\\one too many"));
             EXPECT_TRUE(log.Contains("Failed to create hard link 'many\\one too many': File base already has 1024 "
                                      "names, the most a file may have"));
             EXPECT_EQ(LinkCount(v, u"many\\link 77"), 1024u);
             // Back to a few names, so that the readers need not visit a thousand.
             for (int i = 3; i < 1024; ++i) ASSERT_TRUE(Unlink(v, u"many\\link " + U16(std::to_string(i))));
             t[u"many\\link 1"] = t[u"many\\link 2"] = t[u"many\\base"];
             EXPECT_EQ(LinkCount(v, u"many\\base"), 3u);
         }},
    });
}

// The filesystem family over libntfs-3g's link and rename: a handle held
// across its file's move writes on under the new name, then every reader.
// Its case changes, replaces, links and refusals run through the tool's
// ntfs3g engine (ToolNames), its failures through the fault workload.
TEST_F(Names, FilesystemFamilyHandleFollowsItsFile) {
    namespace fs = volkit;
    MemoryDevice device = MemoryDevice::FromFile(m_image);
    fs::filesystem::device dev = FamilyDeviceOf(device);
    fs::filesystem::handle volume;
    fs::file::handle held;
    ASSERT_TRUE(fs::filesystem::open(volume, dev) && fs::directory::create("d", volume));
    ASSERT_TRUE(fs::file::create(held, "held", volume) && fs::file::close(held));
    ASSERT_TRUE(fs::file::open(held, "held", volume) && fs::file::rename("held", "d/held 2", false, volume));
    EXPECT_TRUE(fs::file::setSize(held, 700) && fs::file::write(held, 0, "moved", 5) && fs::file::close(held));
    EXPECT_TRUE(fs::filesystem::close(volume));
    device.SaveToFile(m_image);
    Bytes moved(700, 0);
    std::copy_n("moved", 5, moved.begin());
    m_tree = {{u"d", std::nullopt}, {u"d\\held 2", moved}};
    ExpectEveryCheckerAgrees("filesystem family");
}

}  // namespace
