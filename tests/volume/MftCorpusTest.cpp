#include <gtest/gtest.h>

#include <filesystem>

#include "entries/FileEntry.h"
#include "volume/Bitmap.h"
#include "volume/EngineImage.h"

using namespace volcore;
using namespace volcore::test;

namespace {

constexpr uint64_t kLargestInMemory = 64ull << 20;
constexpr uint64_t kRecordsToVisit = 20000;

// Loads, rebuilds and saves every entry it can, then grows the MFT and flushes;
// every failure must be an exception, never a crash or a hang.
void ExerciseVolume(CVolume& volume) {
    CMft& mft = volume.GetMft();
    uint64_t records = std::min(mft.GetRecordCount(), kRecordsToVisit);
    for (uint64_t record = 0; record < records; ++record) {
        FailureOf([&] {
            FileEntryPtr entry = CFileEntry::Load(record, volume);
            entry->MarkDirty();
            entry->Save();
        });
    }
    FailureOf([&] { mft.AllocateRecord(); });
    FailureOf([&] {
        FileEntryPtr created = CFileEntry::Create(FileRecord::FlagInUse, volume);
        created->CreateAttribute(AttrType::Data, u"", false)->SetSize(3 * volume.GetClusterSize());
        created->Save();
        created->Delete();
    });
    FailureOf([&] { volume.Flush(); });
}

}  // namespace

TEST(MftCorpus, DamagedImagesLoadOrFailCleanly) {
    size_t opened = 0;
    size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        // The images found in the field are huge sparse files: those stay on disk.
        std::unique_ptr<MemoryDevice> memory;
        std::unique_ptr<FileDevice> file;
        std::shared_ptr<CIoDeviceImpl> device;
        if (std::filesystem::file_size(image.path) <= kLargestInMemory) {
            memory = std::make_unique<MemoryDevice>(MemoryDevice::FromFile(image.path.string()));
            device = std::make_shared<CIoDeviceImpl>(memory->Api());
        } else {
            file = std::make_unique<FileDevice>(image.path.string());
            device = std::make_shared<CIoDeviceImpl>(file->Api());
        }
        std::unique_ptr<CVolume> volume;
        try {
            volume = std::make_unique<CVolume>(device, ELoadDepth::Allocator);
        } catch (const std::exception& e) {
            EXPECT_TRUE(IsDamageRefusal(e)) << e.what();
            return;
        }
        ++opened;
        ExerciseVolume(*volume);
    });
    if (images == 0) GTEST_SKIP() << "no corpus";
    EXPECT_GE(opened, 1u);
}
