// Named streams through the handle family: the path forms that name them, and
// their life across sessions (create, write, resize, list, delete) with the
// volume clean after each session.
#include <gtest/gtest.h>

#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

using Streams = std::map<std::wstring, uint64_t>;

bool Put(NtfsVolumeHandle volume, const wchar_t* path, const std::vector<uint8_t>& data, bool create = true) {
    NtfsFileHandle file;
    if (!(create ? NtfsCreateFile(path, file, volume) : NtfsOpenFile(path, file, volume))) return false;
    bool written = SetFileSize(data.size(), file) &&
                   (data.empty() || NtfsWriteFile(0, data.data(), static_cast<unsigned>(data.size()), file));
    return NtfsCloseFile(file) && written;
}

std::vector<uint8_t> Get(NtfsVolumeHandle volume, const wchar_t* path) {
    return ReadThroughHandles(volume, volcore::WideToUtf16(path));
}

Streams ListStreams(NtfsVolumeHandle volume, const wchar_t* path) {
    Streams found;
    NtfsFileHandle file;
    if (!NtfsOpenFile(path, file, volume)) return {{L"<no file>", 0}};
    NtfsEnumStreams(
        file,
        [](const NtfsStreamEntry& entry, void* context) {
            (*static_cast<Streams*>(context))[entry.name] = entry.dataSize;
            return true;
        },
        &found);
    NtfsCloseFile(file);
    return found;
}

}  // namespace

TEST(Streams, PathFormsNameTheStreamOrAreRefused) {
    MemoryDevice device = FormattedMemoryDevice(16ull << 20);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    ASSERT_TRUE(Put(volume, L"a", Pattern(100, 1)));
    ASSERT_TRUE(Put(volume, L"a:s", Pattern(50, 2)));
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"d", dir, volume) && NtfsCloseDir(dir));
    struct Row {
        const wchar_t* path;
        bool opens;
        std::vector<uint8_t> contents;
    };
    for (const Row& row : {Row{L"a:s", true, Pattern(50, 2)}, Row{L"\\a:S:$DATA", true, Pattern(50, 2)},
                           Row{L"A:s:$data", true, Pattern(50, 2)}, Row{L"a::$DATA", true, Pattern(100, 1)},
                           Row{L"a:", false, {}}, Row{L"a:t", false, {}}, Row{L"a:s:$INDEX_ALLOCATION", false, {}},
                           Row{L"b:s", false, {}}, Row{L"a:s\\x", false, {}}, Row{L"d:s", false, {}},
                           Row{L"a:s\\", true, Pattern(50, 2)}}) {
        SCOPED_TRACE(std::string(row.path, row.path + wcslen(row.path)));
        NtfsFileHandle file;
        ASSERT_EQ(NtfsOpenFile(row.path, file, volume), row.opens);
        if (row.opens) {
            EXPECT_TRUE(NtfsCloseFile(file) && Get(volume, row.path) == row.contents);
        }
    }
    // Creating a stream of an existing file adds the stream only; of a missing
    // file, the file too; a stream that is there, or a bad name, is refused.
    EXPECT_TRUE(Put(volume, L"a:t", Pattern(7, 3)));
    EXPECT_TRUE(Put(volume, L"new:u", Pattern(9, 4)));
    EXPECT_EQ(Get(volume, L"new"), std::vector<uint8_t>{});
    EXPECT_EQ(Get(volume, L"a"), Pattern(100, 1));
    for (const wchar_t* refused : {L"a:S", L"a:x*y", L"d:s", L"$MFT:s", L"a:s:$BITMAP"}) {
        NtfsFileHandle file;
        EXPECT_FALSE(NtfsCreateFile(refused, file, volume)) << std::string(refused, refused + wcslen(refused));
    }
    EXPECT_EQ(ListStreams(volume, L"a"), (Streams{{L"s", 50}, {L"t", 7}}));
    EXPECT_EQ(ListStreams(volume, L"a:t"), (Streams{{L"s", 50}, {L"t", 7}}));
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
}

TEST(Streams, StreamsLiveAcrossSessionsAndGoWithTheirFile) {
    MemoryDevice device = FormattedMemoryDevice(32ull << 20);
    struct Session {
        std::vector<std::pair<const wchar_t*, size_t>> writes;  // path, size (0: delete)
        Streams left;                                           // streams of "f" after the session
    };
    // Sizes cross the record: small streams stay resident, large ones take clusters.
    const std::vector<Session> sessions = {
        {{{L"f", 3000}, {L"f:small", 40}, {L"f:big", 300000}}, {{L"small", 40}, {L"big", 300000}}},
        {{{L"f:small", 90000}, {L"f:big", 12}, {L"f:third", 5000}}, {{L"small", 90000}, {L"big", 12}, {L"third", 5000}}},
        {{{L"f:big", 0}, {L"f:third", 700000}}, {{L"small", 90000}, {L"third", 700000}}},
        {{{L"f:small", 0}, {L"f:third", 0}}, {}},
    };
    std::map<std::wstring, std::vector<uint8_t>> expected;
    for (size_t index = 0; index < sessions.size(); ++index) {
        SCOPED_TRACE("session " + std::to_string(index));
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        for (const auto& [path, size] : sessions[index].writes) {
            NtfsFileHandle file;
            if (size == 0) {
                ASSERT_TRUE(NtfsOpenFile(path, file, volume) && NtfsDeleteFile(file));
                expected.erase(path);
                continue;
            }
            expected[path] = Pattern(size, static_cast<uint32_t>(index * 10 + size));
            ASSERT_TRUE(Put(volume, path, expected[path], !NtfsOpenFile(path, file, volume) || !NtfsCloseFile(file)));
        }
        for (const auto& [path, data] : expected) EXPECT_EQ(Get(volume, path.c_str()), data);
        EXPECT_EQ(ListStreams(volume, L"f"), sessions[index].left);
        ASSERT_TRUE(NtfsCloseVolume(volume));
        EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
    }
    // The file goes with its streams, also one open through a stream handle.
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    ASSERT_TRUE(Put(volume, L"f:again", Pattern(200000, 9)));
    NtfsFileHandle stream, file;
    ASSERT_TRUE(NtfsOpenFile(L"f:again", stream, volume) && NtfsOpenFile(L"f", file, volume));
    ASSERT_TRUE(NtfsDeleteFile(file));
    unsigned long long size = 0;
    EXPECT_FALSE(NtfsGetFileSize(size, stream));
    EXPECT_TRUE(NtfsCloseFile(stream));
    EXPECT_FALSE(NtfsOpenFile(L"f:again", stream, volume));
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
}
