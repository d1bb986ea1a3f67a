#include <gtest/gtest.h>

#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "volume/Bitmap.h"
#include "volume/EngineImage.h"

using namespace volcore;
using namespace volcore::test;

namespace {

uint64_t MirrorOffset(CVolume& volume, uint64_t record) {
    return volume.GetMftMirrorLcn() * volume.GetClusterSize() + record * volume.GetMftRecordSize();
}

uint64_t MftOffset(CVolume& volume, uint64_t record) {
    return volume.GetMftLcn() * volume.GetClusterSize() + record * volume.GetMftRecordSize();
}

}  // namespace

TEST(Mft, LoadsSystemEntriesWithTheMirrorCountOfTheClusterSize) {
    for (auto [clusterSize, mirrorCount] : {std::pair{512u, 4u}, {4096u, 4u}, {65536u, 64u}}) {
        SCOPED_TRACE(clusterSize);
        EngineImage image(clusterSize);
        auto volume = image.Open(ELoadDepth::Mft);
        CMft& mft = volume->GetMft();
        EXPECT_EQ(volume->GetMirrorRecordCount(), mirrorCount);
        EXPECT_EQ(mft.GetRecordCount(), mft.GetMftData()->GetSize() / 1024);
        EXPECT_TRUE(mft.GetBitmap().Test(0));
        EXPECT_EQ(RecordNumber(mft.GetMirrorEntry()->GetReference()), kMftMirrRecord);
        MftRecBufferPtr upcase = mft.ReadRecord(kUpCaseRecord);
        EXPECT_EQ(CByteReader(upcase->bytes).U32(FileRecord::RecordNumber), kUpCaseRecord);
    }
}

TEST(Mft, RefusesDamagedRecordZeroAndDifferingMirror) {
    EngineImage image;
    // The attribute area of record 2, well inside its bytes in use.
    auto volume = image.Open(ELoadDepth::BootSector);
    uint64_t mirrorRecord2 = MirrorOffset(*volume, 2);
    uint64_t mftRecord0 = MftOffset(*volume, 0);
    volume.reset();

    std::vector<uint8_t> pristine = image.Bytes();
    image.Bytes()[mirrorRecord2 + 0x60] ^= 0xFF;
    EXPECT_EQ(FailureOf([&] { image.Open(ELoadDepth::Mft); }), "MFT mirror: record 2 differs");

    // Beyond the record's bytes in use the mirror may say anything.
    image.Bytes() = pristine;
    image.Bytes()[mirrorRecord2 + 0x300] ^= 0xFF;
    EXPECT_EQ(FailureOf([&] { image.Open(ELoadDepth::Mft); }), "");

    image.Bytes() = pristine;
    CByteWriter(image.Bytes()).U32(mftRecord0 + FileRecord::BytesAllocated, 4096);
    EXPECT_EQ(FailureOf([&] { image.Open(ELoadDepth::Mft); }),
              "MFT record: invalid allocation size 4096 (expected: 1024)");

    image.Bytes() = pristine;
    CByteWriter(image.Bytes()).U32(mftRecord0, 0x44414142);  // "BAAD"
    EXPECT_EQ(FailureOf([&] { image.Open(ELoadDepth::Mft); }), "MFT record: invalid signature 1145127234");
}

TEST(Mft, WritesMirrorOnlyForMirroredRecordsAndOnlyAllocatedRecords) {
    EngineImage image;
    auto volume = image.Open(ELoadDepth::Mft);
    CMft& mft = volume->GetMft();
    RecordingDevice& device = image.Device();

    mft.WriteRecord(3, mft.ReadRecord(3));
    EXPECT_TRUE(device.Wrote(MirrorOffset(*volume, 3)));
    device.writes.clear();
    mft.WriteRecord(4, mft.ReadRecord(4));
    EXPECT_EQ(device.writes.size(), 1u);
    EXPECT_FALSE(device.Wrote(MirrorOffset(*volume, 4)));

    // The caller's buffer is left in its on-disk form.
    MftRecBufferPtr record = mft.ReadRecord(5);
    mft.WriteRecord(5, record);
    EXPECT_EQ(std::vector<uint8_t>(image.Bytes().begin() + MftOffset(*volume, 5),
                                   image.Bytes().begin() + MftOffset(*volume, 6)),
              record->bytes);

    device.writes.clear();
    mft.FreeRecord(26);
    EXPECT_FALSE(mft.GetBitmap().Test(26));
    EXPECT_EQ(FailureOf([&] { mft.WriteRecord(26, mft.ReadRecord(26)); }),
              "Attempt to write unallocated MFT record 26");
    EXPECT_EQ(FailureOf([&] { mft.WriteRecord(4, std::make_shared<CMftRecBuffer>(512)); }),
              "Invalid record size 512 (expected 1024)");
    EXPECT_TRUE(device.writes.empty());

    // Nothing past the MFT's data is read, whatever a reference says.
    uint64_t count = mft.GetRecordCount();
    EXPECT_NE(FailureOf([&] { mft.ReadRecord(count); }), "");
    EXPECT_NE(FailureOf([&] { mft.ReadRecord(MakeReference(kRecordNumberMask, 7)); }), "");
}

TEST(Mft, AllocatesFrom25AndGrows) {
    EngineImage image;
    {
        auto volume = image.Open(ELoadDepth::Allocator);
        CMft& mft = volume->GetMft();
        CBitmap& bitmap = mft.GetBitmap();
        // mkntfs leaves one allocated record beyond the data size: it becomes a
        // record first, and the MFT is rounded to a multiple of 8 records.
        ASSERT_EQ(mft.GetRecordCount(), 27u);
        EXPECT_EQ(mft.AllocateRecord(), 27u);
        EXPECT_EQ(mft.GetRecordCount(), 32u);
        EXPECT_TRUE(bitmap.Test(27));

        // Records below 25 are never handed out, 25 is.
        mft.FreeRecord(20);
        mft.FreeRecord(25);
        EXPECT_EQ(mft.AllocateRecord(), 25u);
        EXPECT_EQ(mft.AllocateRecord(), 28u);
        bitmap.Set(20);

        mft.Extend(1);
        EXPECT_EQ(mft.GetRecordCount(), 40u);
        // Grown records carry a minimal header that reads back cleanly.
        MftRecBufferPtr grown = mft.ReadRecord(37);
        CByteReader reader(grown->bytes);
        EXPECT_EQ(reader.U32(FileRecord::RecordNumber), 37u);
        EXPECT_EQ(reader.U16(FileRecord::Flags), 0u);
        EXPECT_EQ(reader.U16(FileRecord::FirstAttribute), 56u);

        // With every record from 25 on taken, the MFT grows by 1024 records and
        // hands out the first bit past the old bitmap.
        for (uint64_t i = 25; i < bitmap.GetSize(); ++i) bitmap.Set(i);
        uint64_t bitsBefore = bitmap.GetSize();
        uint64_t grownRecord = mft.AllocateRecord();
        EXPECT_EQ(grownRecord, bitsBefore);
        EXPECT_EQ(mft.GetRecordCount(), 40u + 1024u);
        EXPECT_GE(bitmap.GetSize(), 40u + 1024u);
        EXPECT_TRUE(bitmap.Test(grownRecord));

        mft.FreeRecord(grownRecord);
        EXPECT_FALSE(bitmap.Test(grownRecord));
        volume->Flush();
    }
    image.ExpectCheckersAccept();
    // The grown MFT, its bitmap and the mirror of record 0 load again.
    auto volume = image.Open(ELoadDepth::Allocator);
    EXPECT_EQ(volume->GetMft().GetRecordCount(), 40u + 1024u);
    EXPECT_TRUE(volume->GetMft().GetBitmap().Test(25));
}
