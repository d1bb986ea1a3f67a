// The consistency check: volumes from every writer we have report nothing,
// and single edits of a clean volume report their own kind of problem (the
// corpus of damaged images is checked with the other corpus walks).
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "support/Ntfs3gTree.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "entries/Runlist.h"
#include "index/IndexFormat.h"
#include "support/EngineVolume.h"
#include "support/FamilyDevice.h"
#include "support/Images.h"
#include "support/VolumeCheck.h"
#include "volkit/filesystem.h"
#include "volume/Mft.h"

using namespace volcore::test;
using namespace volcore;
namespace api = volkit::api;
namespace fs = volkit;

namespace {

// A volume on which the tree's writes have been made by one of our writers.
struct SCleanVolume {
    const char* name;
    uint64_t size;
    uint32_t clusterSize;  // 0: the formatter chooses
    uint32_t sectorSize;
    bool ourFormatter;
    std::function<void(MemoryDevice&)> fill;
};

void FillThroughFilesystemFamily(MemoryDevice& memory) {
    fs::filesystem::device device = FamilyDeviceOf(memory);
    fs::filesystem::handle volume;
    ASSERT_TRUE(fs::filesystem::open(volume, device));
    ASSERT_TRUE(fs::directory::create("docs", volume) && fs::directory::create("docs/old", volume));
    for (int i = 0; i < 60; ++i) {
        fs::file::handle file;
        std::string path = "docs/" + std::to_string(i) + (i % 2 ? ".txt" : "/x");
        if (i % 2 == 0) {
            ASSERT_TRUE(fs::directory::create(path.substr(0, path.size() - 2).c_str(), volume));
        }
        ASSERT_TRUE(fs::file::create(file, path.c_str(), volume));
        Bytes data = Pattern(i * 1500, i);
        ASSERT_TRUE(fs::file::write(file, 0, data.data(), data.size()) && fs::file::close(file));
    }
    ASSERT_TRUE(fs::file::remove("docs/7.txt", volume) && fs::directory::remove("docs/old", volume));
    ASSERT_TRUE(fs::filesystem::close(volume));
}

void FillThroughHandles(MemoryDevice& memory) {
    api::NtfsVolumeHandle volume;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume));
    api::NtfsDirHandle dir;
    ASSERT_TRUE(api::NtfsCreateDir(L"docs", dir, volume) && api::NtfsCloseDir(dir));
    for (int i = 0; i < 20; ++i) {
        api::NtfsFileHandle file;
        std::wstring path = L"docs\\file " + std::to_wstring(i);
        Bytes data = Pattern(1 + i * 3000, i);
        ASSERT_TRUE(api::NtfsCreateFile(path.c_str(), file, volume) && api::SetFileSize(data.size(), file) &&
                    api::NtfsWriteFile(0, data.data(), static_cast<unsigned>(data.size()), file));
        ASSERT_TRUE(i % 7 == 3 ? api::NtfsDeleteFile(file) : api::NtfsCloseFile(file));
    }
    ASSERT_TRUE(api::NtfsCreateDir(L"gone", dir, volume) && api::NtfsDeleteDir(dir));
    ASSERT_TRUE(api::NtfsCloseVolume(volume));
}

}  // namespace

TEST(Check, CleanVolumesFromEveryWriterReportNothing) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    const SCleanVolume volumes[] = {
        {"mkntfs", 16 << 20, 4096, 512, false, nullptr},
        {"mkntfs, 512-byte clusters", 16 << 20, 512, 512, false, nullptr},
        {"mkntfs, 64 KiB clusters", 64 << 20, 65536, 512, false, nullptr},
        {"mkntfs, 4096-byte sectors", 16 << 20, 4096, 4096, false, nullptr},
        {"mkntfs, written by the handle family", 16 << 20, 4096, 512, false, FillThroughHandles},
        {"formatter", 16 << 20, 0, 512, true, nullptr},
        {"formatter, 512-byte clusters", 16 << 20, 512, 512, true, nullptr},
        {"formatter, 64 KiB clusters", 64 << 20, 65536, 512, true, nullptr},
        {"formatter, written by the filesystem family", 16 << 20, 0, 512, true, FillThroughFilesystemFamily},
    };
    for (const SCleanVolume& volume : volumes) {
        SCOPED_TRACE(volume.name);
        TempDir dir;
        MemoryDevice memory;
        if (volume.ourFormatter) {
            memory.Bytes().resize(volume.size);
            fs::filesystem::device device = FamilyDeviceOf(memory);
            ASSERT_TRUE(fs::filesystem::format(true, volume.clusterSize, device));
        } else {
            MakeNtfsImage(dir.File("v.img"), {volume.size, volume.clusterSize, volume.sectorSize, ""});
            memory = MemoryDevice::FromFile(dir.File("v.img"));
        }
        if (volume.fill) volume.fill(memory);
        uint64_t writes = memory.writeCount;
        CheckOutcome outcome = CheckVolume(memory.Api());
        EXPECT_TRUE(outcome.Clean()) << outcome.Describe();
        EXPECT_EQ(memory.writeCount, writes);
        EXPECT_GT(outcome.summary.recordsInUse, 16u);
        EXPECT_TRUE(outcome.summary.complete);
    }
}

TEST(Check, DeviceThatFailsOrHoldsNoNtfsCannotBeChecked) {
    MemoryDevice zeros(std::vector<uint8_t>(1 << 20));
    EXPECT_FALSE(CheckVolume(zeros.Api()).ran);
    TempDir dir;
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    MakeNtfsImage(dir.File("v.img"));
    MemoryDevice failing = MemoryDevice::FromFile(dir.File("v.img"));
    failing.failRead = [](uint64_t offset, uint32_t) { return offset > (1 << 20); };
    failing.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(CheckVolume(failing.Api()).ran);
    EXPECT_EQ(failing.writeCount, 0u);
}

namespace {

// A volume filled by libntfs-3g that each test edits in memory in one place.
class CheckEdits : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveProgram("mkntfs")) return;
        s_dir = new TempDir;
        MakeNtfsImage(Image());
        Ntfs3gTree tree(Image(), false);
        tree.MakeDirectory(u"d");
        for (const char16_t* name : {u"a", u"b", u"c"}) tree.MakeFile(Child(u"d", name), Pattern(9000, name[0]));
        tree.MakeFile(u"A Long File Name.txt", Pattern(10, 1));
        tree.SetDosName(u"A Long File Name.txt", "ALONGF~1.TXT");
        tree.MakeDirectory(u"many");
        for (int i = 0; i < 300; ++i) tree.MakeFile(Child(u"many", U16("entry number " + std::to_string(i))), {});
        for (int i = 0; i < 30; ++i) tree.Link(u"d\\c", Child(u"many", U16("link " + std::to_string(i))));
        for (int round = 0; round < 40; ++round)
            for (const char16_t* name : {u"many\\frag 1", u"many\\frag 2"})
                round ? tree.Append(name, Pattern(4096, round)) : void(tree.MakeFile(name, Pattern(4096, round)));
        for (int i = 0; i < 300; i += 7) tree.Remove(Child(u"many", U16("entry number " + std::to_string(i))));
        for (const auto& [name, reference] : tree.List(u"d")) s_records[name] = reference;
        for (const char16_t* name : {u"d", u"many"}) s_records[name] = tree.List(u"").at(name);
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (!s_dir) GTEST_SKIP() << "mkntfs is missing";
        m_volume = std::make_unique<EngineVolume>(Image(), ELoadDepth::Mft);
    }

    static std::string Image() { return s_dir->File("filled.img"); }
    CVolume& Volume() { return m_volume->Volume(); }
    CheckOutcome Check() { return CheckVolume(m_volume->Device().Api()); }

    // The value of a directory's resident $INDEX_ROOT, changed and saved.
    void EditIndexRoot(const std::u16string& directory, const std::function<void(std::vector<uint8_t>&)>& edit) {
        auto entry = CFileEntry::Load(s_records.at(directory), Volume());
        AttributePtr root = entry->GetAttribute(AttrType::IndexRoot, u"$I30");
        std::vector<uint8_t> value = root->ReadAll();
        edit(value);
        root->WriteData(0, value.data(), static_cast<uint32_t>(value.size()));
        entry->Save();
    }
    // Offsets of the entries in an index root value, the end entry's last.
    static std::vector<size_t> EntryOffsets(const std::vector<uint8_t>& value) {
        CByteReader root(value);
        std::vector<size_t> offsets;
        size_t position = IndexRoot::Header + root.U32(IndexRoot::Header + IndexHeader::FirstEntry);
        for (;; position += root.U16(position + IndexEntry::Length)) {
            offsets.push_back(position);
            if (root.U16(position + IndexEntry::Flags) & IndexEntry::FlagEnd) return offsets;
        }
    }

    static inline TempDir* s_dir = nullptr;
    static inline std::map<std::u16string, uint64_t> s_records;
    std::unique_ptr<EngineVolume> m_volume;
};

}  // namespace

TEST_F(CheckEdits, TheVolumeAsLibntfs3gLeftItIsClean) {
    CheckOutcome outcome = Check();
    EXPECT_TRUE(outcome.Clean()) << outcome.Describe();
}

TEST_F(CheckEdits, ClustersOfOneFileGivenToAnother) {
    MftRecBufferPtr record = Volume().ReadMftRecord(s_records.at(u"b"));
    ParseMap parsed;
    ParseAttributeRecords(record, parsed);
    const AttributeLocation& data = parsed.at(AttributeKey{AttrType::Data, u"", 0}).front();
    uint32_t length = data.Record().U32(AttrRecord::Length);
    CByteWriter attribute = CByteWriter(record->bytes).Sub(data.offset, length);
    RunMap runs = CFileEntry::Load(s_records.at(u"a"), Volume())->GetAttribute(AttrType::Data)->GetRuns();
    EncodeMappingPairs(runs, attribute, attribute.Reader().U16(AttrRecord::MappingPairsOffset));
    attribute.U32(AttrRecord::Length, length);
    Volume().WriteMftRecord(s_records.at(u"b"), record);
    EXPECT_TRUE(Check().Mentions("cluster-cross-linked: Clusters")) << Check().Describe();
}

TEST_F(CheckEdits, AFreeClusterMarkedInUseIsOnlyALeak) {
    AttributePtr bitmap = CFileEntry::Load(MakeReference(kBitmapRecord, 0), Volume())->GetAttribute(AttrType::Data);
    std::vector<uint8_t> bytes = bitmap->ReadAll();
    size_t free = bytes.size() * 3 / 4;
    while (bytes[free] != 0) ++free;
    bytes[free] = 0x10;
    bitmap->WriteData(free, &bytes[free], 1);
    CheckOutcome outcome = Check();
    EXPECT_TRUE(outcome.damage.empty()) << outcome.Describe();
    std::string cluster = std::to_string(free * 8 + 4);
    EXPECT_TRUE(outcome.Mentions("cluster-leaked: Clusters " + cluster + " to " + cluster)) << outcome.Describe();
}

TEST_F(CheckEdits, TwoIndexEntriesSwapped) {
    EditIndexRoot(u"d", [](std::vector<uint8_t>& value) {
        std::vector<size_t> at = EntryOffsets(value);  // a, b, c, end
        ASSERT_EQ(at.size(), 4u);
        std::swap_ranges(value.begin() + at[1], value.begin() + at[2], value.begin() + at[2]);
    });
    EXPECT_TRUE(Check().Mentions("index-order: Directory")) << Check().Describe();
}

TEST_F(CheckEdits, ALinkCountOneTooHigh) {
    auto entry = CFileEntry::Load(s_records.at(u"a"), Volume());
    entry->SetLinkCount(entry->GetLinkCount() + 1);
    entry->Save();
    EXPECT_TRUE(Check().Mentions("link-count: Record " + std::to_string(RecordNumber(s_records.at(u"a")))))
        << Check().Describe();
}

TEST_F(CheckEdits, AnIndexNodeWithAndWithoutChildren) {
    // The root keeps only its end entry, whose child leads to everything else.
    EditIndexRoot(u"many", [](std::vector<uint8_t>& value) {
        std::vector<size_t> at = EntryOffsets(value);
        CByteWriter(value).U16(at.back() + IndexEntry::Flags, IndexEntry::FlagEnd);
    });
    EXPECT_TRUE(Check().Mentions("index-balance: Directory")) << Check().Describe();
}
