// Indexes written by libntfs-3g load completely. (Big trees this engine
// saves are judged by the checkers in the index tree and rename tests.)
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "base/Unicode.h"
#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/Ntfs3gTree.h"

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

// A fresh 64 MiB image of its own.
class IndexInterop : public ::testing::TestWithParam<uint32_t> {
protected:
    std::string Image() const { return m_dir.File("v.img"); }

    TempDir m_dir;
};

}  // namespace

TEST_P(IndexInterop, LoadsEveryNameOfAnIndexLibntfs3gWrote) {
    MakeNtfsImage(Image(), WithClusters(GetParam(), 64ull << 20));
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
