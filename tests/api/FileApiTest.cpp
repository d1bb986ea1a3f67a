// What the handle family adds to the engine's files and directories: the
// checks and texts of its calls, and wide paths beyond Unicode refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Unicode.h"
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

// A kept closed file must follow a link, a replacing move and a delete made through new handles.
TEST_F(FileApiTest, AClosedFileFollowsChangesMadeThroughNewHandles) {
    NtfsFileHandle a = Create(L"\\a", 5), b = Create(L"\\b", 0), f;
    ASSERT_TRUE(NtfsCloseFile(a) && NtfsCloseFile(b));
    ASSERT_TRUE(NtfsOpenFile(L"\\a", f, volume) && NtfsCreateHardLink(L"\\c", f) && NtfsCloseFile(f));
    ASSERT_TRUE(NtfsOpenFile(L"\\b", f, volume) && NtfsMoveFile(L"\\a", true, f) && NtfsCloseFile(f));
    ASSERT_TRUE(NtfsOpenFile(L"\\c", f, volume) && NtfsDeleteFile(f));
    for (unsigned int links = 0, pass = 0; pass < 2; ++pass) {  // in the session, then in a new one
        EXPECT_TRUE(NtfsOpenFile(L"\\a", f, volume) && NtfsGetLinkCount(links, f) && NtfsCloseFile(f) && links == 1);
        EXPECT_FALSE(NtfsOpenFile(L"\\b", f, volume) || NtfsOpenFile(L"\\c", f, volume));
        ASSERT_TRUE(NtfsCloseVolume(volume) && NtfsOpenVolume(device.Api(), volume));
    }
}

// A reader remembers the run it last read from: a write through another
// handle, a truncation and regrowth, data back in the record and out again,
// and a growth elsewhere after another file's must all show in its next read.
TEST_F(FileApiTest, ReadsFollowEveryChangeOfTheClusters) {
    NtfsFileHandle reader = Create(L"\\a", 65536), writer, other = Create(L"\\b", 0);
    ASSERT_TRUE(NtfsOpenFile(L"\\a", writer, volume));
    std::vector<uint8_t> model(65536, 0), got(4096);
    // Sizes set through the writer, then its write of `length` bytes at `at`.
    struct SStep { std::vector<size_t> sizes; size_t at, length; bool otherGrowsFirst = false; };
    for (const SStep& step : {SStep{{}, 4096, 8192}, SStep{{4096, 65536}, 8192, 4096}, SStep{{0, 65536}, 0, 65536},
                              SStep{{131072}, 0, 131072, true}}) {
        EXPECT_TRUE(NtfsReadFile(4096, got.data(), 4096, reader));  // remembers the run
        EXPECT_TRUE(!step.otherGrowsFirst || SetFileSize(65536, other));
        for (size_t size : step.sizes) {
            model.resize(size, 0);
            EXPECT_TRUE(SetFileSize(size, writer));
        }
        std::vector<uint8_t> bytes = Pattern(step.length, static_cast<uint32_t>(step.at + step.length));
        std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<std::ptrdiff_t>(step.at));
        EXPECT_TRUE(NtfsWriteFile(step.at, bytes.data(), static_cast<unsigned>(step.length), writer));
        got.assign(model.size(), 0xEE);
        for (size_t at = 0; at < got.size(); at += 4096) EXPECT_TRUE(NtfsReadFile(at, &got[at], 4096, reader));
        EXPECT_EQ(got, model);
    }
    EXPECT_TRUE(NtfsCloseFile(reader) && NtfsCloseFile(writer) && NtfsCloseFile(other));
}

// Names beyond the Basic Multilingual Plane are written and compared by the
// interoperability and collation tests, lone surrogates are refused through the
// C interface's tests; only a 32-bit wchar_t can name a code point beyond Unicode.
TEST_F(FileApiTest, WideNameBeyondUnicodeIsRefused) {
    NtfsFileHandle file;
    if (sizeof(wchar_t) == 4) {
        LogCapture log;
        EXPECT_FALSE(NtfsCreateFile(std::wstring(1, static_cast<wchar_t>(0x110000)).c_str(), file, volume));
        ASSERT_EQ(log.Errors().size(), 1u);
        EXPECT_TRUE(log.Errors()[0].ends_with("': Invalid code point: 1114112")) << log.Errors()[0];
    }
}

// The listing converts each name into one reused buffer: every name comes back
// whole, surrogate pairs joined where wchar_t has 32 bits. A path is narrowed
// many units at a time: U+10041 (an 'A' in its low 16 bits) inside a step or
// after the last one must not be cut.
TEST_F(FileApiTest, TheListingHandsNamesBeyondTheBasicPlaneBackWhole) {
    const std::vector<std::wstring> names = {L"\U0001F600 \u00e9t\u00e9", L"\U00010428\U00010400", L"a", L"ab\U0001F600c",
                                             L"AAAAAAAAAA\U00010041AAAAAAAAA", L"AAAAAAAAAAAAAAAAA\U00010041A"};
    for (const std::wstring& name : names) {
        NtfsFileHandle file = Create(name.c_str(), 1);
        EXPECT_TRUE(NtfsCloseFile(file));
    }
    std::vector<std::wstring> listed;
    NtfsDirHandle root;
    auto collect = [](const NtfsDirEntry& entry, void* seen) {
        static_cast<std::vector<std::wstring>*>(seen)->push_back(entry.name);
        return true;
    };
    ASSERT_TRUE(NtfsOpenDir(L"\\", root, volume) && NtfsEnumDir(root, collect, &listed) && NtfsCloseDir(root));
    for (const std::wstring& name : names) EXPECT_EQ(std::count(listed.begin(), listed.end(), name), 1);
}

// A listing widens names straight from the node, eight units at a time where
// the bytes after the name allow it: whatever follows a name (here high
// surrogates) must not join it, pairs within a chunk or across its end must
// join, and a lone surrogate becomes U+FFFD as in the conversion of the units.
TEST(NameWidening, MatchesTheConversionOfTheSameUnits) {
    const std::u16string cases[] = {u"f000123", u"abcdefgh", u"abcdefg\U0001F600xyz", u"0123456789\U0001F600",
                                    u"a\xDC00" u"bcdefghijk", u"abcdefghijklmno\xD800", u""};
    for (const std::u16string& name : cases) {
        for (size_t slack : {0, 1, 9, 16}) {
            std::vector<uint8_t> bytes;
            for (char16_t unit : name) bytes.insert(bytes.end(), {uint8_t(unit), uint8_t(unit >> 8)});
            for (size_t i = 0; i < slack; ++i) bytes.push_back(i % 2 ? 0xD8 : 0x00);
            std::vector<wchar_t> out(name.size() + 8, L'?');
            const size_t count = volcore::LittleEndianUtf16ToWide(bytes, name.size(), out.data());
            EXPECT_EQ(std::wstring(out.data(), count), volcore::Utf16ToWide(name)) << name.size() << " " << slack;
            EXPECT_EQ(out[count], L'\0');
        }
    }
    EXPECT_THROW(volcore::LittleEndianUtf16ToWide(std::vector<uint8_t>(5), 3, std::vector<wchar_t>(11).data()),
                 volcore::CException);
}

