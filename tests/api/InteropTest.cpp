// The handle family against independent NTFS readers and writers: volumes
// filled by libntfs-3g read back byte for byte, and volumes written by us
// accepted by libntfs-3g, The Sleuth Kit and ntfsfix.
#include <gtest/gtest.h>

#include <memory>

#include "InteropSupport.h"
#include "Ntfs3gTree.h"
#include "api/Unicode.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volkit::test;

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

TEST_F(InteropRead, TheCommandLineToolsAgree) {
    MemoryDevice device = MemoryDevice::FromFile(s_dir->File("filled.img"));
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    for (const char16_t* path : {u"sizes\\s896", u"fragments\\frag2", u"unicode\\\U0001F600 smile \U00010348",
                                 u"deep\\level1\\level2\\level3\\level4\\level5\\level6\\level7\\level8\\level9\\bottom.txt"}) {
        SCOPED_TRACE(Utf8(path));
        std::u16string slashed = path;
        for (auto& unit : slashed)
            if (unit == u'\\') unit = u'/';
        CommandResult cat = RunCommand("LC_ALL=C.UTF-8 ntfscat " + ShellQuote(s_dir->File("filled.img")) + " " +
                                       ShellQuote("/" + Utf8(slashed)));
        ASSERT_EQ(cat.exitCode, 0) << cat.output;
        Bytes ours = ReadThroughHandles(volume, path);
        EXPECT_TRUE(Bytes(cat.output.begin(), cat.output.end()) == ours);
    }
    CommandResult ls = RunCommand("LC_ALL=C.UTF-8 ntfsls -p /unicode " + ShellQuote(s_dir->File("filled.img")));
    ASSERT_EQ(ls.exitCode, 0) << ls.output;
    for (const auto& [name, record] : ListThroughEngine(volume, u"unicode"))
        EXPECT_NE(ls.output.find(Utf8(name) + "\n"), std::string::npos) << Utf8(name);
    EXPECT_TRUE(NtfsCloseVolume(volume));
}
