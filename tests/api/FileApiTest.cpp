// The handle family's file and directory calls, and the queries that read
// back what they set.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/IoDevice.h"
#include "entries/File.h"
#include "index/Directory.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"
#include "volume/Volume.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

struct Seen {
    std::wstring name;
    bool isDirectory;
    uint64_t dataSize;
    uint64_t recordNumber;
    uint32_t attributes;
};

bool Collect(const NtfsDirEntry& entry, void* context) {
    static_cast<std::vector<Seen>*>(context)->push_back(
        {entry.name, entry.isDirectory, entry.dataSize, entry.fileReference & 0xFFFFFFFFFFFFull, entry.attributes});
    return true;
}

bool StopAtFirst(const NtfsDirEntry& entry, void* context) {
    Collect(entry, context);
    return false;
}

class FileApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        device.Bytes() = PristineImage();
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    }
    void TearDown() override {
        if (volume.ptr) {
            EXPECT_TRUE(NtfsCloseVolume(volume));
        }
    }

    // Closes the volume and loads it with the engine, to look at what was written.
    std::shared_ptr<volcore::CVolume> Reload() {
        EXPECT_TRUE(NtfsCloseVolume(volume));
        return std::make_shared<volcore::CVolume>(std::make_shared<volcore::CIoDeviceImpl>(device.Api()));
    }

    void Reopen() {
        ASSERT_TRUE(NtfsCloseVolume(volume));
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    }
    std::vector<Seen> List(const wchar_t* path, bool (*callback)(const NtfsDirEntry&, void*) = &Collect) {
        NtfsDirHandle dir;
        std::vector<Seen> seen;
        EXPECT_TRUE(NtfsOpenDir(path, dir, volume));
        EXPECT_TRUE(NtfsEnumDir(dir, callback, &seen));
        EXPECT_TRUE(NtfsCloseDir(dir));
        return seen;
    }

    MemoryDevice device;
    NtfsVolumeHandle volume;
};


}  // namespace

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

TEST_F(FileApiTest, SizesAttributesAndTimesReadBackWithOnlyTheSettableBits) {
    NtfsFileHandle file;
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"stamped", dir, volume));
    ASSERT_TRUE(NtfsCreateFile(L"stamped\\file", file, volume));
    NtfsAttributesAndTime stamp{0x01D0000000000001ull, 0x01D0000000000002ull, 0x01D0000000000003ull, 0xFFFFFFFFu};
    ASSERT_TRUE(SetFileSize(70000, file));
    ASSERT_TRUE(SetFileAttributesAndTime(stamp, file));
    ASSERT_TRUE(SetDirAttributesAndTime(stamp, dir));
    ASSERT_TRUE(NtfsCloseFile(file));
    ASSERT_TRUE(NtfsCloseDir(dir));
    Reopen();

    ASSERT_TRUE(NtfsOpenFile(L"STAMPED\\FILE", file, volume));
    ASSERT_TRUE(NtfsOpenDir(L"\\stamped\\", dir, volume));
    unsigned long long size = 0;
    NtfsAttributesAndTime read, readDir;
    EXPECT_TRUE(NtfsGetFileSize(size, file));
    EXPECT_TRUE(GetFileAttributesAndTime(read, file));
    EXPECT_TRUE(GetDirAttributesAndTime(readDir, dir));
    EXPECT_TRUE(NtfsCloseFile(file));
    EXPECT_TRUE(NtfsCloseDir(dir));
    EXPECT_EQ(size, 70000u);
    EXPECT_EQ(read.creationTime, stamp.creationTime);
    EXPECT_EQ(read.lastAccessTime, stamp.lastAccessTime);
    EXPECT_EQ(read.lastWriteTime, stamp.lastWriteTime);
    EXPECT_EQ(read.attributes, 0x31A7u);
    EXPECT_EQ(readDir.attributes, 0x100031A7u);
    EXPECT_EQ(readDir.lastWriteTime, stamp.lastWriteTime);
    // The parent's index carries the same copy once the objects were closed.
    std::vector<Seen> seen = List(L"stamped");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].dataSize, 70000u);
    EXPECT_EQ(seen[0].attributes, 0x31A7u);
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
    EXPECT_NO_THROW(engine->GetRoot()->GetEntry(u"\U0001F600 \u00e9t\u00e9 \u65e5\u672c"));
    EXPECT_NO_THROW(engine->GetRoot()->GetEntry(u"\U00010428\U00010400"));
    EXPECT_NO_THROW(engine->GetRoot()->GetEntry(u"\U00010400\U00010428"));
}

TEST_F(FileApiTest, EnumerationFollowsTheIndexOrderAndStopsWhenAsked) {
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"list", dir, volume));
    ASSERT_TRUE(NtfsCloseDir(dir));
    for (const wchar_t* name : {L"list\\b", L"list\\A", L"list\\\u00e9t\u00e9"}) {
        NtfsFileHandle file;
        ASSERT_TRUE(NtfsCreateFile(name, file, volume));
        ASSERT_TRUE(SetFileSize(10, file));
        ASSERT_TRUE(NtfsCloseFile(file));
    }
    ASSERT_TRUE(NtfsCreateDir(L"list\\C", dir, volume));
    ASSERT_TRUE(NtfsCloseDir(dir));
    Reopen();

    std::vector<Seen> seen = List(L"list");
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].name, L"A");
    EXPECT_EQ(seen[1].name, L"b");
    EXPECT_EQ(seen[2].name, L"C");
    EXPECT_EQ(seen[3].name, L"\u00e9t\u00e9");
    EXPECT_TRUE(seen[2].isDirectory);
    EXPECT_FALSE(seen[0].isDirectory);
    EXPECT_EQ(seen[0].dataSize, 10u);

    EXPECT_EQ(List(L"list", &StopAtFirst).size(), 1u);

    bool sawMft = false;
    for (const Seen& entry : List(L"")) sawMft = sawMft || (entry.name == L"$MFT" && entry.recordNumber == 0);
    EXPECT_TRUE(sawMft);
}
