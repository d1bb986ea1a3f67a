// Writing sessions one after another on one volume, as every user runs them:
// each session must find every file the earlier ones left, and the volume must
// stay clean for our check and for a real fsck after each of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "disk/RecordFormat.h"
#include "support/EngineVolume.h"
#include "support/ImageEditor.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore;
using namespace volcore::test;

namespace {

using Contents = std::map<std::u16string, Bytes>;

void Remove(NtfsVolumeHandle volume, const std::wstring& directory, const Contents& files) {
    for (const auto& [path, data] : files) {
        NtfsFileHandle file;
        ASSERT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(path).c_str(), file, volume) && NtfsDeleteFile(file));
    }
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsOpenDir(directory.c_str(), dir, volume) && NtfsDeleteDir(dir));
}

void ExpectEveryFile(NtfsVolumeHandle volume, const Contents& files) {
    for (const auto& [path, data] : files) EXPECT_EQ(ReadThroughHandles(volume, path), data) << Utf8(path);
}

// One session: every file the earlier ones left reads back, and a directory
// of `count` new files is written; from the third session on the oldest
// directory still there goes, so records are freed and reused.
void RunSession(MemoryDevice& device, int session, int count, std::vector<Contents>& sessions) {
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    for (const Contents& earlier : sessions) ExpectEveryFile(volume, earlier);
    std::wstring directory = L"\\s" + std::to_wstring(session);
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(directory.c_str(), dir, volume) && NtfsCloseDir(dir));
    Contents files;
    for (int i = 0; i < count; ++i) {
        const std::u16string path = U16("s" + std::to_string(session) + "\\f" + std::to_string(i));
        files[path] = Pattern(static_cast<size_t>((i * 397) % 3000), static_cast<uint32_t>(session * 100000 + i));
        WriteThroughHandles(volume, path, files[path]);
    }
    if (session >= 2 && !sessions.empty()) {
        Remove(volume, L"\\s" + std::to_wstring(session - 2), sessions.front());
        sessions.erase(sessions.begin());
    }
    sessions.push_back(files);
    ASSERT_TRUE(NtfsCloseVolume(volume));
}

}  // namespace

TEST(Sessions, WritingSessionsInARowKeepEveryFileAndLeaveTheVolumeClean) {
    struct Row {
        int sessions, filesPerSession;
    };
    for (const Row& row : {Row{10, 10}, Row{3, 300}, Row{2, 2500}}) {
        SCOPED_TRACE(std::to_string(row.sessions) + " sessions of " + std::to_string(row.filesPerSession) + " files");
        MemoryDevice device = FormattedMemoryDevice(64ull << 20);
        std::vector<Contents> sessions;
        // The last session finds what the others left and adds an empty directory.
        for (int session = 0; session <= row.sessions; ++session) {
            RunSession(device, session, session < row.sessions ? row.filesPerSession : 0, sessions);
            EXPECT_TRUE(CheckVolume(device.Api()).Clean())
                << "after session " << session << "\n" << CheckVolume(device.Api()).Describe();
        }
        if (NtfsckPath().empty()) {
            std::cout << "[  SKIPPED ] ntfsck is not at hand: only our check judged the volume\n";
            continue;
        }
        TempDir dir;
        device.SaveToFile(dir.File("sessions.img"));
        EXPECT_TRUE(NtfsckAccepts(dir.File("sessions.img")));
    }
}

// Older sessions (ours before the fix, or any implementation that wrote bits
// past the MFT bitmap's initialized size) leave live records that read as
// free: a new session must not hand them out again.
TEST(Sessions, RecordsInUseThatTheBitmapCallsFreeAreNeverHandedOut) {
    EngineVolume image(ImageOptions{}, ELoadDepth::BootSector);
    std::vector<Contents> sessions;
    RunSession(image.Device(), 0, 200, sessions);
    for (bool mirror : {false, true}) {
        ImageEditor record(image.Bytes(), image.RecordOffset(0, mirror), 1024);
        uint64_t at = record.Field(FileRecord::FirstAttribute, 2);
        while (record.Field(at + AttrRecord::Type, 4) != AttrType::Bitmap) at += record.Field(at + AttrRecord::Length, 4);
        record.SetField(at + AttrRecord::InitializedSize, 8, 8);  // the bits of records 64 on read as zeros
    }
    RunSession(image.Device(), 1, 200, sessions);
    RunSession(image.Device(), 2, 0, sessions);  // finds both sessions' files
    EXPECT_TRUE(CheckVolume(image.Device().Api()).Clean()) << CheckVolume(image.Device().Api()).Describe();
}

namespace {

// A file changed after it was opened and closed: opened again, in the same
// session and in the next, it shows the change, never what it was at its close.
struct SReopenRow {
    const char* change;
    std::function<void(NtfsVolumeHandle)> apply;
    // The contents at \d\f (nullopt: no file there), and which name holds them.
    std::optional<Bytes> expected;
    const wchar_t* holder = L"\\d\\f";
};

bool OnHandle(NtfsVolumeHandle volume, const wchar_t* path, const std::function<bool(NtfsFileHandle&)>& act) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path, file, volume)) return false;
    bool done = act(file);
    return (file.ptr == nullptr || NtfsCloseFile(file)) && done;
}

std::optional<Bytes> ReadIfThere(NtfsVolumeHandle volume, const wchar_t* path) {
    NtfsFileHandle file;
    if (!NtfsOpenFile(path, file, volume)) return std::nullopt;
    EXPECT_TRUE(NtfsCloseFile(file));
    return ReadThroughHandles(volume, volcore::WideToUtf16(path));
}

}  // namespace

TEST(Sessions, AFileOpenedAgainShowsEveryChangeSinceItsClose) {
    const Bytes first = Pattern(3000, 7), other = Pattern(700, 8);
    Bytes written = first, grown = first, shrunk(first.begin(), first.begin() + 500);
    std::fill(written.begin() + 100, written.begin() + 200, uint8_t{0xAB});
    grown.resize(9000);
    const NtfsAttributesAndTime stamps{0x01D0000000000000ull, 0x01D1000000000000ull, 0x01D2000000000000ull, 0x21};
    const std::vector<SReopenRow> rows = {
        {"write", [&](NtfsVolumeHandle v) {
             EXPECT_TRUE(OnHandle(v, L"\\d\\f", [&](NtfsFileHandle& f) { return NtfsWriteFile(100, written.data() + 100, 100, f); }));
         }, written},
        {"grow", [](NtfsVolumeHandle v) { EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return SetFileSize(9000, f); })); }, grown},
        {"shrink", [](NtfsVolumeHandle v) { EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return SetFileSize(500, f); })); }, shrunk},
        {"delete", [](NtfsVolumeHandle v) { EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return NtfsDeleteFile(f); })); }, std::nullopt},
        {"delete, then create under the same name", [&](NtfsVolumeHandle v) {
             EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return NtfsDeleteFile(f); }));
             WriteThroughHandles(v, u"d\\f", other);
         }, other},
        {"rename", [](NtfsVolumeHandle v) { EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return NtfsMoveFile(L"\\d\\g", false, f); })); },
         first, L"\\d\\g"},
        {"link, then delete the first name", [](NtfsVolumeHandle v) {
             EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return NtfsCreateHardLink(L"\\d\\h", f); }));
             EXPECT_TRUE(OnHandle(v, L"\\d\\f", [](NtfsFileHandle& f) { return NtfsDeleteFile(f); }));
         }, first, L"\\d\\h"},
        {"stamps", [&](NtfsVolumeHandle v) {
             EXPECT_TRUE(OnHandle(v, L"\\d\\f", [&](NtfsFileHandle& f) { return SetFileAttributesAndTime(stamps, f); }));
         }, first},
    };
    for (const SReopenRow& row : rows) {
        SCOPED_TRACE(row.change);
        MemoryDevice device = FormattedMemoryDevice(16ull << 20);
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        NtfsDirHandle dir;
        ASSERT_TRUE(NtfsCreateDir(L"\\d", dir, volume) && NtfsCloseDir(dir));
        WriteThroughHandles(volume, u"d\\f", first);
        EXPECT_EQ(ReadThroughHandles(volume, u"d\\f"), first);
        row.apply(volume);
        for (int session = 0; session < 2; ++session) {
            SCOPED_TRACE(session == 0 ? "same session" : "next session");
            EXPECT_EQ(ReadIfThere(volume, row.holder), row.expected);
            if (row.holder != std::wstring_view(L"\\d\\f")) {
                EXPECT_EQ(ReadIfThere(volume, L"\\d\\f"), std::nullopt);
            }
            if (row.change == std::string_view("stamps")) {
                NtfsAttributesAndTime read;
                EXPECT_TRUE(OnHandle(volume, L"\\d\\f", [&](NtfsFileHandle& f) { return GetFileAttributesAndTime(read, f); }));
                EXPECT_EQ(read.lastWriteTime, stamps.lastWriteTime);
                EXPECT_EQ(read.attributes, stamps.attributes);
            }
            ASSERT_TRUE(NtfsCloseVolume(volume));
            if (session == 0) {
                ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
            }
        }
        EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
        if (NtfsckPath().empty()) continue;
        TempDir temp;
        device.SaveToFile(temp.File("reopen.img"));
        EXPECT_TRUE(NtfsckAccepts(temp.File("reopen.img")));
    }
    if (NtfsckPath().empty()) std::cout << "[  SKIPPED ] ntfsck is not at hand: only our check judged the volumes\n";
}
