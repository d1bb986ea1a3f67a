// Writing sessions one after another on one volume, as every user runs them:
// each session must find every file the earlier ones left, and the volume must
// stay clean for our check and for a real fsck after each of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
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
    // Changed after their close, which keeps their records in memory: the
    // first file resized and rewritten, the second deleted and made again.
    for (int i = 0; i < std::min(count, 2); ++i) {
        const std::u16string path = U16("s" + std::to_string(session) + "\\f" + std::to_string(i));
        files[path] = Pattern(100, static_cast<uint32_t>(session * 7 + i));
        NtfsFileHandle file;
        ASSERT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(path).c_str(), file, volume));
        ASSERT_TRUE(i == 0 ? SetFileSize(100, file) && NtfsWriteFile(0, files[path].data(), 100, file) && NtfsCloseFile(file)
                           : NtfsDeleteFile(file));
        if (i == 1) WriteThroughHandles(volume, path, files[path]);
    }
    ExpectEveryFile(volume, files);
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

// On a volume without a free cluster, a change that needs a new index block
// fails; nothing of it may stay behind for a later save to write (a name of
// a record freed again), and once space is freed every change works again.
TEST(Sessions, AFullVolumeRefusesChangesWithoutATraceAndTakesThemOnceSpaceIsFreed) {
    MemoryDevice device = FormattedMemoryDevice(64ull << 20);
    std::map<std::u16string, std::set<std::u16string>> expected;  // directory -> names
    const auto create = [&](NtfsVolumeHandle volume, const std::u16string& directory, const std::string& name) {
        NtfsFileHandle file;
        const std::u16string path = Child(directory, U16(name));
        if (!NtfsCreateFile(volcore::Utf16ToWide(path).c_str(), file, volume)) return false;
        expected[directory].insert(U16(name));
        return NtfsCloseFile(file);
    };
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    NtfsDirHandle dir;
    ASSERT_TRUE(NtfsCreateDir(L"\\big", dir, volume) && NtfsCloseDir(dir));
    for (int i = 0; i < 3000; ++i) ASSERT_TRUE(create(volume, u"big", "a-fairly-long-name-" + std::to_string(i)));
    NtfsFileHandle fill;
    ASSERT_TRUE(create(volume, u"", "fill") && NtfsOpenFile(L"\\fill", fill, volume));
    uint64_t size = 0;
    for (uint64_t step = 1 << 20; step >= 512;) (SetFileSize(size + step, fill) ? size += step : step /= 2);
    ASSERT_TRUE(NtfsCloseFile(fill));
    // The small files take the last records' room; the creates after them need blocks.
    for (const std::u16string directory : {u"", u"big"}) {
        int failed = 0;
        for (int i = 0; failed < 20 && i < 2000; ++i) failed += create(volume, directory, "late-" + std::to_string(i)) ? 0 : 1;
        EXPECT_GT(failed, 0) << "the volume never filled up";
    }
    NtfsFileHandle linked;  // a new name of an old file takes the same way in
    ASSERT_TRUE(NtfsOpenFile(L"\\big\\a-fairly-long-name-7", linked, volume));
    for (int i = 0; i < 20; ++i)
        if (NtfsCreateHardLink((L"\\big\\link-" + std::to_wstring(i)).c_str(), linked))
            expected[u"big"].insert(U16("link-" + std::to_string(i)));
    ASSERT_TRUE(NtfsCloseFile(linked));
    int deleted = 0;
    for (int i = 0; i < 3000; i += 29) {
        const std::string name = "a-fairly-long-name-" + std::to_string(i);
        NtfsFileHandle file;
        ASSERT_TRUE(NtfsOpenFile(volcore::Utf16ToWide(Child(u"big", U16(name))).c_str(), file, volume));
        if (NtfsDeleteFile(file) && ++deleted) expected[u"big"].erase(U16(name));
        else ASSERT_TRUE(NtfsCloseFile(file));
    }
    EXPECT_GT(deleted, 50) << "a directory's blocks are written in place when no cluster is left for copies";
    ASSERT_TRUE(NtfsCloseVolume(volume));
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    ASSERT_TRUE(NtfsOpenFile(L"\\fill", fill, volume) && NtfsDeleteFile(fill));
    expected[u""].erase(u"fill");
    for (const std::u16string directory : {u"", u"big"})
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(create(volume, directory, "after-" + std::to_string(i)));
    ASSERT_TRUE(NtfsCloseVolume(volume));
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    for (const auto& [directory, names] : expected) {
        std::set<std::u16string> listed;
        for (const auto& [name, record] : ListThroughHandles(volume, directory))
            if (name[0] != u'$' && name != u"big") listed.insert(name);
        EXPECT_TRUE(listed == names) << Utf8(directory) << ": " << listed.size() << " listed, " << names.size() << " made";
    }
    ASSERT_TRUE(NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
    TempDir temp;
    device.SaveToFile(temp.File("full.img"));
    EXPECT_TRUE(NtfsckAccepts(temp.File("full.img")));
}
