// The handle family's queries: sizes, attributes and times, and directory
// enumeration, read back after the setters and after a reload.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volkit::test;

namespace {

struct Seen {
    std::wstring name;
    bool isDirectory;
    uint64_t dataSize;
    uint64_t recordNumber;
};

bool Collect(const NtfsDirEntry& entry, void* context) {
    static_cast<std::vector<Seen>*>(context)->push_back(
        {entry.name, entry.isDirectory, entry.dataSize, entry.fileReference & 0xFFFFFFFFFFFFull});
    return true;
}

bool StopAtFirst(const NtfsDirEntry& entry, void* context) {
    Collect(entry, context);
    return false;
}

class QueryApiTest : public ::testing::Test {
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
        if (volume.ptr) {
            EXPECT_TRUE(NtfsCloseVolume(volume));
        }
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

    static inline std::vector<uint8_t>* s_image = nullptr;
    MemoryDevice device;
    NtfsVolumeHandle volume;
};

}  // namespace

TEST_F(QueryApiTest, SizesAttributesAndTimesReadBackWhatWasSet) {
    NtfsFileHandle file;
    ASSERT_TRUE(NtfsCreateFile(L"\\f.bin", file, volume));
    ASSERT_TRUE(SetFileSize(70000, file));
    NtfsAttributesAndTime stamp;
    stamp.creationTime = 111111111111111111ull;
    stamp.lastAccessTime = 122222222222222222ull;
    stamp.lastWriteTime = 133333333333333333ull;
    stamp.attributes = 0x23;
    ASSERT_TRUE(SetFileAttributesAndTime(stamp, file));
    ASSERT_TRUE(NtfsCloseFile(file));
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"d", dir, volume));
    stamp.attributes = 0x2;
    ASSERT_TRUE(SetDirAttributesAndTime(stamp, dir));
    ASSERT_TRUE(NtfsCloseDir(dir));
    Reopen();

    ASSERT_TRUE(NtfsOpenFile(L"F.BIN", file, volume));
    unsigned long long size = 0;
    NtfsAttributesAndTime read;
    EXPECT_TRUE(NtfsGetFileSize(size, file));
    EXPECT_TRUE(GetFileAttributesAndTime(read, file));
    EXPECT_TRUE(NtfsCloseFile(file));
    EXPECT_EQ(size, 70000u);
    EXPECT_EQ(read.creationTime, stamp.creationTime);
    EXPECT_EQ(read.lastAccessTime, stamp.lastAccessTime);
    EXPECT_EQ(read.lastWriteTime, stamp.lastWriteTime);
    EXPECT_EQ(read.attributes, 0x23u);

    ASSERT_TRUE(NtfsOpenDir(L"\\d\\", dir, volume));
    EXPECT_TRUE(GetDirAttributesAndTime(read, dir));
    EXPECT_TRUE(NtfsCloseDir(dir));
    EXPECT_EQ(read.attributes, 0x10000002u);
    EXPECT_EQ(read.lastWriteTime, stamp.lastWriteTime);
}

TEST_F(QueryApiTest, EnumerationFollowsTheIndexOrderAndStopsWhenAsked) {
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
