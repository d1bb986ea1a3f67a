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

std::vector<std::filesystem::path> CorpusArchives() {
    std::vector<std::filesystem::path> archives;
    std::filesystem::path corpus = SharedCorpusDir();
    if (corpus.empty()) return archives;
    for (const auto& item : std::filesystem::recursive_directory_iterator(corpus))
        if (item.path().filename() == "ntfs.img.tar.xz" || item.path().filename() == "ntfs_default.img.tar.xz")
            archives.push_back(item.path());
    std::sort(archives.begin(), archives.end());
    return archives;
}

// Loads, rebuilds and saves every entry it can, then grows the MFT and flushes;
// every failure must be an exception, never a crash or a hang.
void ExerciseVolume(CVolume& volume) {
    CMft& mft = volume.GetMft();
    uint64_t records = std::min(mft.GetRecordCount(), kRecordsToVisit);
    for (uint64_t record = 0; record < records; ++record) {
        MessageOf([&] {
            FileEntryPtr entry = CFileEntry::Load(record, volume);
            entry->MarkDirty();
            entry->Save();
        });
    }
    MessageOf([&] { mft.AllocateRecord(); });
    MessageOf([&] {
        FileEntryPtr created = CFileEntry::Create(FileRecord::FlagInUse, volume);
        created->CreateAttribute(AttrType::Data, u"", false)->SetSize(3 * volume.GetClusterSize());
        created->Save();
        created->Delete();
    });
    MessageOf([&] { volume.Flush(); });
}

}  // namespace

TEST(MftCorpus, DamagedImagesLoadOrFailCleanly) {
    std::vector<std::filesystem::path> archives = CorpusArchives();
    if (archives.empty()) GTEST_SKIP() << "no corpus";
    size_t opened = 0;
    for (const auto& archive : archives) {
        SCOPED_TRACE(archive.string());
        TempDir dir;
        CommandResult unpack = RunCommand("tar -xJf " + ShellQuote(archive.string()) + " -C " + ShellQuote(dir.Path().string()));
        ASSERT_EQ(unpack.exitCode, 0) << unpack.output;
        std::filesystem::path image = dir.Path() / (archive.filename() == "ntfs.img.tar.xz" ? "ntfs.img" : "ntfs_default.img");
        ASSERT_TRUE(std::filesystem::exists(image));
        // The images found in the field are huge sparse files: those stay on disk.
        std::unique_ptr<MemoryDevice> memory;
        std::unique_ptr<FileDevice> file;
        std::shared_ptr<CIoDeviceImpl> device;
        if (std::filesystem::file_size(image) <= kLargestInMemory) {
            memory = std::make_unique<MemoryDevice>(MemoryDevice::FromFile(image.string()));
            device = std::make_shared<CIoDeviceImpl>(memory->Api());
        } else {
            file = std::make_unique<FileDevice>(image.string());
            device = std::make_shared<CIoDeviceImpl>(file->Api());
        }
        std::unique_ptr<CVolume> volume;
        try {
            volume = std::make_unique<CVolume>(device, ELoadDepth::Allocator);
        } catch (const std::exception& e) {
            EXPECT_TRUE(IsDamageRefusal(e)) << e.what();
            continue;
        }
        ++opened;
        ExerciseVolume(*volume);
        volume.reset();
    }
    EXPECT_GE(opened, 1u);
}
