// What the handle family adds to the engine's files and directories: the
// checks and texts of its calls, a listing the caller may stop, and UTF-16
// paths (surrogate pairs where wchar_t has 16 bits).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

class FileApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        device.Bytes() = PristineImage();
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    }
    void TearDown() override { EXPECT_TRUE(NtfsCloseVolume(volume)); }

    NtfsFileHandle Create(const wchar_t* path, unsigned long long size) {
        NtfsFileHandle file;
        EXPECT_TRUE(NtfsCreateFile(path, file, volume) && SetFileSize(size, file));
        return file;
    }

    MemoryDevice device;
    NtfsVolumeHandle volume;
};

}  // namespace

TEST_F(FileApiTest, TransfersOutsideTheSizeFailWithTheirText) {
    NtfsFileHandle file = Create(L"\\data.bin", 0);
    const std::string read = "void __cdecl volcore::CFile::Read(unsigned __int64,void *,unsigned int) const";
    const std::string write = "void __cdecl volcore::CFile::Write(unsigned __int64,const void *,unsigned int)";
    char bytes[2] = {};
    struct Refused {
        unsigned long long size, offset;
        unsigned length;
        bool isWrite;
        std::string error;
    };
    for (const Refused& c : {Refused{0, 0, 1, false, "Failed to read from NTFS file (offset 0, length 1): " + read},
                             Refused{0, 0, 1, true, "Failed to write to NTFS file (offset 0, length 1): " + write},
                             Refused{300000, 300000, 1, false, "Failed to read from NTFS file (offset 300000, length 1): " + read},
                             Refused{300000, 299999, 2, true, "Failed to write to NTFS file (offset 299999, length 2): " + write}}) {
        LogCapture log;
        ASSERT_TRUE(SetFileSize(c.size, file));
        EXPECT_FALSE(c.isWrite ? NtfsWriteFile(c.offset, bytes, c.length, file) : NtfsReadFile(c.offset, bytes, c.length, file));
        EXPECT_EQ(log.Errors(), std::vector<std::string>{c.error});
    }
    EXPECT_TRUE(NtfsWriteFile(299998, bytes, 2, file) && NtfsCloseFile(file));
    EXPECT_EQ(file.ptr, nullptr);
}

// The tool's tests cover the listing's fields; the settable attribute bits are
// checked by the interoperability tests.
TEST_F(FileApiTest, TheListingStopsWhenTheCallbackSaysSo) {
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"listed", dir, volume) && NtfsCloseDir(dir));
    NtfsFileHandle file = Create(L"listed\\file", 70000);
    ASSERT_TRUE(NtfsCloseFile(file) && NtfsCreateDir(L"listed\\sub", dir, volume) && NtfsCloseDir(dir));
    std::vector<NtfsDirEntry> seen;
    auto collect = [](const NtfsDirEntry& entry, void* context) {
        static_cast<std::vector<NtfsDirEntry>*>(context)->push_back(entry);
        return false;
    };
    ASSERT_TRUE(NtfsOpenDir(L"\\LISTED\\", dir, volume) && NtfsEnumDir(dir, collect, &seen) && NtfsCloseDir(dir));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(!seen[0].isDirectory && seen[0].dataSize == 70000u);
}

TEST_F(FileApiTest, WideNamesBeyondTheBasicPlane) {
    // Case folds inside the Basic Multilingual Plane only: DESERET CAPITAL
    // LETTER LONG I (U+10400) and its small letter (U+10428) make two names.
    NtfsFileHandle file;
    for (const wchar_t* name : {L"\U0001F600 \u00e9t\u00e9 \u65e5\u672c", L"\U00010428\U00010400", L"\U00010400\U00010428"}) {
        file = Create(name, 1);
        EXPECT_TRUE(NtfsCloseFile(file));
    }
    ASSERT_TRUE(NtfsOpenFile(L"\U0001F600 \u00c9T\u00c9 \u65e5\u672c", file, volume) && NtfsCloseFile(file));
    // The listing hands every name back whole, pairs joined where wchar_t has 32 bits.
    std::vector<std::wstring> listed;
    NtfsDirHandle root;
    auto collect = [](const NtfsDirEntry& entry, void* names) {
        static_cast<std::vector<std::wstring>*>(names)->push_back(entry.name);
        return true;
    };
    ASSERT_TRUE(NtfsOpenDir(L"\\", root, volume) && NtfsEnumDir(root, collect, &listed) && NtfsCloseDir(root));
    for (const wchar_t* name : {L"\U0001F600 \u00e9t\u00e9 \u65e5\u672c", L"\U00010428\U00010400", L"\U00010400\U00010428"})
        EXPECT_EQ(std::count(listed.begin(), listed.end(), name), 1) << listed.size();

    std::vector<std::pair<std::wstring, uint32_t>> refused = {{L"x\xD800", 0xD800}, {L"\xDC00x", 0xDC00}, {L"\xDC00\xD800", 0xDC00}};
    if (sizeof(wchar_t) == 4) refused.push_back({std::wstring(1, static_cast<wchar_t>(0x110000)), 0x110000});
    for (const auto& [path, unit] : refused) {
        LogCapture log;
        EXPECT_FALSE(NtfsCreateFile(path.c_str(), file, volume));
        ASSERT_EQ(log.Errors().size(), 1u) << unit;
        EXPECT_TRUE(log.Errors()[0].ends_with("': Invalid code point: " + std::to_string(unit))) << log.Errors()[0];
    }
}
