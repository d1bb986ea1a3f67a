// The handle family against independent NTFS readers and writers: volumes
// filled by libntfs-3g read back byte for byte, and volumes written by us
// accepted by libntfs-3g, The Sleuth Kit and ntfsfix.
#include <gtest/gtest.h>

#include <memory>

#include "InteropSupport.h"
#include "support/Ntfs3gTree.h"
#include "base/Unicode.h"
#include "index/Directory.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

bool HaveCheckers() { return HaveProgram("mkntfs") && HaveProgram("fls") && HaveProgram("ntfsfix"); }

// Every directory of the tree lists the same names for libntfs-3g and for us,
// every file reads the same bytes through both, and both agree with `tree`.
void ExpectSameTree(NtfsVolumeHandle volume, Ntfs3gTree& reference, const Tree& tree) {
    std::set<std::u16string> directories = {u""};
    for (const auto& [path, contents] : tree)
        if (!contents) directories.insert(path);
    for (const auto& directory : directories) {
        SCOPED_TRACE(Utf8(directory));
        std::map<std::u16string, uint64_t> theirs = reference.List(directory);
        EXPECT_EQ(ListThroughEngine(volume, directory), theirs);
        if (directory.empty()) continue;  // the root also holds the system files
        std::set<std::u16string> names;
        for (const auto& item : theirs) names.insert(item.first);
        EXPECT_EQ(names, ChildrenOf(tree, directory));
    }
    for (const auto& [path, contents] : tree) {
        if (!contents) continue;
        SCOPED_TRACE(Utf8(path));
        Bytes ours = ReadThroughHandles(volume, path);
        EXPECT_TRUE(ours == *contents) << "size " << ours.size() << " expected " << contents->size();
        EXPECT_TRUE(reference.Read(path) == *contents);
    }
}

// The tree that the read test fills with libntfs-3g.
Tree FillWithNtfs3g(Ntfs3gTree& writer) {
    Tree tree;
    auto dir = [&](const std::u16string& path) {
        writer.MakeDirectory(path);
        tree[path] = std::nullopt;
    };
    auto file = [&](const std::u16string& path, Bytes contents) {
        writer.MakeFile(path, contents);
        tree[path] = std::move(contents);
    };

    std::u16string deep = u"deep";
    dir(deep);
    for (int level = 1; level <= 9; ++level) dir(deep = Child(deep, U16("level" + std::to_string(level))));
    file(Child(deep, u"bottom.txt"), Pattern(333, 1));

    dir(u"sizes");
    for (size_t size : {0, 1, 895, 896, 4096, 10 * 1024 * 1024 + 123})
        file(Child(u"sizes", U16("s" + std::to_string(size))), Pattern(size, static_cast<uint32_t>(size)));

    // Interleaved appends leave each file in many fragments.
    dir(u"fragments");
    for (int round = 0; round < 24; ++round) {
        for (int i = 0; i < 3; ++i) {
            std::u16string path = Child(u"fragments", U16("frag" + std::to_string(i)));
            Bytes chunk = Pattern(12288 + 512 * i, round * 3 + i);
            if (round == 0) {
                file(path, chunk);
            } else {
                writer.Append(path, chunk);
                tree[path]->insert(tree[path]->end(), chunk.begin(), chunk.end());
            }
        }
    }

    dir(u"unicode");
    for (const char16_t* name : {u"\u00e9t\u00e9.txt", u"\u65e5\u672c\u8a9e", u"\U0001F600 smile \U00010348",
                                 u"\u03a9mega \u0416"})
        file(Child(u"unicode", name), Pattern(100, name[0]));
    dir(u"unicode\\\u0416\u0443\u043a");
    file(u"unicode\\\u0416\u0443\u043a\\inside", Pattern(10, 3));

    // Names that differ only in case, each in its own directory.
    dir(u"caseA");
    dir(u"caseB");
    file(u"caseA\\Name.TXT", Pattern(20, 4));
    file(u"caseB\\name.txt", Pattern(30, 5));

    dir(u"links");
    file(u"links\\original", Pattern(5000, 6));
    writer.Link(u"links\\original", u"links\\second name");
    tree[u"links\\second name"] = tree[u"links\\original"];
    writer.Link(u"links\\original", u"sizes\\linked here");
    tree[u"sizes\\linked here"] = tree[u"links\\original"];

    dir(u"dos");
    file(u"dos\\A Long File Name.text", Pattern(77, 7));
    writer.SetDosName(u"dos\\A Long File Name.text", "ALONGF~1.TEX");

    dir(u"many");
    for (int i = 0; i < 5000; ++i) {
        std::string name = "entry " + std::to_string(i * 7919 % 100000) + (i % 3 ? ".dat" : " with a longer name");
        file(Child(u"many", U16(name)), Pattern(i % 50, i));
    }
    return tree;
}

class InteropRead : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveCheckers()) return;
        s_dir = new TempDir;
        ImageOptions options;
        options.size = 64ull << 20;
        MakeNtfsImage(s_dir->File("filled.img"), options);
        Ntfs3gTree writer(s_dir->File("filled.img"), false);
        s_tree = new Tree(FillWithNtfs3g(writer));
    }
    static void TearDownTestSuite() {
        delete s_tree;
        delete s_dir;
        s_tree = nullptr;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (!s_tree) GTEST_SKIP() << "mkntfs, fls or ntfsfix is missing";
    }

    static inline TempDir* s_dir = nullptr;
    static inline Tree* s_tree = nullptr;
};

}  // namespace

TEST_F(InteropRead, EveryDirectoryAndFileReadsAsLibntfs3gReadsIt) {
    MemoryDevice device = MemoryDevice::FromFile(s_dir->File("filled.img"));
    Ntfs3gTree reference(s_dir->File("filled.img"), true);
    LogCapture log;
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    ExpectSameTree(volume, reference, *s_tree);

    // One object behind two names, and names that only differ in case found either way.
    EXPECT_EQ(ListThroughEngine(volume, u"links").at(u"second name"),
              ListThroughEngine(volume, u"sizes").at(u"linked here"));
    EXPECT_EQ(ReadThroughHandles(volume, u"CASEA\\name.txt"), *s_tree->at(u"caseA\\Name.TXT"));
    EXPECT_EQ(ReadThroughHandles(volume, u"dos\\alongf~1.tex"), *s_tree->at(u"dos\\A Long File Name.text"));
    EXPECT_TRUE(NtfsCloseVolume(volume));
    EXPECT_EQ(log.Errors(), std::vector<std::string>{});
}

TEST_F(InteropRead, TheCheckFindsNothingWrong) {
    MemoryDevice device = MemoryDevice::FromFile(s_dir->File("filled.img"));
    CheckOutcome outcome = CheckVolume(device.Api());
    EXPECT_TRUE(outcome.Clean()) << outcome.Describe();
    EXPECT_GT(outcome.summary.indexEntries, 5000u);
}

namespace {

struct Geometry {
    uint32_t clusterSize;
    uint32_t sectorSize;
};

// Times and attributes that the write test stamps on two objects.
const NtfsAttributesAndTime kFileStamp{0x01D5000000000011ull, 0x01D5000000000022ull, 0x01D5000000000033ull,
                                       0x21 | 0x40000};
const NtfsAttributesAndTime kDirStamp{0x01C0000000000001ull, 0x01C0000000000002ull, 0x01C0000000000003ull, 0x2};

class InteropWrite : public ::testing::TestWithParam<Geometry> {
protected:
    void SetUp() override {
        if (!HaveCheckers()) GTEST_SKIP() << "mkntfs, fls or ntfsfix is missing";
        ImageOptions options;
        options.size = 48ull << 20;
        options.clusterSize = GetParam().clusterSize;
        options.sectorSize = GetParam().sectorSize;
        MakeNtfsImage(m_dir.File("ours.img"), options);
        m_device = MemoryDevice::FromFile(m_dir.File("ours.img"));
    }

    std::string Image() const { return m_dir.File("ours.img"); }
    void Save() { m_device.SaveToFile(Image()); }
    void Load() { m_device = MemoryDevice::FromFile(Image()); }

    // Builds a tree through the handle family, with everything it offers.
    Tree WriteThroughHandleFamily(NtfsVolumeHandle volume) {
        Tree tree;
        auto dir = [&](const std::u16string& path) {
            NtfsDirHandle handle;
            std::wstring wide = volcore::Utf16ToWide(path);
            ASSERT_TRUE(NtfsCreateDir(wide.c_str(), handle, volume)) << Utf8(path);
            ASSERT_TRUE(NtfsCloseDir(handle));
            tree[path] = std::nullopt;
        };
        auto file = [&](const std::u16string& path, const Bytes& contents) {
            WriteThroughHandles(volume, path, contents);
            tree[path] = contents;
        };

        std::u16string deep = u"w";
        dir(deep);
        for (int level = 1; level <= 9; ++level) dir(deep = Child(deep, U16("n" + std::to_string(level))));
        file(Child(deep, u"leaf"), Pattern(4097, 1));

        dir(u"w\\sizes");
        for (size_t size : {0, 1, 895, 896, 4096, 70000, 3 * 1024 * 1024 + 5})
            file(Child(u"w\\sizes", U16("s" + std::to_string(size))), Pattern(size, static_cast<uint32_t>(size)));

        // Grown in place in three steps, then shrunk.
        Bytes grown = Pattern(200000, 9);
        NtfsFileHandle handle;
        EXPECT_TRUE(NtfsCreateFile(L"w\\grow", handle, volume));
        for (size_t size : {10, 5000, 200000}) {
            EXPECT_TRUE(SetFileSize(size, handle));
            EXPECT_TRUE(NtfsWriteFile(0, grown.data(), static_cast<unsigned>(size), handle));
        }
        EXPECT_TRUE(SetFileSize(777, handle));
        EXPECT_TRUE(NtfsCloseFile(handle));
        tree[u"w\\grow"] = Bytes(grown.begin(), grown.begin() + 777);

        dir(u"w\\unicode \u00e9");
        for (const char16_t* name : {u"\U0001F600\U0001F4A9", u"\u65e5\u672c\u8a9e.txt", u"\u00c5ngstr\u00f6m"})
            file(Child(u"w\\unicode \u00e9", name), Pattern(50, name[0]));

        // Enough names for a chain of index blocks; every seventh goes again.
        dir(u"w\\many");
        for (int i = 0; i < 600; ++i) {
            std::u16string path = Child(u"w\\many", U16("name " + std::to_string(i * 37 % 1000) + std::string(i % 40, 'x')));
            file(path, Pattern(i % 3 ? 0 : 20, i));
            if (i % 7 == 0) {
                NtfsFileHandle doomed;
                EXPECT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(path).c_str(), doomed, volume));
                EXPECT_TRUE(NtfsDeleteFile(doomed));
                tree.erase(path);
            }
        }

        NtfsFileHandle stampedFile;
        NtfsDirHandle stampedDir;
        EXPECT_TRUE(NtfsOpenFile(L"w\\sizes\\s895", stampedFile, volume));
        EXPECT_TRUE(SetFileAttributesAndTime(kFileStamp, stampedFile));
        EXPECT_TRUE(NtfsCloseFile(stampedFile));
        EXPECT_TRUE(NtfsOpenDir(L"w\\n1", stampedDir, volume));
        EXPECT_TRUE(SetDirAttributesAndTime(kDirStamp, stampedDir));
        EXPECT_TRUE(NtfsCloseDir(stampedDir));
        return tree;
    }

    void ExpectIndependentCheckersAgree(const Tree& tree) {
        CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(Image()));
        EXPECT_EQ(fix.exitCode, 0) << fix.output;
        EXPECT_EQ(fix.output.find("rror"), std::string::npos) << fix.output;

        std::set<std::u16string> expected;
        for (const auto& item : tree) expected.insert(item.first);
        EXPECT_EQ(TskPaths(Image()), expected);
        CommandResult stat = RunCommand("istat " + ShellQuote(Image()) + " " + std::to_string(RecordOf(u"w\\sizes\\s895")));
        EXPECT_EQ(stat.exitCode, 0) << stat.output;
        EXPECT_NE(stat.output.find("Read Only"), std::string::npos) << stat.output;
        CommandResult cat = RunCommand("icat " + ShellQuote(Image()) + " " + std::to_string(RecordOf(u"w\\grow")));
        EXPECT_TRUE(Bytes(cat.output.begin(), cat.output.end()) == *tree.at(u"w\\grow"));

        Ntfs3gTree reader(Image(), true);
        Ntfs3gStat file = reader.Stat(u"w\\sizes\\s895");
        EXPECT_EQ(file.creationTime, kFileStamp.creationTime);
        EXPECT_EQ(file.modificationTime, kFileStamp.lastWriteTime);
        EXPECT_EQ(file.accessTime, kFileStamp.lastAccessTime);
        EXPECT_EQ(file.attributes, 0x21u);
        Ntfs3gStat dir = reader.Stat(u"w\\n1");
        EXPECT_TRUE(dir.directory);
        EXPECT_EQ(dir.creationTime, kDirStamp.creationTime);
        EXPECT_EQ(dir.attributes, 0x10000002u);
    }

    uint64_t RecordOf(const std::u16string& path) {
        Ntfs3gTree reader(Image(), true);
        volcore::SParentAndName split = volcore::SplitLastComponent(path);
        return reader.List(split.parentPath).at(split.name);
    }

    TempDir m_dir;
    MemoryDevice m_device;
};

}  // namespace

TEST_P(InteropWrite, WhatWeWriteOthersReadAndWeReadWhatOthersChange) {
    LogCapture log;
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(m_device.Api(), volume));
    Tree tree = WriteThroughHandleFamily(volume);
    ASSERT_TRUE(NtfsCloseVolume(volume));
    ASSERT_EQ(log.Errors(), std::vector<std::string>{});
    Save();

    ExpectIndependentCheckersAgree(tree);
    {
        Ntfs3gTree reader(Image(), true);
        ASSERT_TRUE(NtfsOpenVolume(m_device.Api(), volume));
        ExpectSameTree(volume, reader, tree);
        ASSERT_TRUE(NtfsCloseVolume(volume));
    }

    // libntfs-3g changes our volume: a new file, an append, a removal, and a
    // small file that lives inside its record.
    {
        Ntfs3gTree writer(Image(), false);
        Bytes theirs = Pattern(12345, 77);
        writer.MakeFile(u"w\\from libntfs-3g", theirs);
        tree[u"w\\from libntfs-3g"] = theirs;
        Bytes more = Pattern(5000, 78);
        writer.Append(u"w\\sizes\\s4096", more);
        tree[u"w\\sizes\\s4096"]->insert(tree[u"w\\sizes\\s4096"]->end(), more.begin(), more.end());
        writer.Remove(u"w\\grow");
        tree.erase(u"w\\grow");
        writer.MakeFile(u"w\\tiny", Pattern(10, 79));
        writer.MakeDirectory(u"w\\their dir");
        tree[u"w\\their dir"] = std::nullopt;
        writer.MakeFile(u"w\\many\\theirs", Pattern(10, 82));
        tree[u"w\\many\\theirs"] = Pattern(10, 82);
        writer.Remove(u"w\\many\\name 37x");
        tree.erase(u"w\\many\\name 37x");
    }
    Load();
    ASSERT_TRUE(NtfsOpenVolume(m_device.Api(), volume));
    {
        Ntfs3gTree reader(Image(), true);
        tree[u"w\\tiny"] = Pattern(10, 79);
        ExpectSameTree(volume, reader, tree);
    }
    // Their resident file grows out of its record through us; we add to their directory.
    Bytes tiny = Pattern(100000, 80);
    NtfsFileHandle handle;
    ASSERT_TRUE(NtfsOpenFile(L"w\\tiny", handle, volume));
    ASSERT_TRUE(SetFileSize(tiny.size(), handle));
    ASSERT_TRUE(NtfsWriteFile(0, tiny.data(), static_cast<unsigned>(tiny.size()), handle));
    ASSERT_TRUE(NtfsCloseFile(handle));
    tree[u"w\\tiny"] = tiny;
    WriteThroughHandles(volume, u"w\\their dir\\ours", Pattern(3000, 81));
    tree[u"w\\their dir\\ours"] = Pattern(3000, 81);
    ASSERT_TRUE(NtfsCloseVolume(volume));
    Save();

    CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(Image()));
    EXPECT_EQ(fix.exitCode, 0) << fix.output;
    Ntfs3gTree reader(Image(), true);
    EXPECT_TRUE(reader.Read(u"w\\tiny") == tiny);
    EXPECT_TRUE(reader.Read(u"w\\their dir\\ours") == Pattern(3000, 81));
    std::set<std::u16string> expected;
    for (const auto& item : tree) expected.insert(item.first);
    EXPECT_EQ(TskPaths(Image()), expected);
    EXPECT_EQ(log.Errors(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(ClusterAndSectorSizes, InteropWrite,
                         ::testing::Values(Geometry{512, 512}, Geometry{4096, 512}, Geometry{65536, 512},
                                           Geometry{4096, 4096}),
                         [](const auto& info) {
                             return "c" + std::to_string(info.param.clusterSize) + "_s" +
                                    std::to_string(info.param.sectorSize);
                         });
