// Indexes written by libntfs-3g load completely; a big directory this engine
// saved is changed by libntfs-3g and read by everyone.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "base/Unicode.h"
#include "entries/File.h"
#include "index/Directory.h"
#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/Ntfs3gTree.h"
#include "support/Oracles.h"

using namespace volcore;
using namespace volcore::test;

namespace {

using NameSet = std::set<std::tuple<std::u16string, uint64_t, int>>;

NameSet AsSet(const std::vector<Ntfs3gDirEntry>& entries) {
    NameSet names;
    for (const auto& entry : entries) names.emplace(entry.name, RecordNumber(entry.reference), entry.nameSpace);
    return names;
}

NameSet AsSet(const IndexListing& entries) {
    NameSet names;
    for (const auto& [name, value] : entries) names.emplace(name, RecordNumber(value.fileReference), value.nameSpace);
    return names;
}

// Names `fls` lists in the directory `path`, without the deleted ones it recovers.
std::set<std::u16string> FlsNames(const std::string& image, const std::u16string& path) {
    std::set<std::u16string> names;
    for (const TskEntry& entry : TskListing(image, true))
        if (entry.path.rfind(path + u"\\", 0) == 0) names.insert(entry.path.substr(path.size() + 1));
    return names;
}

// A fresh 64 MiB image of its own.
class InteropImage {
protected:
    std::string Image() const { return m_dir.File("v.img"); }
    void MakeImage(uint32_t clusterSize) { MakeNtfsImage(Image(), WithClusters(clusterSize, 64ull << 20)); }

    TempDir m_dir;
};

class IndexInterop : public InteropImage, public ::testing::TestWithParam<uint32_t> {};
class IndexChanges : public InteropImage, public ::testing::Test {};

}  // namespace

TEST_P(IndexInterop, LoadsEveryNameOfAnIndexLibntfs3gWrote) {
    MakeImage(GetParam());
    std::map<std::u16string, uint64_t> references;
    FileReference big = 0;
    auto fileName = [](int i) {
        std::u16string name = Utf8ToUtf16("Entry " + std::to_string(i) + " of the big directory.txt");
        return i % 7 ? name : u"\u0424\u0430\u0439\u043b " + name;  // upcased through the table, not ASCII rules
    };
    {
        Ntfs3gTree image(Image());
        big = image.MakeDirectory(u"big");
        image.MakeDirectory(u"other");
        for (int i = 0; i < 1500; ++i) references[fileName(i)] = image.MakeFile(u"big\\" + fileName(i));
    }
    std::vector<Ntfs3gDirEntry> listed = Ntfs3gTree(Image(), true).Entries(u"big");

    EngineVolume engine(Image());
    const UpCaseTable& upcase = engine.Volume().GetUpCase();
    CIndex index(CFileEntry::Load(big, engine.Volume()), u"$I30", upcase);
    EXPECT_TRUE(index.IsLarge());
    EXPECT_EQ(AsSet(ListEntries(index)), AsSet(listed));
    for (const auto& [name, reference] : references) {
        std::u16string upper = name;
        for (auto& unit : upper) unit = ToUpper(upcase, unit);
        EXPECT_EQ(index.GetEntry(upper).fileReference, reference) << Utf16ToUtf8(name);
    }
    SIndexShape shape = index.Inspect();
    EXPECT_TRUE(shape.ordered && shape.balanced);
    EXPECT_EQ(shape.blocks, shape.blocksMarked);
}

// Child pointers count clusters when a block spans several, 512-byte units
// when it is smaller than one.
INSTANTIATE_TEST_SUITE_P(ClusterSizes, IndexInterop, ::testing::Values(4096u, 1024u, 65536u),
                         [](const auto& info) { return "Clusters" + std::to_string(info.param); });

TEST_F(IndexChanges, ABigDirectoryWeSavedIsChangedByLibntfs3gAndReadByEveryone) {
    MakeImage(4096);
    std::set<std::u16string> expected;
    FileReference big = 0;
    {
        EngineVolume engine(Image(), ELoadDepth::Full);
        big = CDirectory::CreateByPath(engine.Volume(), u"big")->GetReference();
        for (int i = 0; i < 5000; ++i) {
            std::u16string name = Utf8ToUtf16("file " + std::to_string(i * 7919 % 100000) + ".dat");
            CFile::CreateByPath(engine.Volume(), u"big\\" + name);
            expected.insert(name);
        }
        engine.Close();
    }
    auto changeAndRead = [&](const std::string& round) {
        {
            Ntfs3gTree image(Image());
            for (int i = 0; i < 20; ++i) expected.insert(Utf8ToUtf16(round + std::to_string(i)));
            for (int i = 0; i < 20; ++i) image.MakeFile(u"big\\" + Utf8ToUtf16(round + std::to_string(i)));
            for (int i = 0; i < 20; ++i) {
                auto victim = std::next(expected.begin(), static_cast<long>(expected.size() / 21 * i));
                image.Remove(u"big\\" + *victim);
                expected.erase(victim);
            }
        }
        if (HaveProgram("fls")) {
            EXPECT_EQ(FlsNames(Image(), u"big"), expected);
        }
        EXPECT_TRUE(NtfsfixAccepts(Image()));
        EngineVolume engine(Image(), ELoadDepth::Full);
        CIndex& index = CDirectory::Open(engine.Volume(), big)->GetIndex();
        for (const auto& name : expected) EXPECT_NO_THROW(engine.Volume().ResolvePath(u"big\\" + name));
        SIndexShape shape = index.Inspect();
        EXPECT_EQ(shape.entries, expected.size());
        EXPECT_TRUE(shape.ordered && shape.balanced);
        EXPECT_EQ(shape.blocks, shape.blocksMarked);
    };
    changeAndRead("added by libntfs-3g ");
    {
        EngineVolume engine(Image(), ELoadDepth::Full);
        while (expected.size() > 300) {
            auto victim = std::next(expected.begin(), static_cast<long>(expected.size() / 2));
            CFile::OpenByPath(engine.Volume(), u"big\\" + *victim)->Delete();
            expected.erase(victim);
        }
        engine.Close();
    }
    changeAndRead("added again ");
}
