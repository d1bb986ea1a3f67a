// Entry map rules, damaged indexes, and the report of an unsaved index.
#include <gtest/gtest.h>

#include <stdexcept>

#include "api/Bytes.h"
#include "index/IndexFormat.h"
#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "volume/Volume.h"

using namespace volcore;
using namespace volkit::test;

namespace {

class IndexRules : public ::testing::Test {
protected:
    void SetUp() override {
        MakeNtfsImage(m_dir.File("v.img"));
        m_volume = std::make_unique<EngineVolume>(m_dir.File("v.img"));
        m_entry = MakeDirectoryEntry(Volume());
    }
    CVolume& Volume() { return m_volume->Volume(); }
    const UpCaseTable& UpCase() { return Volume().GetUpCase(); }
    uint64_t Record() const { return RecordNumber(m_entry->GetReference()); }
    AttributePtr Root() { return m_entry->GetAttribute(AttrType::IndexRoot, u"$I30"); }
    void WriteRoot(const std::vector<uint8_t>& value) {
        Root()->SetSize(value.size());
        Root()->WriteData(0, value.data(), static_cast<uint32_t>(value.size()));
    }
    std::string LoadFailure() {
        try {
            CIndex index(m_entry, u"$I30", UpCase());
        } catch (const std::exception& e) {
            return e.what();
        }
        return "loaded";
    }

    TempDir m_dir;
    std::unique_ptr<EngineVolume> m_volume;
    FileEntryPtr m_entry;
};

template <typename F>
std::string FailureOf(F&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no failure";
}

}  // namespace

TEST_F(IndexRules, NamesAreOneKeyIgnoringCase) {
    CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
    index.AddEntry(u"abc", ValueFor(1));
    index.AddEntry(u"\u0436\u0443\u043a", ValueFor(2));
    index.Save();
    ASSERT_FALSE(index.IsDirty());

    EXPECT_EQ(FailureOf([&] { index.AddEntry(u"ABC", ValueFor(3)); }), "Entry ABC is already exist");
    EXPECT_EQ(FailureOf([&] { index.AddEntry(u"\u0416\u0423\u041a", ValueFor(3)); }),
              "Entry \u0416\u0423\u041a is already exist");
    EXPECT_FALSE(index.IsDirty());
    EXPECT_EQ(FailureOf([&] { index.GetEntry(u"missing"); }), "Entry missing doesn't exist");
    EXPECT_EQ(FailureOf([&] { index.UpdateEntry(u"missing", ValueFor(4)); }), "Entry missing doesn't exist");
    EXPECT_FALSE(index.IsDirty());

    index.UpdateEntry(u"ABC", ValueFor(5));
    EXPECT_TRUE(index.IsDirty());
    ASSERT_EQ(index.GetEntries().size(), 2u);
    EXPECT_EQ(index.GetEntries().begin()->first, u"abc");  // the key stays as inserted
    EXPECT_EQ(index.GetEntry(u"aBc").fileReference, 5u);

    index.Save();
    index.RemoveEntry(u"not there");
    EXPECT_TRUE(index.IsDirty());
    index.Save();
    SIndexEntryValue value;
    EXPECT_FALSE(index.FindEntry(u"not there", value));
    EXPECT_TRUE(index.FindEntry(u"ABC", value));
    EXPECT_EQ(value.fileReference, 5u);
}

TEST_F(IndexRules, DirtyIndexIsReportedNotRaisedOnDestruction) {
    LogCapture log;
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        index.AddEntry(u"x", ValueFor(1));
    }
    std::string expected = "Destroying dirty index $I30 (file entry " + std::to_string(Record()) + ")";
    EXPECT_TRUE(log.Contains(expected)) << expected;

    log.Clear();
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        index.Save();
    }
    EXPECT_TRUE(log.Errors().empty());
}

TEST_F(IndexRules, NameTooLongFailsTheSaveAndKeepsTheIndexDirty) {
    CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
    index.AddEntry(std::u16string(256, u'n'), ValueFor(1));
    EXPECT_EQ(FailureOf([&] { index.Save(); }), "value: 256");
    EXPECT_TRUE(index.IsDirty());
    EXPECT_FALSE(index.IsLarge());
    index.RemoveEntry(std::u16string(256, u'N'));
    index.AddEntry(std::u16string(255, u'n'), ValueFor(1));
    index.Save();
    EXPECT_FALSE(index.IsDirty());
}

TEST_F(IndexRules, UnusableBlockSizesAreRefused) {
    std::string record = std::to_string(Record());
    EXPECT_EQ(FailureOf([&] { CIndex index(m_entry, u"$I30", UpCase(), 512, 1); }),
              "Index block size 512 cannot hold the longest entry, file entry " + record);
    EXPECT_EQ(FailureOf([&] { CIndex index(m_entry, u"$I30", UpCase(), 0, 1); }),
              "Invalid index block size 0, file entry " + record);
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        index.AddEntry(u"kept", ValueFor(1));
        index.Save();
    }
    const std::vector<uint8_t> good = RootValue(*m_entry);
    for (uint32_t blockSize : {0u, 1000u, 128u * 1024, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bad = good;
        CByteWriter(bad).U32(IndexRoot::BlockSize, blockSize);
        WriteRoot(bad);
        EXPECT_EQ(LoadFailure(), "Corrupt index block size " + std::to_string(blockSize) + ", file entry " + record);
    }
    std::vector<uint8_t> small = good;
    CByteWriter(small).U32(IndexRoot::BlockSize, 512);
    WriteRoot(small);
    EXPECT_EQ(LoadFailure(), "Index block size 512 cannot hold the longest entry, file entry " + record);
    WriteRoot(good);
    EXPECT_EQ(LoadFailure(), "loaded");
}

TEST_F(IndexRules, DamagedEntriesEndTheWalkWithAFailure) {
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        index.AddEntry(u"first", ValueFor(1));
        index.AddEntry(u"second", ValueFor(2));
        index.Save();
    }
    const std::vector<uint8_t> good = RootValue(*m_entry);
    const size_t firstEntry = IndexRoot::HeaderSize;

    std::vector<uint8_t> zeroLength = good;
    CByteWriter(zeroLength).U16(firstEntry + IndexEntry::Length, 0);
    WriteRoot(zeroLength);
    EXPECT_EQ(LoadFailure(), "Corrupt index entry at offset 32: length 0");

    std::vector<uint8_t> pastTheEnd = good;
    CByteWriter(pastTheEnd).U16(firstEntry + IndexEntry::Length, 0xFFF8);
    WriteRoot(pastTheEnd);
    EXPECT_EQ(LoadFailure().rfind("Invalid offset: 32", 0), 0u);

    std::vector<uint8_t> longName = good;
    CByteWriter(longName).U8(firstEntry + IndexEntry::NameLength, 200);
    WriteRoot(longName);
    EXPECT_EQ(LoadFailure().rfind("Invalid offset", 0), 0u);

    // No end entry: the walk stops at the end of the value.
    std::vector<uint8_t> noEnd(good.begin(), good.end() - IndexEntry::SmallEndLength);
    WriteRoot(noEnd);
    EXPECT_EQ(LoadFailure(), "loaded");

    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 0x18);
    WriteRoot(headerOnly);
    EXPECT_EQ(LoadFailure().rfind("Invalid offset", 0), 0u);
}

TEST_F(IndexRules, OfTwoNamesEqualIgnoringCaseTheFirstReadWins) {
    std::vector<uint8_t> root(IndexRoot::HeaderSize + 2 * IndexEntry::LengthForName(3) + IndexEntry::SmallEndLength);
    CByteWriter out(root);
    WriteRootHeader(out, 4096, 1, static_cast<uint32_t>(root.size() - IndexRoot::Header), 0);
    size_t position = IndexRoot::HeaderSize;
    position += WriteIndexEntry(out, position, u"abc", ValueFor(100));
    position += WriteIndexEntry(out, position, u"ABC", ValueFor(200));
    WriteEndEntry(out, position);
    WriteRoot(root);

    CIndex index(m_entry, u"$I30", UpCase());
    ASSERT_EQ(index.GetEntries().size(), 1u);
    EXPECT_EQ(index.GetEntries().begin()->first, u"abc");
    EXPECT_EQ(index.GetEntry(u"ABC").fileReference, 100u);
}

TEST_F(IndexRules, OnlyBlocksMarkedInUseAreReadAndEachMustBeAnIndxBlock) {
    const int count = 100;  // three blocks of at most 35 names
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        for (int i = 0; i < count; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(i + 1));
        index.Save();
        ASSERT_TRUE(index.IsLarge());
    }
    AttributePtr allocation = m_entry->GetAttribute(AttrType::IndexAllocation, u"$I30");
    AttributePtr bitmap = m_entry->GetAttribute(AttrType::Bitmap, u"$I30");
    ASSERT_EQ(allocation->GetSize(), 3u * 4096);
    const SLcnAndLength firstRun = allocation->GetRuns().begin()->second;
    ASSERT_GE(firstRun.length * Volume().GetClusterSize(), 2u * 4096);
    uint8_t& block1Signature = m_volume->Device().Bytes()[firstRun.lcn * Volume().GetClusterSize() + 4096];

    // A block whose bit is clear is never read, whatever it holds.
    uint8_t bits = 0;
    bitmap->ReadData(0, &bits, 1);
    EXPECT_EQ(bits, 0x07);
    uint8_t withoutBlock1 = 0x05;
    bitmap->WriteData(0, &withoutBlock1, 1);
    block1Signature = 'X';
    {
        CIndex index(m_entry, u"$I30", UpCase());
        EXPECT_EQ(index.GetEntries().size(), static_cast<size_t>(count - 35));
        SIndexEntryValue value;
        EXPECT_FALSE(index.FindEntry(TwelveUnitName(35), value));
        EXPECT_TRUE(index.FindEntry(TwelveUnitName(99), value));
    }

    bitmap->WriteData(0, &bits, 1);
    EXPECT_EQ(LoadFailure(), "Corrupt index allocation block $I30, file entry " + std::to_string(Record()));

    // A torn block (sector end not matching the update sequence) is refused
    // by the fixup check before its entries are trusted.
    block1Signature = 'I';
    EXPECT_EQ(LoadFailure(), "loaded");
    m_volume->Device().Bytes()[firstRun.lcn * Volume().GetClusterSize() + 4096 + 511] ^= 0xFF;
    EXPECT_NE(LoadFailure(), "loaded");
}
