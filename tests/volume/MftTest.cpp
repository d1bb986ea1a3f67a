#include <gtest/gtest.h>

#include "entries/Attribute.h"
#include "support/EngineVolume.h"
#include "support/ImageEditor.h"
#include "volume/Bitmap.h"
#include "volume/Mft.h"

using namespace volcore;
using namespace volcore::test;

TEST(Mft, RefusesDamagedRecordZeroAndDifferingMirror) {
    EngineVolume image(ImageOptions{}, ELoadDepth::BootSector);
    const std::vector<uint8_t> pristine = image.Bytes();
    const uint64_t mirror2 = image.RecordOffset(2, true), record0 = image.RecordOffset(0);
    auto damage = [&](uint64_t offset, auto edit) {
        image.Bytes() = pristine;
        {
            ImageEditor record(image.Bytes(), offset, 1024);
            edit(record);
        }
        return FailureOf([&] { image.Reopen(ELoadDepth::Mft); });
    };
    auto firstAttribute = [](ImageEditor& r) { return r.Field(FileRecord::FirstAttribute, 2); };
    EXPECT_EQ(damage(mirror2, [&](ImageEditor& r) { r.SetField(firstAttribute(r) + AttrRecord::Type, 4, AttrType::Ea); }),
              "MFT mirror: record 2 differs");
    // Beyond the record's bytes in use the mirror may say anything.
    EXPECT_EQ(damage(mirror2, [](ImageEditor& r) { r.SetField(r.Field(FileRecord::BytesInUse, 4) + 16, 4, 0xBAD); }), "");
    EXPECT_EQ(damage(record0, [](ImageEditor& r) { r.SetField(FileRecord::BytesAllocated, 4, 4096); }),
              "MFT record: invalid allocation size 4096 (expected: 1024)");
    EXPECT_EQ(damage(record0, [](ImageEditor& r) { r.SetField(FileRecord::Signature, 4, 0x44414142); }),
              "MFT record: invalid signature 1145127234");  // "BAAD"
}

TEST(Mft, WritesOnlyAllocatedRecordsOfItsSizeAndReadsNothingPastItsData) {
    EngineVolume image(ImageOptions{}, ELoadDepth::Mft);
    CMft& mft = image.Volume().GetMft();
    uint64_t writes = image.Device().writeCount;
    mft.FreeRecord(26);
    EXPECT_EQ(FailureOf([&] { mft.WriteRecord(26, mft.ReadRecord(26)); }), "Attempt to write unallocated MFT record 26");
    EXPECT_EQ(FailureOf([&] { mft.WriteRecord(4, CMftRecBuffer::Zeroed(512)); }),
              "Invalid record size 512 (expected 1024)");
    EXPECT_EQ(image.Device().writeCount, writes);
    EXPECT_NE(FailureOf([&] { mft.ReadRecord(mft.GetRecordCount()); }), "");
    EXPECT_NE(FailureOf([&] { mft.ReadRecord(MakeReference(kRecordNumberMask, 7)); }), "");
}

TEST(Mft, AllocatesFrom25AndGrows) {
    EngineVolume image;
    CMft& mft = image.Volume().GetMft();
    CBitmap& bitmap = mft.GetBitmap();
    // mkntfs leaves one allocated record beyond the data size: it becomes a
    // record when the records run out.
    ASSERT_EQ(mft.GetRecordCount(), 27u);
    EXPECT_EQ(mft.AllocateRecord(), 27u);
    // Records below 25 are never handed out; nor is one whose bit was
    // cleared while its record still says it is in use: its bit comes back.
    mft.FreeRecord(20);
    mft.FreeRecord(25);
    EXPECT_EQ(mft.AllocateRecord(), 28u);
    EXPECT_TRUE(bitmap.Test(25));
    bitmap.Set(20);

    mft.Extend(1);
    // Grown records carry a minimal header that reads back cleanly.
    MftRecBufferPtr record = mft.ReadRecord(37);
    CByteReader grown(record->bytes);
    EXPECT_EQ(grown.U32(FileRecord::RecordNumber), 37u);
    EXPECT_EQ(grown.U16(FileRecord::Flags), 0u);
    EXPECT_EQ(grown.U16(FileRecord::FirstAttribute), 56u);

    // With every record from 25 on taken, the MFT takes clusters for 1024
    // more records, makes a step of them records and hands out the first bit
    // past the old bitmap.
    for (uint64_t i = 25; i < bitmap.GetSize(); ++i) bitmap.Set(i);
    uint64_t bitsBefore = bitmap.GetSize();
    EXPECT_EQ(mft.AllocateRecord(), bitsBefore);
    mft.FreeRecord(bitsBefore);
    EXPECT_FALSE(bitmap.Test(bitsBefore));
    // A bit cleared behind the MFT's back is found after a search found none.
    for (uint64_t i = 25; i < bitmap.GetSize(); ++i) bitmap.Set(i);
    bitmap.Clear(30);
    EXPECT_EQ(mft.AllocateRecord(), 30u);
    const uint64_t records = mft.GetRecordCount(), reserved = mft.GetMftData()->GetAllocatedSize();
    EXPECT_TRUE(records < 40 + 128 && reserved / 1024 >= 40 + 1024);
    image.ExpectCheckersAccept();
    // The grown MFT, its clusters, its bitmap and the mirror of record 0 load again.
    image.Reopen();
    EXPECT_EQ(image.Volume().GetMft().GetRecordCount(), records);
    EXPECT_EQ(image.Volume().GetMft().GetMftData()->GetAllocatedSize(), reserved);
    EXPECT_TRUE(image.Volume().GetMft().GetBitmap().Test(25));
}

// A new object in a freed record continues the record's sequence, also when
// an earlier session freed it; the sequence the free-record search saw must
// not outlive a write of the record.
TEST(Mft, NewObjectsContinueTheSequenceOfTheirRecord) {
    EngineVolume image;
    auto create = [&] {
        FileEntryPtr entry = CFileEntry::Create(FileRecord::FlagInUse, image.Volume());
        entry->MarkDirty();
        entry->Save();
        return entry->GetReference();
    };
    const uint64_t record = RecordNumber(create());
    for (uint16_t sequence : {1, 2}) {
        if (sequence == 2) image.Reopen();
        CFileEntry::Load(record, image.Volume())->Delete();
        EXPECT_EQ(create(), MakeReference(record, sequence + 1));
    }
    CMft& mft = image.Volume().GetMft();
    const uint64_t next = mft.AllocateRecord();
    mft.WriteRecord(next, BuildRecordHeader(1024, next, 0, 0, 0));  // sequence 1 over the grown record's 0
    EXPECT_EQ(mft.StoredSequenceNumber(next), 1u);
}
