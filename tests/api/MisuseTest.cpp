// The handle family under misuse. Each row is a call sequence a caller may make
// by mistake or on purpose; every call's result and failure line are checked,
// and afterwards the volume must hold exactly what the row expects, whole for
// libntfs-3g, ntfsfix and The Sleuth Kit, with no cluster or record leaked.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "InteropSupport.h"
#include "support/Ntfs3gTree.h"
#include "base/Bytes.h"
#include "base/Unicode.h"
#include "disk/RecordFormat.h"
#include "support/ImageEditor.h"
#include "disk/BootSector.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

const NtfsAttributesAndTime kStamp{0x01D5000000000011ull, 0x01D5000000000022ull, 0x01D5000000000033ull, 0x21};

// `pattern` with each '*' standing for any text.
bool Matches(const std::string& text, const std::string& pattern) {
    size_t star = pattern.find('*');
    if (star == std::string::npos) return text == pattern;
    if (text.compare(0, star, pattern, 0, star) != 0) return false;
    for (size_t at = star; at <= text.size(); ++at)
        if (Matches(text.substr(at), pattern.substr(star + 1))) return true;
    return false;
}

// Points the $FILE_NAME of `record` (in the MFT's first extent, where a fresh
// volume keeps its records) at `parent`; returns the parent it named before.
uint64_t SetParentOf(MemoryDevice& device, uint64_t record, uint64_t parent) {
    using namespace volcore;
    std::vector<uint8_t>& bytes = device.Bytes();
    CByteReader boot(bytes.data(), kBootSectorSize);
    uint64_t cluster = uint64_t{boot.U16(BootField::BytesPerSector)} * boot.U8(BootField::SectorsPerCluster);
    ImageEditor editor(bytes, boot.U64(BootField::MftLcn) * cluster + record * 1024, 1024);
    EXPECT_EQ(editor.Field(FileRecord::RecordNumber, 4), record);
    for (size_t attribute = editor.Field(FileRecord::FirstAttribute, 2);
         editor.Field(attribute + AttrRecord::Type, 4) != 0xFFFFFFFF;
         attribute += editor.Field(attribute + AttrRecord::Length, 4)) {
        if (editor.Field(attribute + AttrRecord::Type, 4) != AttrType::FileName) continue;
        size_t field = attribute + editor.Field(attribute + AttrRecord::ValueOffset, 2) + FileNameValue::ParentReference;
        uint64_t before = editor.Field(field, 8);
        editor.SetField(field, 8, (before & ~kRecordNumberMask) | parent);
        return before & kRecordNumberMask;
    }
    ADD_FAILURE() << "record " << record << " has no name";
    return 0;
}

#define OK(call) s.Check(#call, (call), "")
#define FAILS(call, error) s.Check(#call, (call), error)

struct Session {
    explicit Session(MemoryDevice& device) : device(device) {}

    MemoryDevice& device;
    NtfsVolumeHandle volume;
    Tree expected;  // what the volume holds once the row is done
    LogCapture log;
    size_t seen = 0;

    // One exported call: its result and the one Error line it left ("" when it must work).
    void Check(const char* call, bool ok, const std::string& error) {
        std::vector<std::string> errors = log.Errors();
        std::string added;
        for (size_t i = seen; i < errors.size(); ++i) added += (added.empty() ? "" : "\n") + errors[i];
        EXPECT_EQ(ok, error.empty()) << call;
        EXPECT_EQ(errors.size() - seen, error.empty() ? 0u : 1u) << call << "\n" << added;
        EXPECT_TRUE(added.empty() ? error.empty() : Matches(added, error)) << call << "\n   got: " << added << "\n  want: " << error;
        seen = errors.size();
    }

    NtfsFileHandle NewFile(const wchar_t* path, const Bytes& contents) {
        Session& s = *this;
        NtfsFileHandle file;
        OK(NtfsCreateFile(path, file, volume));
        OK(SetFileSize(contents.size(), file));
        if (!contents.empty()) OK(NtfsWriteFile(0, contents.data(), static_cast<unsigned>(contents.size()), file));
        expected[volcore::WideToUtf16(path)] = contents;
        return file;
    }
    void AddFile(const wchar_t* path, const Bytes& contents) {
        NtfsFileHandle file = NewFile(path, contents);
        Check("close", NtfsCloseFile(file), "");
    }
    NtfsFileHandle Open(const wchar_t* path) {
        NtfsFileHandle file;
        Check("open", NtfsOpenFile(path, file, volume), "");
        return file;
    }
    NtfsDirHandle NewDir(const wchar_t* path) {
        NtfsDirHandle dir;
        Check("create", NtfsCreateDir(path, dir, volume), "");
        expected[volcore::WideToUtf16(path)] = std::nullopt;
        return dir;
    }
    NtfsDirHandle OpenDir(const wchar_t* path) {
        NtfsDirHandle dir;
        Check("open", NtfsOpenDir(path, dir, volume), "");
        return dir;
    }

    void EveryFileCallFails(NtfsFileHandle file, const std::string& reason) {
        Session& s = *this;
        char byte = 0;
        unsigned long long size = 0;
        NtfsAttributesAndTime values;
        FAILS(NtfsReadFile(0, &byte, 1, file), "Failed to read from NTFS file (offset 0, length 1): " + reason);
        FAILS(NtfsWriteFile(0, &byte, 1, file), "Failed to write to NTFS file (offset 0, length 1): " + reason);
        FAILS(SetFileSize(1, file), "Failed to resize NTFS file (new size 1): " + reason);
        FAILS(SetFileAttributesAndTime(kStamp, file), "Failed to change attributes and file times of a NTFS file: " + reason);
        FAILS(NtfsGetFileSize(size, file), "Failed to get size of NTFS file: " + reason);
        FAILS(GetFileAttributesAndTime(values, file), "Failed to read attributes and file times of a NTFS file: " + reason);
        FAILS(NtfsMoveFile(L"moved", false, file), "Failed to move NTFS file to 'moved': " + reason);
        FAILS(NtfsCreateHardLink(L"linked", file), "Failed to create hard link 'linked': " + reason);
        FAILS(NtfsDeleteFile(file), "Failed to delete NTFS file: '" + reason + "'");  // and the handle stays to be closed
    }
    void EveryDirCallFails(NtfsDirHandle dir, const std::string& reason) {
        Session& s = *this;
        NtfsAttributesAndTime values;
        FAILS(SetDirAttributesAndTime(kStamp, dir), "Failed to change attributes and file times of a NTFS directory: " + reason);
        FAILS(GetDirAttributesAndTime(values, dir), "Failed to read attributes and file times of a NTFS directory: " + reason);
        FAILS(NtfsEnumDir(dir, [](const NtfsDirEntry&, void*) { return true; }, nullptr),
              "Failed to enumerate NTFS directory: " + reason);
        FAILS(NtfsMoveDir(L"moved", false, dir), "Failed to move NTFS directory to 'moved': " + reason);
        FAILS(NtfsDeleteDir(dir), "Failed to delete NTFS directory: " + reason);
    }
};

struct Row {
    const char* name;
    void (*run)(Session& s);
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const Row kRows[] = {
    {"StaleHandlesFailAndNeverReachTheRecordsNextObject",
     [](Session& s) {
         s.AddFile(L"x.bin", Pattern(5000, 3));
         NtfsFileHandle a = s.Open(L"x.bin");
         NtfsFileHandle b = s.Open(L"x.bin");
         uint64_t record = ListThroughHandles(s.volume, u"").at(u"x.bin");
         OK(NtfsDeleteFile(a));
         EXPECT_EQ(a.ptr, nullptr);
         s.expected.erase(u"x.bin");
         NtfsFileHandle y = s.NewFile(L"y.bin", Pattern(100, 4));
         EXPECT_EQ(ListThroughHandles(s.volume, u"").at(u"y.bin"), record) << "the new file takes the freed record";
         s.EveryFileCallFails(b, "FS object * (x.bin) is deleted");
         OK(NtfsCloseFile(b));
         OK(NtfsCloseFile(y));

         NtfsDirHandle dirA = s.NewDir(L"d");
         NtfsDirHandle dirB = s.OpenDir(L"D");
         NtfsFileHandle asFile = s.Open(L"d");
         OK(NtfsDeleteDir(dirA));
         s.expected.erase(u"d");
         s.EveryDirCallFails(dirB, "FS object * (d) is deleted");
         s.EveryFileCallFails(asFile, "FS object * (d) is deleted");
         OK(NtfsCloseDir(dirB));
         OK(NtfsCloseFile(asFile));
         NtfsFileHandle inside;
         FAILS(NtfsCreateFile(L"d\\x", inside, s.volume), "Failed to create NTFS file 'd\\x': Entry d doesn't exist");
     }},
    {"SystemEntriesAreNeitherDeletedNorChanged",
     [](Session& s) {
         // $MFT stays open while the files below make the MFT grow: a stamped
         // copy of record 0 written back at its close would lose them all.
         NtfsFileHandle mft = s.Open(L"$MFT");
         NtfsDirHandle many = s.NewDir(L"many");
         OK(NtfsCloseDir(many));
         for (int i = 0; i < 70; ++i) s.AddFile((L"many\\f" + std::to_wstring(i)).c_str(), Pattern(10, i));
         for (auto [path, record] : {std::pair{L"$MFT", 0}, {L"$Volume", 3}, {L"$Bitmap", 6}, {L"$Boot", 7},
                                     {L"$Extend", 11}, {L"$Extend\\$Reparse", 26}}) {
             NtfsFileHandle file = record == 0 ? mft : s.Open(path);
             const std::string entry = "system entry " + std::to_string(record);
             FAILS(NtfsDeleteFile(file), "Failed to delete NTFS file: 'Cannot delete " + entry + "'");
             FAILS(SetFileAttributesAndTime(kStamp, file),
                   "Failed to change attributes and file times of a NTFS file: Cannot change " + entry);
             if (record != 11) {  // $Extend, a directory, is refused as such by the file calls below
                 FAILS(NtfsMoveFile(L"moved", false, file), "Failed to move NTFS file to 'moved': Cannot change " + entry);
                 FAILS(NtfsCreateHardLink(L"linked", file), "Failed to create hard link 'linked': Cannot change " + entry);
                 FAILS(NtfsWriteFile(0, "x", 1, file), "Failed to write to NTFS file (offset 0, length 1): Cannot change " + entry);
                 FAILS(SetFileSize(1, file), "Failed to resize NTFS file (new size 1): Cannot change " + entry);
             }
             unsigned long long size = 0;
             OK(NtfsGetFileSize(size, file));  // a failed delete leaves the object open
             if (record != 0) OK(NtfsCloseFile(file));
         }
         char signature[4] = {};
         OK(NtfsReadFile(0, signature, 4, mft));
         EXPECT_EQ(std::string(signature, 4), "FILE");
         OK(NtfsCloseFile(mft));
         NtfsDirHandle extend = s.OpenDir(L"$Extend");
         FAILS(SetDirAttributesAndTime(kStamp, extend),
               "Failed to change attributes and file times of a NTFS directory: Cannot change system entry 11");
         OK(NtfsCloseDir(extend));
         NtfsDirHandle root = s.OpenDir(L"\\\\");
         FAILS(NtfsDeleteDir(root), "Failed to delete NTFS directory: Cannot delete system entry 5");
         OK(SetDirAttributesAndTime(kStamp, root));  // every holder of the root shares one object
         OK(NtfsCloseDir(root));
         NtfsDirHandle d = s.NewDir(L"d");
         s.AddFile(L"d\\child", Pattern(10, 5));
         FAILS(NtfsDeleteDir(d), "Failed to delete NTFS directory: Cannot delete directory d: directory is not empty");
         OK(SetDirAttributesAndTime(kStamp, d));
         OK(NtfsCloseDir(d));
         NtfsFileHandle asFile = s.Open(L"d");
         FAILS(SetFileSize(1, asFile), "Failed to resize NTFS file (new size 1): Entry d is a directory");
         FAILS(NtfsDeleteFile(asFile), "Failed to delete NTFS file: 'Cannot delete directory d as a file'");
         OK(NtfsCloseFile(asFile));
     }},
    {"ASelfParentedDirectoryIsReportedAsSuch",
     [](Session& s) {
         NtfsDirHandle made = s.NewDir(L"loop");
         OK(NtfsCloseDir(made));
         uint64_t record = ListThroughHandles(s.volume, u"").at(u"loop") & 0xFFFFFFFFFFFFull;
         OK(NtfsCloseVolume(s.volume));
         uint64_t parent = SetParentOf(s.device, record, record);
         ASSERT_TRUE(NtfsOpenVolume(s.device.Api(), s.volume));
         NtfsDirHandle loop = s.OpenDir(L"loop");
         const std::string itself = "Entry " + std::to_string(record) + " references itself";
         FAILS(NtfsDeleteDir(loop), "Failed to delete NTFS directory: " + itself);
         FAILS(SetDirAttributesAndTime(kStamp, loop), "Failed to change attributes and file times of a NTFS directory: " + itself);
         OK(NtfsCloseDir(loop));
         OK(NtfsCloseVolume(s.volume));
         SetParentOf(s.device, record, parent);  // the readers below judge the rest of the volume
     }},
    {"DoubleClosesAndStaleCopiesFailCleanly",
     [](Session& s) {
         NtfsFileHandle f = s.NewFile(L"f", Pattern(10, 6));
         NtfsFileHandle copy = f;
         OK(NtfsCloseFile(f));
         EXPECT_EQ(f.ptr, nullptr);
         FAILS(NtfsCloseFile(copy), "Failed to close NTFS file: 'Invalid file handle'");
         s.EveryFileCallFails(copy, "Invalid file handle");
         NtfsDirHandle d = s.NewDir(L"d");
         NtfsFileHandle dirAsFileHandle{d.ptr};
         FAILS(NtfsCloseFile(dirAsFileHandle), "Failed to close NTFS file: 'Invalid file handle'");
         NtfsDirHandle dirCopy = d;
         OK(NtfsCloseDir(d));
         FAILS(NtfsCloseDir(dirCopy), "Failed to close NTFS directory: Invalid directory handle");
         s.EveryDirCallFails(dirCopy, "Invalid directory handle");
     }},
    {"TheVolumeStaysOpenWhileHandlesAre",
     [](Session& s) {
         NtfsDirHandle d = s.NewDir(L"d");
         NtfsDirHandle empty = s.NewDir(L"d\\empty");
         NtfsFileHandle f = s.NewFile(L"d\\f", Pattern(100, 7));
         NtfsVolumeHandle copy = s.volume;
         FAILS(NtfsCloseVolume(s.volume), "Failed to close NTFS volume: 3 file or directory handle(s) still open");
         EXPECT_EQ(s.volume.ptr, copy.ptr);

         // Every handle still works.
         Bytes grown = Pattern(9000, 8);
         OK(SetFileSize(grown.size(), f));
         OK(NtfsWriteFile(0, grown.data(), static_cast<unsigned>(grown.size()), f));
         OK(SetDirAttributesAndTime(kStamp, d));
         int listed = 0;  // the listing stops when the callback says so
         OK(NtfsEnumDir(d, [](const NtfsDirEntry&, void* n) { return ++*static_cast<int*>(n) == 0; }, &listed));
         EXPECT_EQ(listed, 1);
         OK(NtfsDeleteDir(empty));
         OK(NtfsCloseFile(f));
         OK(NtfsCloseDir(d));
         s.expected.erase(u"d\\empty");
         s.expected[u"d\\f"] = grown;
         OK(NtfsCloseVolume(s.volume));

         FAILS(NtfsCloseVolume(copy), "Failed to close NTFS volume: Invalid volume handle");
         NtfsFileHandle file{reinterpret_cast<void*>(0x1234)};
         NtfsDirHandle dir{reinterpret_cast<void*>(0x1234)};
         FAILS(NtfsCreateFile(L"\u00e9", file, copy), "Failed to create NTFS file '\xC3\xA9': Invalid volume handle");
         FAILS(NtfsOpenDir(L"d", dir, copy), "Failed to open NTFS directory 'd': Invalid volume handle");
         EXPECT_EQ(file.ptr, reinterpret_cast<void*>(0x1234));
         EXPECT_EQ(dir.ptr, reinterpret_cast<void*>(0x1234));
     }},
    {"HandlesOfAClosedVolumeReachNothingOfTheVolumesOpenedAfterIt",
     [](Session& s) {
         NtfsFileHandle f = s.NewFile(L"f", Pattern(10, 12));
         const NtfsFileHandle stale = f;
         NtfsVolumeHandle staleVolume = s.volume;
         OK(NtfsCloseFile(f));
         OK(NtfsCloseVolume(s.volume));
         // Enough sessions that one takes the closed volume's place, each
         // holding a file handle opened just as the stale one was.
         for (int session = 0; session < 200; ++session) {
             ASSERT_TRUE(NtfsOpenVolume(s.device.Api(), s.volume));
             NtfsFileHandle live = s.Open(L"f");
             s.EveryFileCallFails(stale, "Invalid file handle");
             FAILS(NtfsCloseVolume(staleVolume), "Failed to close NTFS volume: Invalid volume handle");
             NtfsVolumeHandle fileAsVolume{live.ptr};
             FAILS(NtfsCloseVolume(fileAsVolume), "Failed to close NTFS volume: Invalid volume handle");
             NtfsFileHandle forged{reinterpret_cast<void*>(~uintptr_t{0})};
             FAILS(NtfsCloseFile(forged), "Failed to close NTFS file: 'Invalid file handle'");
             OK(NtfsCloseFile(live));
             OK(NtfsCloseVolume(s.volume));
         }
     }},
    {"AFailedCloseStillReleasesItsHandle",
     [](Session& s) {
         NtfsDirHandle d = s.NewDir(L"d");
         NtfsFileHandle f = s.NewFile(L"d\\f", Pattern(10, 10));
         s.device.failWrite = [](uint64_t, uint32_t) { return true; };
         FAILS(NtfsCloseFile(f), "Failed to close NTFS file: 'Changes to file f (*) were not written: Device write failed*'");
         EXPECT_EQ(f.ptr, nullptr);
         OK(NtfsCloseDir(d));  // the volume's cache still holds the directory
         FAILS(NtfsCloseVolume(s.volume), "Failed to close NTFS volume: Device write failed*");
         EXPECT_EQ(s.volume.ptr, nullptr);
         s.device.failWrite = nullptr;
         s.expected[u"d\\f"] = Bytes{};  // created, but its contents never reached the disk
     }},
    {"ACallbackMayChangeTheDirectoryItWalks",
     [](Session& s) {
         NtfsDirHandle walked = s.NewDir(L"w");
         for (const wchar_t* path : {L"w\\a", L"w\\b", L"w\\c", L"w\\d"})
             s.AddFile(path, Pattern(10, path[2]));
         struct Walk { Session& s; NtfsDirHandle& walked; int seen = 0; } walk{s, walked};
         // The first call closes the walked handle, tries to close the volume
         // and adds a name before the current one; every call deletes the
         // entry it was given.
         OK(NtfsEnumDir(
             walked,
             [](const NtfsDirEntry& entry, void* context) {
                 Walk& walk = *static_cast<Walk*>(context);
                 Session& s = walk.s;
                 if (walk.seen++ == 0) {
                     OK(NtfsCloseDir(walk.walked));
                     FAILS(NtfsCloseVolume(s.volume), "Failed to close NTFS volume: 1 file or directory handle(s) still open");
                     s.AddFile(L"w\\0", Pattern(5, 11));
                 }
                 std::wstring path = std::wstring(L"w\\") + entry.name;
                 NtfsFileHandle file = s.Open(path.c_str());
                 OK(NtfsDeleteFile(file));
                 s.expected.erase(volcore::WideToUtf16(path));
                 return true;
             },
             &walk));
         EXPECT_EQ(walk.seen, 4);
         EXPECT_EQ(walked.ptr, nullptr);
     }},
};

// Whole for every reader, holding exactly `expected`; once libntfs-3g removed
// all of it, every cluster and record is free again (but for the growth of $MFT).
void ExpectWholeVolume(const MemoryDevice& device, const Tree& expected) {
    TempDir dir;
    WriteFileBytes(dir.File("fresh.img"), PristineImage());
    device.SaveToFile(dir.File("row.img"));
    ExpectEveryReaderAgrees(dir.File("row.img"), expected);
    {
        Ntfs3gTree tree(dir.File("row.img"), false);
        for (auto item = expected.rbegin(); item != expected.rend(); ++item) tree.Remove(item->first);
    }
    EXPECT_EQ(Ntfs3gTree(dir.File("row.img"), true).SpaceInUse(), Ntfs3gTree(dir.File("fresh.img"), true).SpaceInUse());
}

class Misuse : public ::testing::TestWithParam<Row> {};

}  // namespace

TEST_P(Misuse, NoCallSequenceCrashesLosesDataOrDamagesTheVolume) {
    if (!HaveProgram("mkntfs") || !HaveProgram("fls") || !HaveProgram("ntfsfix"))
        GTEST_SKIP() << "mkntfs, fls or ntfsfix is missing";
    MemoryDevice device(PristineImage());
    Session s(device);
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), s.volume));
    GetParam().run(s);
    if (s.volume.ptr) OK(NtfsCloseVolume(s.volume));
    ExpectWholeVolume(device, s.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, Misuse, ::testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });
