// What the engine writes into files and records, checked by independent
// implementations: entries that outgrow their record, data whose valid length
// is below its size, sparse and empty data, a file larger than any free run,
// sessions that only read, and the dirty flag of a session that writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "InteropSupport.h"
#include "support/Ntfs3gTree.h"
#include "api/Boundary.h"
#include "api/HandleTable.h"
#include "base/Unicode.h"
#include "entries/File.h"
#include "index/Directory.h"
#include "ntfs3g/Ntfs3g.h"
#include "support/EngineVolume.h"
#include "support/FamilyDevice.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/VolumeCheck.h"
#include "volkit/filesystem.h"
#include "volume/Fixups.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

using Files = std::map<std::u16string, Bytes>;

NtfsFileHandle OpenFile(NtfsVolumeHandle volume, const std::u16string& path, bool create = false) {
    NtfsFileHandle file;
    std::wstring wide = volcore::Utf16ToWide(path);
    EXPECT_TRUE(create ? NtfsCreateFile(wide.c_str(), file, volume) : NtfsOpenFile(wide.c_str(), file, volume));
    return file;
}

void Add(Bytes& contents, const Bytes& bytes) { contents.insert(contents.end(), bytes.begin(), bytes.end()); }

void Append(NtfsFileHandle file, Bytes& contents, const Bytes& bytes) {
    EXPECT_TRUE(SetFileSize(contents.size() + bytes.size(), file));
    EXPECT_TRUE(NtfsWriteFile(contents.size(), bytes.data(), static_cast<unsigned>(bytes.size()), file));
    Add(contents, bytes);
}

// Reads every file in and below the directory through the handle family.
void ReadEverything(NtfsVolumeHandle volume, const std::u16string& path) {
    auto engine = volcore::HandleObject<volcore::CVolume>(volume.ptr, "volume");
    std::shared_ptr<volcore::CDirectory> directory = volcore::CDirectory::OpenByPath(*engine, path);
    std::vector<std::pair<std::u16string, bool>> children;
    directory->ForEachEntry([&](std::u16string_view name, const volcore::SIndexEntryValue& value) {
        if (name != u"." && value.nameSpace != volcore::FileNameValue::NameSpaceDos)
            children.emplace_back(name, (value.fileAttributes & volcore::kFileAttributeDirectoryIndex) != 0);
        return true;
    });
    for (const auto& [name, isDirectory] : children) {
        if (isDirectory) ReadEverything(volume, Child(path, name));
        else ReadThroughHandles(volume, Child(path, name));
    }
}

class EngineData : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("icat") || !HaveProgram("ntfsfix")) GTEST_SKIP() << "checkers missing";
        ImageOptions options;
        options.size = 64ull << 20;
        MakeNtfsImage(Image(), options);
    }
    std::string Image() const { return m_dir.File("v.img"); }

    // One session of the handle family, whose error lines it returns; the
    // image is stored after a clean close.
    std::vector<std::string> Session(const std::function<void(NtfsVolumeHandle)>& work,
                                     std::vector<std::string>* warnings = nullptr) {
        LogCapture log;
        MemoryDevice device = MemoryDevice::FromFile(Image());
        NtfsVolumeHandle volume;
        EXPECT_TRUE(NtfsOpenVolume(device.Api(), volume));
        work(volume);
        EXPECT_TRUE(NtfsCloseVolume(volume));
        device.SaveToFile(Image());
        if (warnings) *warnings = log.Texts(2);
        return log.Errors();
    }

    // ntfsfix finds nothing, and libntfs-3g, The Sleuth Kit and the engine read
    // every file of the root as `files` has it. Returns the root's record numbers.
    std::map<std::u16string, uint64_t> ExpectEveryReaderAgrees(const Files& files) {
        CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(Image()));
        EXPECT_TRUE(fix.exitCode == 0 && fix.output.find("rror") == std::string::npos) << fix.output;
        MemoryDevice image = MemoryDevice::FromFile(Image());
        CheckOutcome check = CheckVolume(image.Api());
        // Directories saved as chains of index blocks are reported unbalanced; nothing else may be.
        for (const std::string& line : check.damage) EXPECT_EQ(line.rfind("index-balance", 0), 0u) << line;
        EXPECT_TRUE(check.ran && check.leaks.empty()) << check.Describe();
        Ntfs3gTree reader(Image(), true);
        std::map<std::u16string, uint64_t> records = reader.List(u"");
        for (const auto& [path, contents] : files) {
            EXPECT_TRUE(reader.Read(path) == contents) << Utf8(path);
            CommandResult cat = RunCommand("icat " + ShellQuote(Image()) + " " + std::to_string(records.at(path)));
            EXPECT_TRUE(Bytes(cat.output.begin(), cat.output.end()) == contents) << Utf8(path);
        }
        EXPECT_EQ(Session([&](NtfsVolumeHandle volume) {
                      for (const auto& [path, contents] : files)
                          EXPECT_TRUE(ReadThroughHandles(volume, path) == contents) << Utf8(path);
                  }),
                  std::vector<std::string>{});
        return records;
    }

    std::string Istat(uint64_t record) { return RunCommand("istat " + ShellQuote(Image()) + " " + std::to_string(record)).output; }

    TempDir m_dir;
};

}  // namespace

TEST_F(EngineData, EntriesThatOutgrowTheirRecordAreSavedWithAnAttributeList) {
    Files files{{u"linked", Pattern(3000, 1)}, {u"small", Pattern(10, 2)}, {u"fragmented", {}}};
    const std::u16string linkName = U16("link " + std::string(60, '-') + " ");
    {
        Ntfs3gTree writer(Image(), false);
        writer.MakeFile(u"linked", files[u"linked"]);
        for (int i = 0; i < 50; ++i) writer.Link(u"linked", linkName + U16(std::to_string(i)));
        writer.MakeFile(u"small", files[u"small"]);
        // Free space only in one-cluster holes: a file written there takes hundreds of runs.
        for (const char16_t* path : {u"fragmented", u"ballast"}) writer.MakeFile(path);
        for (int i = 0; i < 600; ++i) writer.MakeFile(U16("filler " + std::to_string(i)), Pattern(4096, i));
        for (size_t chunk : {1u << 20, 4096u}) try {
                for (;;) writer.Append(u"ballast", Bytes(chunk));
            } catch (const std::runtime_error&) {  // the volume is full
            }
        for (int i = 0; i < 600; i += 2) writer.Remove(U16("filler " + std::to_string(i)));
        for (uint32_t i = 0; i < 250; ++i) writer.Append(u"fragmented", Pattern(4096, i));
        for (uint32_t i = 0; i < 250; ++i) Add(files[u"fragmented"], Pattern(4096, i));
        writer.Remove(u"ballast");
    }
    EXPECT_EQ(Session([&](NtfsVolumeHandle volume) {
                  // Changed and closed through us; the small one no longer fits its record.
                  for (const char16_t* path : {u"linked", u"fragmented", u"small"}) {
                      NtfsFileHandle file = OpenFile(volume, path);
                      Append(file, files[path], Pattern(std::u16string(path) == u"small" ? 840 : 5000, 3));
                      EXPECT_TRUE(SetFileAttributesAndTime({1, 2, 3, 0x20}, file));
                      EXPECT_TRUE(NtfsCloseFile(file));
                  }
                  // Files grown in turns until their runs outgrow a record.
                  std::vector<NtfsFileHandle> grown;
                  for (int i = 0; i < 12; ++i) grown.push_back(OpenFile(volume, U16("grown" + std::to_string(i)), true));
                  for (uint32_t step = 0; step < 384; ++step)
                      for (int i = 0; i < 12; ++i) Append(grown[i], files[U16("grown" + std::to_string(i))], Pattern(4096, step));
                  for (NtfsFileHandle& file : grown) EXPECT_TRUE(NtfsCloseFile(file));
              }),
              std::vector<std::string>{});
    std::map<std::u16string, uint64_t> records = ExpectEveryReaderAgrees(files);
    for (const char16_t* path : {u"linked", u"fragmented", u"grown11"})
        EXPECT_NE(Istat(records.at(path)).find("$ATTRIBUTE_LIST"), std::string::npos) << Utf8(path);
    EXPECT_EQ(TskPaths(Image()).count(linkName + u"49"), 1u);

    // libntfs-3g changes what we saved, and we read it again.
    {
        Ntfs3gTree writer(Image(), false);
        for (const char16_t* path : {u"linked", u"grown0"}) writer.Append(path, Pattern(7000, 9));
        for (const char16_t* path : {u"linked", u"grown0"}) Add(files[path], Pattern(7000, 9));
        writer.Link(u"linked", u"one more");
        writer.Remove(linkName + u"0");
    }
    ExpectEveryReaderAgrees(files);
}

TEST_F(EngineData, EmptyCutAndSparseDataReadTheSameEverywhere) {
    Files files{{u"sparse", Pattern(100, 1)}};
    {
        Ntfs3gTree writer(Image(), false);
        writer.MakeFile(u"sparse", files[u"sparse"]);
        writer.Resize(u"sparse", 300000);  // sparse, initialized up to 100 bytes
        files[u"sparse"].resize(300000);
    }
    std::vector<std::string> errors = Session([&](NtfsVolumeHandle volume) {
        NtfsFileHandle file = OpenFile(volume, u"empty", true);
        EXPECT_TRUE(NtfsCloseFile(file));
        file = OpenFile(volume, u"emptied", true);
        EXPECT_TRUE(SetFileSize(5000, file) && SetFileSize(0, file) && NtfsCloseFile(file));
        // Cut short, grown again and written past what was kept: the bytes between read as zeros.
        file = OpenFile(volume, u"regrown", true);
        Append(file, files[u"regrown"], Pattern(10000, 2));
        EXPECT_TRUE(SetFileSize(10, file) && SetFileSize(8000, file) && NtfsWriteFile(7000, "tail", 4, file));
        files[u"regrown"].resize(10);
        files[u"regrown"].resize(8000);
        std::copy_n("tail", 4, files[u"regrown"].begin() + 7000);
        EXPECT_TRUE(NtfsCloseFile(file));
        file = OpenFile(volume, u"five", true);
        Append(file, files[u"five"], Pattern(5, 3));
        EXPECT_TRUE(NtfsCloseFile(file));
        file = OpenFile(volume, u"sparse");
        EXPECT_FALSE(SetFileSize(1, file));
        EXPECT_FALSE(NtfsWriteFile(0, "x", 1, file));
        EXPECT_TRUE(NtfsCloseFile(file));
    });
    files[u"empty"] = files[u"emptied"] = {};
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[1].find("Compressed / sparse attributes are not implemented."), std::string::npos);
    std::map<std::u16string, uint64_t> records = ExpectEveryReaderAgrees(files);
    EXPECT_NE(Istat(records.at(u"five")).find("Allocated Size: 8 "), std::string::npos);  // whole 8-byte units

    for (const char16_t* path : {u"empty", u"regrown"}) Ntfs3gTree(Image(), false).Append(path, Pattern(3000, 4));
    for (const char16_t* path : {u"empty", u"regrown"}) Add(files[path], Pattern(3000, 4));
    ExpectEveryReaderAgrees(files);
}

TEST_F(EngineData, SessionsThatOnlyReadLeaveTheVolumeByteForByte) {
    auto readOnlySession = [&](const std::string& refusal) {
        std::vector<uint8_t> before = ReadFileBytes(Image());
        MemoryDevice device(before);
        LogCapture log;
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        ReadEverything(volume, u"");
        NtfsFileHandle file;
        if (!refusal.empty()) {
            EXPECT_FALSE(NtfsCreateFile(L"refused", file, volume));
            EXPECT_NE(log.Errors().at(0).find(refusal), std::string::npos) << log.Errors()[0];
        }
        EXPECT_TRUE(NtfsCloseVolume(volume));
        EXPECT_EQ(log.Errors().size(), refusal.empty() ? 0u : 1u);
        EXPECT_EQ(device.writeCount, 0u);
        EXPECT_TRUE(device.Bytes() == before);
    };
    readOnlySession("");
    {
        Ntfs3gTree writer(Image(), false);
        writer.MakeDirectory(u"d");
        for (int i = 0; i < 300; ++i) writer.MakeFile(U16("d\\file " + std::to_string(i)), Pattern(i * 37 % 3000, i));
    }
    {  // Times changed in $STANDARD_INFORMATION only, as Windows leaves them: the $FILE_NAME copies stay older.
        ntfs_volume* theirs = ntfs_mount(Image().c_str(), 0);
        ntfs_inode* stamped = theirs ? ntfs_pathname_to_inode(theirs, nullptr, "/d/file 7") : nullptr;
        ASSERT_TRUE(stamped);
        stamped->last_data_change_time = stamped->last_access_time = 0x01D0000000000000ull;
        NInoSetDirty(stamped);
        ASSERT_EQ(ntfs_inode_close(stamped), 0);
        ASSERT_EQ(ntfs_umount(theirs, FALSE), 0);
    }
    Ntfs3gTree(Image(), false).MakeFile(u"hiberfil.sys", Bytes{'h', 'i', 'b', 'r', 0, 0, 0, 0});
    readOnlySession("Volume is open for reading only: Windows left it hibernated (hiberfil.sys)");
    // Windows resumed: the signature is gone.
    std::vector<uint8_t> bytes = ReadFileBytes(Image());
    const std::string signature = "hibr";
    std::fill_n(std::search(bytes.begin(), bytes.end(), signature.begin(), signature.end()), 4, 0);
    WriteFileBytes(Image(), bytes);
    readOnlySession("");

    // A journal whose restart area (at 0x30 of a 4 KiB page) still lists a client at work.
    std::vector<uint8_t> page(4096, 0);
    const uint8_t header[] = {'R', 'S', 'T', 'R', 0x1E, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0x30};
    std::copy(std::begin(header), std::end(header), page.begin());
    volcore::MstProtect(page, 1, 4096);
    EngineVolume engine(Image());
    volcore::CFileEntry::Load(volcore::MakeReference(volcore::kLogFileRecord, 0), engine.Volume())
        ->GetAttribute(volcore::AttrType::Data)->WriteData(0, page.data(), 4096);
    engine.Close();
    readOnlySession("Volume is open for reading only: its $LogFile holds changes that Windows has not replayed");
}

TEST_F(EngineData, TheDirtyFlagMarksASessionThatChangesTheVolumeUntilItClosesCleanly) {
    auto scheduledForCheck = [&] {
        return RunCommand("ntfsinfo -m " + ShellQuote(Image())).output.find("scheduled for check") != std::string::npos;
    };
    MemoryDevice device = MemoryDevice::FromFile(Image());
    NtfsVolumeHandle volume;
    NtfsFileHandle file;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    ASSERT_TRUE(NtfsCreateFile(L"x", file, volume));
    device.SaveToFile(Image());
    EXPECT_TRUE(scheduledForCheck());
    EXPECT_TRUE(NtfsCloseFile(file) && NtfsCloseVolume(volume));
    device.SaveToFile(Image());
    EXPECT_FALSE(scheduledForCheck());

    // A volume that someone else left dirty keeps its flag, with a warning.
    ntfs_volume* theirs = ntfs_mount(Image().c_str(), 0);
    ASSERT_TRUE(theirs);
    ntfs_volume_write_flags(theirs, VOLUME_IS_DIRTY);
    ntfs_umount(theirs, FALSE);
    std::vector<std::string> warnings;
    Session([](NtfsVolumeHandle volume) { WriteThroughHandles(volume, u"y", Pattern(10, 1)); }, &warnings);
    EXPECT_EQ(warnings, std::vector<std::string>{"Volume is marked dirty: a consistency check is pending; it stays marked"});
    EXPECT_TRUE(scheduledForCheck());
}

TEST(EngineAllocation, AGibibyteFileTakesSeveralRunsOnAFreshTwoGibibyteVolume) {
    TempDir dir;
    std::string image = dir.File("big.img");
    std::ofstream(image).close();
    std::filesystem::resize_file(image, 2ull << 30);
    {
        FamilyFileDevice format(image);
        volkit::filesystem::device device = format.Device();
        ASSERT_TRUE(volkit::filesystem::format(true, 4096, device));
    }
    LogCapture log;
    FileDevice device(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
    NtfsFileHandle file = OpenFile(volume, u"big", true);
    ASSERT_TRUE(SetFileSize(1ull << 30, file));
    EXPECT_TRUE(NtfsWriteFile(0, Pattern(1 << 20, 4).data(), 1 << 20, file));
    EXPECT_GT(volcore::HandleObject<volcore::CFile>(file.ptr, "file")
                  ->GetEntry().GetAttribute(volcore::AttrType::Data)->GetRuns().size(), 1u);
    EXPECT_TRUE(NtfsCloseFile(file));
    // Only a request for more than is free fails, and says why.
    file = OpenFile(volume, u"too big", true);
    EXPECT_FALSE(SetFileSize(1ull << 30, file));
    EXPECT_NE(log.Errors().at(0).find("the volume is full"), std::string::npos) << log.Errors()[0];
    EXPECT_TRUE(NtfsCloseFile(file) && NtfsCloseVolume(volume));

    CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(image));
    EXPECT_EQ(fix.exitCode, 0) << fix.output;
    EXPECT_TRUE(CheckVolume(FileDevice(image).Api()).Clean()) << CheckVolume(FileDevice(image).Api()).Describe();
    uint64_t record = Ntfs3gTree(image, true).List(u"").at(u"big");
    CommandResult stat = RunCommand("istat " + ShellQuote(image) + " " + std::to_string(record));
    EXPECT_NE(stat.output.find("size: 1073741824  init_size: 1048576"), std::string::npos) << stat.output.substr(0, 2000);
}
