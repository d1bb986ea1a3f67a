// What the engine writes into files and records, checked by independent
// implementations: entries that outgrow their record beside sparse data, and
// the dirty flag of a session that writes.
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "ntfs3g/Ntfs3g.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

NtfsFileHandle OpenFile(NtfsVolumeHandle volume, const std::u16string& path, bool create = false) {
    NtfsFileHandle file;
    std::wstring wide = volcore::Utf16ToWide(path);
    EXPECT_TRUE(create ? NtfsCreateFile(wide.c_str(), file, volume) : NtfsOpenFile(wide.c_str(), file, volume));
    return file;
}

void Add(std::optional<Bytes>& contents, const Bytes& bytes) {
    if (!contents) contents.emplace();
    contents->insert(contents->end(), bytes.begin(), bytes.end());
}

void Append(NtfsFileHandle file, std::optional<Bytes>& contents, const Bytes& bytes) {
    size_t size = contents ? contents->size() : 0;
    EXPECT_TRUE(SetFileSize(size + bytes.size(), file));
    EXPECT_TRUE(NtfsWriteFile(size, bytes.data(), static_cast<unsigned>(bytes.size()), file));
    Add(contents, bytes);
}

class EngineData : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("icat") || !HaveProgram("ntfsfix")) GTEST_SKIP() << "checkers missing";
        MakeNtfsImage(Image(), {64ull << 20, 4096, 512, ""});
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
    std::string Istat(const std::u16string& name) {
        return RunCommand("istat " + ShellQuote(Image()) + " " + std::to_string(Ntfs3gTree(Image(), true).List(u"").at(name))).output;
    }

    TempDir m_dir;
};

}  // namespace

TEST_F(EngineData, EntriesThatOutgrowTheirRecordAreSavedWithAnAttributeList) {
    Tree files{{u"linked", Pattern(3000, 1)}, {u"fragmented", Bytes{}}};
    const std::u16string linkName = U16("link " + std::string(60, '-') + " ");
    {
        Ntfs3gTree writer(Image(), false);
        writer.MakeFile(u"linked", *files[u"linked"]);
        for (int i = 0; i < 50; ++i) writer.Link(u"linked", linkName + U16(std::to_string(i)));
        // Free space only in one-cluster holes: a file written there takes hundreds of runs.
        for (const char16_t* path : {u"fragmented", u"ballast"}) writer.MakeFile(path);
        for (int i = 0; i < 600; ++i) writer.MakeFile(U16("filler " + std::to_string(i)), Pattern(4096, i));
        for (size_t chunk : {1u << 20, 4096u}) try {
                for (;;) writer.Append(u"ballast", Bytes(chunk));
            } catch (const std::runtime_error&) {  // the volume is full
            }
        for (int i = 0; i < 600; i += 2) writer.Remove(U16("filler " + std::to_string(i)));
        for (int i = 1; i < 600; i += 2) files[U16("filler " + std::to_string(i))] = Pattern(4096, i);
        for (uint32_t i = 0; i < 250; ++i) writer.Append(u"fragmented", Pattern(4096, i));
        for (uint32_t i = 0; i < 250; ++i) Add(files[u"fragmented"], Pattern(4096, i));
        writer.Remove(u"ballast");
        writer.MakeFile(u"sparse", Pattern(100, 4));
        writer.Resize(u"sparse", 300000);  // sparse, initialized up to 100 bytes
        files[u"sparse"] = Pattern(100, 4);
        files[u"sparse"]->resize(300000);
    }
    std::vector<std::string> errors = Session([&](NtfsVolumeHandle volume) {
        // Changed and closed through us.
        for (const char16_t* path : {u"linked", u"fragmented"}) {
            NtfsFileHandle file = OpenFile(volume, path);
            Append(file, files[path], Pattern(5000, 3));
            EXPECT_TRUE(SetFileAttributesAndTime({1, 2, 3, 0x20}, file));
            EXPECT_TRUE(NtfsCloseFile(file));
        }
        // Files grown in turns until their runs outgrow a record.
        std::vector<NtfsFileHandle> grown;
        for (int i = 0; i < 12; ++i) grown.push_back(OpenFile(volume, U16("grown" + std::to_string(i)), true));
        for (uint32_t step = 0; step < 384; ++step)
            for (int i = 0; i < 12; ++i) Append(grown[i], files[U16("grown" + std::to_string(i))], Pattern(4096, step));
        for (NtfsFileHandle& file : grown) EXPECT_TRUE(NtfsCloseFile(file));
    });
    EXPECT_EQ(errors, std::vector<std::string>{});
    auto withLinks = [&] {
        Tree all = files;
        for (int i = 0; i < 50; ++i) all[linkName + U16(std::to_string(i))] = files[u"linked"];
        return all;
    };
    ExpectEveryReaderAgrees(Image(), withLinks());
    for (const char16_t* path : {u"linked", u"fragmented", u"grown11"})
        EXPECT_NE(Istat(path).find("$ATTRIBUTE_LIST"), std::string::npos) << Utf8(path);

    // libntfs-3g changes what we saved, and we read it again.
    {
        Ntfs3gTree writer(Image(), false);
        for (const char16_t* path : {u"linked", u"grown0"}) writer.Append(path, Pattern(7000, 9));
        for (const char16_t* path : {u"linked", u"grown0"}) Add(files[path], Pattern(7000, 9));
        writer.Link(u"linked", linkName + u"50");
        writer.Remove(linkName + u"0");
    }
    Tree all = withLinks();
    all.erase(linkName + u"0");
    all[linkName + u"50"] = files[u"linked"];
    ExpectEveryReaderAgrees(Image(), all);
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
