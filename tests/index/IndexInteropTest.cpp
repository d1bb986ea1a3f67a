// Indexes written by libntfs-3g load completely, and what this engine saves
// is read back by libntfs-3g and ntfsls.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "api/Unicode.h"
#include "entries/FileEntry.h"
#include "index/Index.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/Ntfs3gImage.h"
#include "volume/Volume.h"

using namespace volcore;
using namespace volkit::test;

namespace {

constexpr int kFileCount = 1500;

std::u16string FileName(int i) {
    std::u16string name = Utf8ToUtf16("Entry " + std::to_string(i) + " of the big directory.txt");
    if (i % 7 == 0) name = u"\u0424\u0430\u0439\u043b " + name;  // upcased through the table, not ASCII rules
    return name;
}

std::u16string Upper(const UpCaseTable& table, std::u16string name) {
    for (auto& unit : name) unit = ToUpper(table, unit);
    return name;
}

// Names in an ntfsls listing, without its "." line.
size_t CountListedNames(const std::string& text) {
    std::istringstream lines(text);
    size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line != "." && line != "..") ++count;
    return count;
}

using NameSet = std::set<std::tuple<std::u16string, uint64_t, int>>;

NameSet AsSet(const std::vector<Ntfs3gDirEntry>& entries) {
    NameSet names;
    for (const auto& entry : entries) names.emplace(entry.name, RecordNumber(entry.reference), entry.nameSpace);
    return names;
}

NameSet AsSet(const IndexEntryMap& entries) {
    NameSet names;
    for (const auto& [name, value] : entries) names.emplace(name, RecordNumber(value.fileReference), value.nameSpace);
    return names;
}

class IndexInterop : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        ImageOptions options;
        options.size = 64ull << 20;
        options.clusterSize = GetParam();
        MakeNtfsImage(Image(), options);
        {
            Ntfs3gImage image(Image());
            m_big = image.CreateDirectory("/", u"big");
            image.CreateDirectory("/", u"other");
            for (int i = 0; i < kFileCount; ++i) m_references[FileName(i)] = image.CreateFile("/big", FileName(i));
        }
        // libntfs-3g sees its own changes to a directory only after a remount.
        {
            Ntfs3gImage image(Image());
            image.SetDosName("/big/" + Utf16ToUtf8(FileName(3)), "ENTRY3~1.TXT");
        }
        {
            Ntfs3gImage image(Image());
            image.Link("/big/" + Utf16ToUtf8(FileName(5)), "/big", u"hard link");
            image.Link("/big/" + Utf16ToUtf8(FileName(5)), "/other", u"hard link elsewhere");
        }
    }
    std::string Image() const { return m_dir.File("v.img"); }
    std::vector<Ntfs3gDirEntry> ListWithNtfs3g(const std::string& directory) {
        Ntfs3gImage image(Image(), true);
        return image.List(directory);
    }

    TempDir m_dir;
    FileReference m_big = 0;
    std::map<std::u16string, uint64_t> m_references;
};

}  // namespace

TEST_P(IndexInterop, LoadsEveryNameOfAMultiLevelIndexAndOfTheRoot) {
    const std::vector<Ntfs3gDirEntry> listed = ListWithNtfs3g("/big");
    ASSERT_EQ(listed.size(), kFileCount + 2u);  // the DOS alias and the hard link
    CommandResult ntfsls = RunCommand("ntfsls -p /big " + ShellQuote(Image()));
    ASSERT_EQ(ntfsls.exitCode, 0) << ntfsls.output;

    EngineVolume engine(Image());
    const UpCaseTable& upcase = engine.Volume().GetUpCase();
    FileEntryPtr big = CFileEntry::Load(m_big, engine.Volume());
    CIndex index(big, u"$I30", upcase);
    EXPECT_TRUE(index.IsLarge());
    EXPECT_FALSE(index.IsDirty());
    EXPECT_EQ(AsSet(index.GetEntries()), AsSet(listed));
    // ntfsls leaves the DOS alias out.
    EXPECT_EQ(CountListedNames(ntfsls.output), index.GetEntries().size() - 1);

    for (const auto& [name, reference] : m_references) {
        SIndexEntryValue value;
        ASSERT_TRUE(index.FindEntry(Upper(upcase, name), value)) << Utf16ToUtf8(name);
        EXPECT_EQ(value.fileReference, reference);
        EXPECT_TRUE(SameRecord(value.parentReference, m_big));
    }
    EXPECT_EQ(index.GetEntry(u"entry3~1.txt").nameSpace, FileNameValue::NameSpaceDos);
    EXPECT_EQ(index.GetEntry(u"HARD LINK").fileReference, m_references[FileName(5)]);

    FileEntryPtr root = CFileEntry::Load(MakeReference(kRootRecord, kRootRecord), engine.Volume());
    CIndex rootIndex(root, u"$I30", upcase);
    NameSet rootNames = AsSet(rootIndex.GetEntries());
    rootNames.erase({u".", kRootRecord, FileNameValue::NameSpaceWin32AndDos});
    EXPECT_EQ(rootNames, AsSet(ListWithNtfs3g("/")));
    SIndexEntryValue mft;
    EXPECT_TRUE(rootIndex.FindEntry(u"$mft", mft));
    EXPECT_EQ(RecordNumber(mft.fileReference), kMftRecord);
}

TEST_P(IndexInterop, SavedBlockChainIsReadByLibntfs3g) {
    const NameSet before = AsSet(ListWithNtfs3g("/big"));
    {
        EngineVolume engine(Image());
        FileEntryPtr big = CFileEntry::Load(m_big, engine.Volume());
        CIndex index(big, u"$I30", engine.Volume().GetUpCase());
        // Any change makes the whole index rewritten as a chain of blocks.
        SIndexEntryValue value = index.GetEntry(FileName(0));
        index.RemoveEntry(FileName(0));
        index.AddEntry(FileName(0), value);
        index.Save();
        big->Save();
        engine.Close();
    }
    EXPECT_EQ(AsSet(ListWithNtfs3g("/big")), before);
    {
        Ntfs3gImage image(Image(), true);
        for (const auto& [name, reference] : m_references) {
            std::optional<uint64_t> found = image.Lookup("/big", name);
            ASSERT_TRUE(found.has_value()) << Utf16ToUtf8(name);
            EXPECT_EQ(RecordNumber(*found), RecordNumber(reference));
        }
        EXPECT_TRUE(image.Lookup("/big", u"ENTRY3~1.TXT").has_value());
        EXPECT_TRUE(image.Lookup("/other", u"hard link elsewhere").has_value());
    }
    CommandResult ntfsls = RunCommand("ntfsls -p /big " + ShellQuote(Image()));
    ASSERT_EQ(ntfsls.exitCode, 0) << ntfsls.output;
    EXPECT_EQ(CountListedNames(ntfsls.output), kFileCount + 1u);
    if (HaveProgram("fls")) {
        // The Sleuth Kit walks the chain with its own reader.
        CommandResult fls = RunCommand("fls " + ShellQuote(Image()) + " " + std::to_string(RecordNumber(m_big)));
        ASSERT_EQ(fls.exitCode, 0) << fls.output;
        for (const auto& [name, reference] : m_references)
            ASSERT_NE(fls.output.find(":\t" + Utf16ToUtf8(name) + "\n"), std::string::npos) << Utf16ToUtf8(name);
    }

    // And the engine reads its own chain back unchanged, DOS alias included.
    EngineVolume engine(Image());
    FileEntryPtr big = CFileEntry::Load(m_big, engine.Volume());
    CIndex index(big, u"$I30", engine.Volume().GetUpCase());
    EXPECT_EQ(AsSet(index.GetEntries()), before);
}

// Child pointers count clusters when a block spans several, so smaller
// clusters than blocks check that the chain is still followed correctly.
INSTANTIATE_TEST_SUITE_P(ClusterSizes, IndexInterop, ::testing::Values(4096u, 1024u),
                         [](const auto& info) { return "Clusters" + std::to_string(info.param); });
