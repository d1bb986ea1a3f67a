// Every damaged image of the shared corpus through the engine's layers below
// the handle family: the volume loads or is refused as damaged; every entry
// loads, is read, has its index walked and is saved again, or is refused
// cleanly; the MFT grows and the volume flushes. Nothing may crash, hang or
// allocate without bound (the sanitizer build runs this too).
#include <gtest/gtest.h>

#include "base/IoDevice.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "index/Index.h"
#include "index/IndexTestSupport.h"
#include "disk/UpCase.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "disk/Fixups.h"
#include "volume/Mft.h"
#include "objects/Volume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

constexpr uint64_t kRecordsToVisit = 20000;

// Reads every attribute (the head of a large one: sizes up to the device are
// accepted) and serialises it again.
void ReadAttributes(CVolume& volume, const MftRecBufferPtr& record) {
    ParseMap parsed;
    ParseAttributeRecords(record, parsed);
    std::vector<uint8_t> out(volume.GetMftRecordSize()), head(4096);
    for (const auto& [key, locations] : parsed) {
        CAttribute attribute(volume, MakeReference(30, 1), locations);
        if (attribute.GetSize() > 0) attribute.ReadData(0, head.data(), static_cast<uint32_t>(std::min<uint64_t>(attribute.GetSize(), head.size())));
        attribute.Serialize(CByteWriter(out));
    }
}

void WalkIndex(const FileEntryPtr& entry, CVolume& volume) {
    if (!entry->FindAttribute(AttrType::IndexRoot, u"$I30")) return;
    CIndex index(entry, u"$I30", volume.GetUpCase());
    SIndexEntryValue found;
    for (const auto& [name, value] : ListEntries(index)) EXPECT_TRUE(index.FindEntry(name, found));
}

// The only acceptable failure is a refusal of damage, never a crash or a bad request.
void ExpectCleanly(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::overflow_error&) {  // a name or value too long to save again
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsDamageRefusal(e)) << e.what();
    }
}

void ExerciseVolume(CVolume& volume) {
    FailureOf([&] {  // without its table, names compare by their raw units
        FileEntryPtr upcase = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), volume);
        volume.SetUpCase(BuildUpCaseTable(upcase->GetAttribute(AttrType::Data)->ReadAll()));
    });
    uint64_t records = std::min(volume.GetMft().GetRecordCount(), kRecordsToVisit);
    for (uint64_t record = 0; record < records; ++record) {
        ExpectCleanly([&] { ReadAttributes(volume, volume.ReadMftRecord(record)); });
        FailureOf([&] {
            FileEntryPtr entry = CFileEntry::Load(record, volume);
            ExpectCleanly([&] { WalkIndex(entry, volume); });
            entry->MarkDirty();
            entry->Save();
        });
    }
    FailureOf([&] {
        FileEntryPtr created = CFileEntry::Create(FileRecord::FlagInUse, volume);
        created->CreateAttribute(AttrType::Data, u"", false)->SetSize(3 * volume.GetClusterSize());
        created->Save();
        created->Delete();
    });
    FailureOf([&] { volume.Flush(); });
}

// A volume refused at load still has its records read through its own $MFT.
void ReadRecordsOfRefusedVolume(CVolume& volume) {
    uint32_t size = volume.GetMftRecordSize();
    auto record0 = CMftRecBuffer::Zeroed(size);
    volume.GetDevice().Read(volume.GetMftLcn() * volume.GetClusterSize(), record0->bytes.data(), size);
    MstUnprotect(record0->bytes, 1, size);
    ParseMap parsed;
    ParseAttributeRecords(record0, parsed);
    CAttribute mft(volume, 0, parsed.at(SAttributeKey{AttrType::Data, u"", 0}));
    for (uint64_t n = 0; n < std::min<uint64_t>(mft.GetSize() / size, kRecordsToVisit); ++n) {
        auto record = CMftRecBuffer::Zeroed(size);
        ExpectCleanly([&] {
            mft.ReadData(n * size, record->bytes.data(), size);
            MstUnprotect(record->bytes, 1, size);
            ReadAttributes(volume, record);
        });
    }
}

}  // namespace

TEST(EngineCorpus, DamagedImagesLoadOrFailCleanly) {
    size_t opened = 0;
    size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        FileDevice file(image.path.string());  // the images found in the field are huge sparse files
        auto device = std::make_shared<CIoDeviceImpl>(file.Api());
        try {
            CTestVolume volume(device, ELoadDepth::Allocator);
            ++opened;
            ExerciseVolume(volume);
        } catch (const std::exception& e) {
            EXPECT_TRUE(IsDamageRefusal(e)) << e.what();
            FailureOf([&] {
                CTestVolume volume(device, ELoadDepth::BootSector);
                ReadRecordsOfRefusedVolume(volume);
            });
        }
    });
    if (images == 0) GTEST_SKIP() << "no corpus";
    EXPECT_GE(opened, 1u);
}
