// Saving a directory index in its two shapes and loading it back.
#include <gtest/gtest.h>

#include "api/Bytes.h"
#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "volume/Volume.h"

using namespace volcore;
using namespace volkit::test;

namespace {

struct FormCase {
    uint32_t sectorSize;     // mkntfs makes records of max(1024, sector size)
    int expectedRootNames;   // twelve-unit names that stay in the root
};

class IndexForms : public ::testing::TestWithParam<FormCase> {
protected:
    void SetUp() override {
        ImageOptions options;
        options.sectorSize = GetParam().sectorSize;
        options.size = 32ull << 20;
        MakeNtfsImage(m_dir.File("v.img"), options);
        m_volume = std::make_unique<EngineVolume>(m_dir.File("v.img"));
    }
    CVolume& Volume() { return m_volume->Volume(); }

    TempDir m_dir;
    std::unique_ptr<EngineVolume> m_volume;
};

void ExpectSmallEmptyRoot(const CFileEntry& entry) {
    std::vector<uint8_t> root = RootValue(entry);
    ASSERT_EQ(root.size(), 48u);
    CByteReader reader(root);
    EXPECT_EQ(reader.U32(0x00), 0x30u);
    EXPECT_EQ(reader.U32(0x04), 1u);
    EXPECT_EQ(reader.U32(0x08), 4096u);
    EXPECT_EQ(reader.U32(0x10), 16u);
    EXPECT_EQ(reader.U32(0x14), 32u);
    EXPECT_EQ(reader.U32(0x18), 32u);
    EXPECT_EQ(reader.U8(0x1C), 0u);
    EXPECT_EQ(reader.U16(0x28), 16u);
    EXPECT_EQ(reader.U16(0x2C), 2u);
    EXPECT_FALSE(entry.FindAttribute(AttrType::IndexAllocation, u"$I30"));
    EXPECT_FALSE(entry.FindAttribute(AttrType::Bitmap, u"$I30"));
}

}  // namespace

// The root holds names while the whole record still fits; the hand-made entry
// has $STANDARD_INFORMATION (96 bytes as a record), $FILE_NAME "d" (96) and
// the root's own 32-byte header and name besides the header and end marker:
// 1024-byte records leave 1024 - 56 - 8 - 224 = 736 bytes for the root value,
// six names (48 + 6 x 112 = 720); 4096-byte records leave 3792, 33 names.
TEST_P(IndexForms, MovesToBlocksWhenTheRootNoLongerFitsTheRecord) {
    FileEntryPtr entry = MakeDirectoryEntry(Volume());
    FileReference reference = entry->GetReference();
    int names = 0;
    {
        CIndex index(entry, u"$I30", Volume().GetUpCase(), 4096, 1);
        EXPECT_TRUE(index.IsDirty());
        index.Save();
        entry->Save();
        ExpectSmallEmptyRoot(*entry);

        while (!index.IsLarge()) {
            index.AddEntry(TwelveUnitName(names), ValueFor(100 + names));
            ++names;
            index.Save();
            ASSERT_NO_THROW(entry->Save()) << names << " names";
        }
        EXPECT_FALSE(index.IsDirty());
    }
    EXPECT_EQ(names - 1, GetParam().expectedRootNames);

    std::vector<uint8_t> root = RootValue(*entry);
    ASSERT_EQ(root.size(), 56u);
    CByteReader reader(root);
    EXPECT_EQ(reader.U32(0x14), 40u);
    EXPECT_EQ(reader.U8(0x1C), 1u);
    EXPECT_EQ(reader.U16(0x2C), 3u);
    EXPECT_EQ(reader.U64(0x30), 0u);

    m_volume->Reopen();
    FileEntryPtr loaded = CFileEntry::Load(reference, Volume());
    CIndex index(loaded, u"$I30", Volume().GetUpCase());
    EXPECT_TRUE(index.IsLarge());
    EXPECT_FALSE(index.IsDirty());
    ASSERT_EQ(index.GetEntries().size(), static_cast<size_t>(names));
    for (int i = 0; i < names; ++i) {
        std::u16string upper = TwelveUnitName(i);
        for (auto& unit : upper) unit = ToUpper(Volume().GetUpCase(), unit);
        SIndexEntryValue value;
        ASSERT_TRUE(index.FindEntry(upper, value)) << i;
        EXPECT_EQ(value.fileReference, 100u + i);
        EXPECT_EQ(value.modificationTime, (100u + i) * 5);
        EXPECT_EQ(value.nameSpace, FileNameValue::NameSpaceWin32);
    }
}

TEST_P(IndexForms, LargeIndexStaysLargeUntilEmptyThenReturnsToTheRoot) {
    FileEntryPtr entry = MakeDirectoryEntry(Volume());
    FileReference reference = entry->GetReference();
    const int count = 150;
    {
        CIndex index(entry, u"$I30", Volume().GetUpCase(), 4096, 1);
        for (int i = 0; i < count; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(1000 + i));
        index.Save();
        entry->Save();
        ASSERT_TRUE(index.IsLarge());
        // 35 names of 112 bytes after the 0x40 header end at 3984; a 36th
        // would leave no room for the end entry, so 150 names take 5 blocks.
        EXPECT_EQ(entry->GetAttribute(AttrType::IndexAllocation, u"$I30")->GetSize(), 5u * 4096);

        for (int i = 1; i < count; ++i) index.RemoveEntry(TwelveUnitName(i));
        index.Save();
        entry->Save();
        EXPECT_TRUE(index.IsLarge());
        EXPECT_EQ(RootValue(*entry).size(), 56u);
        EXPECT_EQ(entry->GetAttribute(AttrType::IndexAllocation, u"$I30")->GetSize(), 4096u);
    }
    m_volume->Reopen();
    entry = CFileEntry::Load(reference, Volume());
    {
        CIndex index(entry, u"$I30", Volume().GetUpCase());
        ASSERT_TRUE(index.IsLarge());
        ASSERT_EQ(index.GetEntries().size(), 1u);
        EXPECT_EQ(index.GetEntry(u"NAME-0000000").fileReference, 1000u);

        index.RemoveEntry(u"name-0000000");
        index.Save();
        entry->Save();
        EXPECT_FALSE(index.IsLarge());
        ExpectSmallEmptyRoot(*entry);
    }
    m_volume->Reopen();
    entry = CFileEntry::Load(reference, Volume());
    ExpectSmallEmptyRoot(*entry);
    CIndex index(entry, u"$I30", Volume().GetUpCase());
    EXPECT_TRUE(index.GetEntries().empty());
    EXPECT_FALSE(index.IsLarge());
}

INSTANTIATE_TEST_SUITE_P(RecordSizes, IndexForms,
                         ::testing::Values(FormCase{512, 6}, FormCase{4096, 33}),
                         [](const auto& info) { return "Records" + std::to_string(info.param.sectorSize < 1024 ? 1024 : info.param.sectorSize); });
