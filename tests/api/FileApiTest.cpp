#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/Boundary.h"
#include "api/IoDevice.h"
#include "entries/File.h"
#include "entries/FileEntry.h"
#include "entries/RecordFormat.h"
#include "index/Directory.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"
#include "volume/Volume.h"

using namespace volkit::api;
using namespace volkit::test;

namespace {

void* const kUntouched = reinterpret_cast<void*>(0x1234);

class FileApiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        TempDir dir;
        MakeNtfsImage(dir.File("v.img"));
        s_image = new std::vector<uint8_t>(ReadFileBytes(dir.File("v.img")));
    }
    static void TearDownTestSuite() {
        delete s_image;
        s_image = nullptr;
    }

    void SetUp() override {
        device.Bytes() = *s_image;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    }
    void TearDown() override {
        device.failWrite = nullptr;
        if (volume.ptr) {
            EXPECT_TRUE(NtfsCloseVolume(volume));
        }
    }

    // Closes the volume and loads it with the engine, to look at what was written.
    std::shared_ptr<volcore::CVolume> Reload() {
        EXPECT_TRUE(NtfsCloseVolume(volume));
        return std::make_shared<volcore::CVolume>(std::make_shared<volcore::CIoDeviceImpl>(device.Api()));
    }

    static inline std::vector<uint8_t>* s_image = nullptr;
    MemoryDevice device;
    NtfsVolumeHandle volume;
};

uint32_t StoredAttributes(const volcore::CFsObject& object) {
    volcore::StandardInformation info = object.GetAttributesAndTime();
    return volcore::CByteReader(info.data(), info.size()).U32(volcore::StdInfo::FileAttributes);
}

}  // namespace

TEST_F(FileApiTest, InvalidHandlesFailWithTheirOwnTexts) {
    LogCapture log;
    NtfsVolumeHandle noVolume;
    NtfsFileHandle noFile;
    NtfsDirHandle noDir;
    NtfsFileHandle file{kUntouched};
    NtfsDirHandle dir{kUntouched};
    char buffer[4] = {};
    NtfsAttributesAndTime stamp;

    EXPECT_FALSE(NtfsOpenFile(L"a", file, noVolume));
    EXPECT_FALSE(NtfsCreateFile(L"\u00e9", file, noVolume));
    EXPECT_FALSE(NtfsOpenDir(L"d", dir, noVolume));
    EXPECT_FALSE(NtfsCreateDir(L"d", dir, noVolume));
    EXPECT_EQ(file.ptr, kUntouched);
    EXPECT_EQ(dir.ptr, kUntouched);
    EXPECT_FALSE(NtfsReadFile(1, buffer, 2, noFile));
    EXPECT_FALSE(NtfsWriteFile(3, buffer, 4, noFile));
    EXPECT_FALSE(SetFileSize(5, noFile));
    EXPECT_FALSE(SetFileAttributesAndTime(stamp, noFile));
    EXPECT_FALSE(NtfsDeleteFile(noFile));
    EXPECT_FALSE(NtfsCloseFile(noFile));
    EXPECT_FALSE(SetDirAttributesAndTime(stamp, noDir));
    EXPECT_FALSE(NtfsDeleteDir(noDir));
    EXPECT_FALSE(NtfsCloseDir(noDir));
    EXPECT_FALSE(NtfsOpenFile(nullptr, file, volume));

    std::vector<std::string> expected = {
        "Failed to open NTFS file 'a': Invalid volume handle",
        "Failed to create NTFS file '\xC3\xA9': Invalid volume handle",
        "Failed to open NTFS directory 'd': Invalid volume handle",
        "Failed to create NTFS directory 'd': Invalid volume handle",
        "Failed to read from NTFS file (offset 1, length 2): Invalid file handle",
        "Failed to write to NTFS file (offset 3, length 4): Invalid file handle",
        "Failed to resize NTFS file (new size 5): Invalid file handle",
        "Failed to change attributes and file times of a NTFS file: Invalid file handle",
        "Failed to delete NTFS file: 'Invalid file handle'",
        "Failed to close NTFS file: 'Invalid file handle'",
        "Failed to change attributes and file times of a NTFS directory: Invalid directory handle",
        "Failed to delete NTFS directory: Invalid directory handle",
        "Failed to close NTFS directory: Invalid directory handle",
        "Failed to open NTFS file '': Invalid path: null pointer",
    };
    EXPECT_EQ(log.Errors(), expected);
}

TEST_F(FileApiTest, ReadsAndWritesOnlyInsideTheSizeTheCallerSets) {
    LogCapture log;
    NtfsFileHandle file;
    ASSERT_TRUE(NtfsCreateFile(L"\\data.bin", file, volume));
    char byte = 0;
    EXPECT_FALSE(NtfsReadFile(0, &byte, 1, file));
    EXPECT_EQ(log.Errors().back(),
              "Failed to read from NTFS file (offset 0, length 1): "
              "void __cdecl volcore::CFile::Read(unsigned __int64,void *,unsigned int) const");
    EXPECT_FALSE(NtfsWriteFile(0, "x", 1, file));
    EXPECT_EQ(log.Errors().back(),
              "Failed to write to NTFS file (offset 0, length 1): "
              "void __cdecl volcore::CFile::Write(unsigned __int64,const void *,unsigned int)");

    // Growth to a size that needs several runs of clusters, then a shrink.
    std::vector<uint8_t> pattern(300000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + i / 251);
    ASSERT_TRUE(SetFileSize(1000, file));
    ASSERT_TRUE(NtfsWriteFile(0, pattern.data(), 1000, file));
    ASSERT_TRUE(SetFileSize(pattern.size(), file));
    ASSERT_TRUE(NtfsWriteFile(1000, pattern.data() + 1000, static_cast<unsigned>(pattern.size() - 1000), file));
    EXPECT_FALSE(NtfsReadFile(pattern.size(), &byte, 1, file));
    EXPECT_FALSE(NtfsReadFile(pattern.size(), &byte, 0, file));
    EXPECT_FALSE(NtfsWriteFile(pattern.size() - 1, "ab", 2, file));
    size_t failures = log.Errors().size();
    ASSERT_TRUE(NtfsCloseFile(file));
    EXPECT_EQ(file.ptr, nullptr);

    ASSERT_TRUE(NtfsOpenFile(L"DATA.BIN", file, volume));
    std::vector<uint8_t> back(pattern.size());
    ASSERT_TRUE(NtfsReadFile(0, back.data(), static_cast<unsigned>(back.size()), file));
    EXPECT_EQ(back, pattern);
    ASSERT_TRUE(SetFileSize(895, file));
    ASSERT_TRUE(NtfsCloseFile(file));
    EXPECT_EQ(log.Errors().size(), failures);

    auto engine = Reload();
    auto reopened = volcore::CFile::OpenByPath(*engine, u"data.bin");
    EXPECT_EQ(reopened->GetSize(), 895u);
    back.assign(895, 0);
    reopened->Read(0, back.data(), 895);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), pattern.begin()));
}

TEST_F(FileApiTest, AttributesAndTimesKeepOnlyTheSettableBits) {
    NtfsFileHandle file;
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"stamped", dir, volume));
    ASSERT_TRUE(NtfsCreateFile(L"stamped\\file", file, volume));
    NtfsAttributesAndTime stamp{0x01D0000000000001ull, 0x01D0000000000002ull, 0x01D0000000000003ull, 0xFFFFFFFFu};
    ASSERT_TRUE(SetFileAttributesAndTime(stamp, file));
    ASSERT_TRUE(SetDirAttributesAndTime(stamp, dir));
    ASSERT_TRUE(NtfsCloseFile(file));
    ASSERT_TRUE(NtfsCloseDir(dir));

    auto engine = Reload();
    auto storedFile = volcore::CFile::OpenByPath(*engine, u"stamped\\file");
    auto storedDir = volcore::CDirectory::OpenByPath(*engine, u"stamped");
    EXPECT_EQ(StoredAttributes(*storedFile), 0x31A7u);
    EXPECT_EQ(StoredAttributes(*storedDir), 0x100031A7u);
    volcore::StandardInformation info = storedFile->GetAttributesAndTime();
    volcore::CByteReader fields(info.data(), info.size());
    EXPECT_EQ(fields.U64(volcore::StdInfo::CreationTime), stamp.creationTime);
    EXPECT_EQ(fields.U64(volcore::StdInfo::AccessTime), stamp.lastAccessTime);
    EXPECT_EQ(fields.U64(volcore::StdInfo::ModificationTime), stamp.lastWriteTime);
    // The parent's index carries the same copy once the objects were closed.
    const volcore::SIndexEntryValue& entry = storedDir->GetEntry(u"file");
    EXPECT_EQ(entry.modificationTime, stamp.lastWriteTime);
    EXPECT_EQ(entry.fileAttributes, 0x31A7u);
}

TEST_F(FileApiTest, DeleteClosesTheHandleOnlyWhenItWorks) {
    LogCapture log;
    NtfsDirHandle dir;
    NtfsFileHandle file;
    ASSERT_TRUE(NtfsCreateDir(L"outer", dir, volume));
    ASSERT_TRUE(NtfsCreateFile(L"outer\\inner", file, volume));

    EXPECT_FALSE(NtfsDeleteDir(dir));
    EXPECT_EQ(log.Errors().back(), "Failed to delete NTFS directory: Cannot delete directory outer: directory is not empty");
    EXPECT_NE(dir.ptr, nullptr);

    ASSERT_TRUE(NtfsDeleteFile(file));
    EXPECT_EQ(file.ptr, nullptr);
    ASSERT_TRUE(NtfsDeleteDir(dir));
    EXPECT_EQ(dir.ptr, nullptr);

    NtfsFileHandle gone{kUntouched};
    EXPECT_FALSE(NtfsOpenFile(L"outer\\inner", gone, volume));
    EXPECT_EQ(log.Errors().back(), "Failed to open NTFS file 'outer\\inner': Entry outer doesn't exist");
    EXPECT_EQ(gone.ptr, kUntouched);

    NtfsDirHandle root;
    ASSERT_TRUE(NtfsOpenDir(L"\\\\", root, volume));
    EXPECT_FALSE(NtfsDeleteDir(root));
    EXPECT_EQ(log.Errors().back(), "Failed to delete NTFS directory: Cannot delete system entry 5");
    EXPECT_TRUE(NtfsCloseDir(root));

    NtfsFileHandle twice;
    ASSERT_TRUE(NtfsCreateFile(L"Twice", twice, volume));
    NtfsFileHandle second{kUntouched};
    EXPECT_FALSE(NtfsCreateFile(L"TWICE", second, volume));
    EXPECT_EQ(log.Errors().back(), "Failed to create NTFS file 'TWICE': Entry TWICE is already exist");
    EXPECT_EQ(second.ptr, kUntouched);
    EXPECT_TRUE(NtfsCloseFile(twice));
}

TEST_F(FileApiTest, WideNamesBeyondTheBasicPlane) {
    // Where wchar_t is 16 bits the characters beyond U+FFFF are surrogate pairs.
    const std::wstring name = L"\U0001F600 \u00e9t\u00e9 \u65e5\u672c";
    NtfsFileHandle file;
    ASSERT_TRUE(NtfsCreateFile(name.c_str(), file, volume));
    ASSERT_TRUE(NtfsCloseFile(file));
    ASSERT_TRUE(NtfsOpenFile(L"\U0001F600 \u00c9T\u00c9 \u65e5\u672c", file, volume));
    ASSERT_TRUE(NtfsCloseFile(file));
    // Case folds inside the Basic Multilingual Plane only: DESERET CAPITAL
    // LETTER LONG I (U+10400) and its small letter (U+10428) make two names.
    for (const wchar_t* deseret : {L"\U00010428\U00010400", L"\U00010400\U00010428"}) {
        ASSERT_TRUE(NtfsCreateFile(deseret, file, volume));
        ASSERT_TRUE(NtfsCloseFile(file));
    }

    struct Refused {
        std::wstring path;
        uint32_t unit;
    };
    std::vector<Refused> refused = {{L"x\xD800", 0xD800}, {L"\xDC00x", 0xDC00}, {L"\xDC00\xD800", 0xDC00}};
    if (sizeof(wchar_t) == 4) refused.push_back({std::wstring(1, static_cast<wchar_t>(0x110000)), 0x110000});
    for (const Refused& c : refused) {
        LogCapture log;
        EXPECT_FALSE(NtfsCreateFile(c.path.c_str(), file, volume));
        ASSERT_EQ(log.Errors().size(), 1u) << c.unit;
        EXPECT_TRUE(log.Errors()[0].ends_with("': Invalid code point: " + std::to_string(c.unit))) << log.Errors()[0];
    }

    auto engine = Reload();
    const auto& entries = engine->GetRoot()->GetEntries();
    EXPECT_TRUE(entries.count(u"\U0001F600 \u00e9t\u00e9 \u65e5\u672c"));
    EXPECT_TRUE(entries.count(u"\U00010428\U00010400") && entries.count(u"\U00010400\U00010428"));
}

TEST_F(FileApiTest, AFailedCloseLeavesAHandleThatOnlyAnotherCloseAccepts) {
    NtfsFileHandle file;
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"d", dir, volume));
    ASSERT_TRUE(NtfsCreateFile(L"d\\f", file, volume));
    ASSERT_TRUE(SetFileSize(10, file));

    device.failWrite = [](uint64_t, uint32_t) { return true; };
    LogCapture log;
    EXPECT_FALSE(NtfsCloseFile(file));
    ASSERT_FALSE(log.Errors().empty());
    EXPECT_EQ(log.Errors()[0].rfind("Failed to close NTFS file: 'Device write failed", 0), 0u) << log.Errors()[0];
    EXPECT_NE(file.ptr, nullptr);
    char byte;
    log.Clear();
    EXPECT_FALSE(NtfsReadFile(0, &byte, 1, file));
    EXPECT_EQ(log.Errors(), std::vector<std::string>{"Failed to read from NTFS file (offset 0, length 1): Invalid file handle"});
    EXPECT_FALSE(NtfsCloseFile(file));
    EXPECT_EQ(file.ptr, nullptr);

    // The directory is still in the volume's cache: its close has nothing to flush.
    EXPECT_TRUE(NtfsCloseDir(dir));

    log.Clear();
    EXPECT_FALSE(NtfsCloseVolume(volume));
    ASSERT_FALSE(log.Errors().empty());
    EXPECT_EQ(log.Errors().back().rfind("Failed to close NTFS volume: Device write failed", 0), 0u)
        << log.Errors().back();
    EXPECT_NE(volume.ptr, nullptr);
    EXPECT_FALSE(NtfsCloseVolume(volume));
    EXPECT_EQ(volume.ptr, nullptr);
}

TEST_F(FileApiTest, ADirectoryDeletedAsAFileStaysDeleted) {
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"gone", dir, volume));
    ASSERT_TRUE(NtfsCloseDir(dir));
    // Files are opened whatever their type, so a directory can go this way too;
    // the directory object the volume still caches must not write it back.
    NtfsFileHandle asFile;
    ASSERT_TRUE(NtfsOpenFile(L"gone", asFile, volume));
    uint64_t reference = static_cast<volcore::SHandleRecord<volcore::CFile>*>(asFile.ptr)->object->GetReference();
    ASSERT_TRUE(NtfsDeleteFile(asFile));

    auto engine = Reload();
    EXPECT_FALSE(engine->GetRoot()->GetEntries().count(u"gone"));
    try {
        volcore::CFileEntry::Load(reference, *engine);
        ADD_FAILURE() << "the record is still in use";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("unused record"), std::string::npos) << e.what();
    }
}

TEST(VolumeLoad, LogsItsStepsInOrder) {
    TempDir dir;
    MakeNtfsImage(dir.File("v.img"));
    MemoryDevice device = MemoryDevice::FromFile(dir.File("v.img"));
    LogCapture log;
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    std::vector<std::string> steps = {"Checking boot sector",        "Loading MFT and MFTMirr",
                                      "Comparing mirrored records",  "Loading Bitmap",
                                      "Initializing cluster allocator", "Loading UpCase",
                                      "Loading volume root"};
    std::vector<std::string> info = log.Texts(1);
    auto position = info.begin();
    for (const auto& step : steps) {
        position = std::find(position, info.end(), step);
        ASSERT_NE(position, info.end()) << step << " missing or out of order";
    }
    EXPECT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(log.Contains("Flushing MFT")) << "the volume's close writes the MFT";
}
