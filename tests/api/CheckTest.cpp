// The consistency check: every damaged image of the shared corpus reports its
// damage, volumes from every writer we have report nothing, and single edits
// of a clean volume report their own kind of problem.
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "Ntfs3gTree.h"
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

using namespace volkit::test;
using namespace volcore;
namespace api = volkit::api;
namespace fs = volkit;

namespace {

// What each corpus image must report (a code and the start of a message); ""
// for the clean one.
const std::pair<const char*, const char*> kCorpus[] = {
    {"ntfs_default", ""},
    {"bs_bytes_per_sector", "boot-sector: Boot sector: Invalid sector size"},
    {"bs_filesystem_siganture", "boot-sector: Boot sector: Invalid OEM ID"},
    {"bs_index_record_size", "boot-sector: Boot sector: Invalid INDX record size"},
    {"bs_mft_cluster_number", "boot-sector: Boot sector: MFT cluster"},
    {"bs_mft_record_size", "boot-sector: Boot sector: Invalid MFT record size"},
    {"bs_mftmirror_cluster_number", "mft-mirror: MFT mirror: $DATA does not start at cluster"},
    {"bs_sector_per_cluster", "boot-sector: Boot sector: Invalid cluster size"},
    {"bs_sector_signature", "boot-sector: Boot sector: end marker"},
    {"bs_total_sectors", "boot-sector: Boot sector: MFT cluster"},
    {"mft_attr_bad_fields", "attribute: Record 66: attribute record at offset"},
    {"mft_bitmap_unset_mft_in_use", "record-unmarked: Record 65"},
    {"mft_bitmap_unset_mft_in_use_2", "record-unmarked: Record 65"},
    {"mft_file_bad_base_mft_record", "record: Record 0 of a system file has base reference"},
    {"mft_file_bad_fixup_value_count", "record: Record 0: Invalid record"},
    {"mft_file_bad_fixup_value_offset", "record: Record 0: Invalid record"},
    {"mft_file_bad_link_count", "link-count: Record 0 has link count 0"},
    {"mft_file_bad_sequence_number", "index-entry: Directory 5: entry '$MFT' points to record 0 with sequence"},
    {"mft_file_corrupt_attrlist", "attribute-list: Record 322 extends record 106, whose attribute list omits it"},
    {"mft_file_missing_attrlist", "attribute-list: Record 322 extends record 106, whose attribute list omits it"},
    {"mft_file_missing_bitmap_attr", "mft: MFT: its bitmap cannot be read"},
    {"mft_file_missing_data_attr", "attribute: Record 0 is a file without $DATA"},
    {"mft_file_missing_filename_attr", "link-count: Record 0 has link count 1 for 0 names"},
    {"mft_non_attr_bad_fields", "attribute: Record 68: attribute $DATA: allocated size 4096, data size 16384"},
    {"mft_record_bad_fields", "record: Record"},
    {"attr_find_corrupt_inode", "attribute-list: Record 85: attribute list: Attribute list entry"},
    {"attrlist_entry_corrupted", "attribute-list: Record 97: attribute list: Attribute list entry"},
    {"attrlist_length_corrupted2", "attribute-list: Record 352: attribute list: Attribute list entry"},
    {"cluster_duplication_one", "cluster-cross-linked: Clusters 7990130 to 7990130"},
    {"data_size_init_size_bigger_than_alloc_size_DATA_attr", "attribute: Record 27: attribute $DATA: allocated size"},
    {"data_size_init_size_smaller_than_alloc_size_DATA_attr", "cluster-leaked: Record 27: $DATA holds 1280 clusters"},
    {"different_index_and_mft_flags", "index-entry: Directory"},
    {"fsck_error_remain", "cluster-cross-linked"},
    {"highest_vcn_cluster_run", "runlist: Record 74: attribute $DATA: Corrupted runlist: highest VCN"},
    {"incompleted_multi_sector_transfer_after", "MST: usn mismatch"},
    {"index_block_size_corruption", "index: Directory 7668: index block at VCN 0: no INDX signature"},
    {"index_block_valid_but_index_bitmap_cleared2", "index-bitmap: Directory 39: index block at VCN 0 is in use"},
    {"infinite_loop_root_dir_in_orphaned_file", "attribute-list: Record 49: attribute list: $DATA in record 130"},
    {"lcn_bitmap_clear_remain", "cluster-unmarked"},
    {"lostfound_corrupted2", "record-orphaned"},
    {"mft_bitmap_corrupted", "record-unmarked"},
    {"mft_table_entry_corruption", "mft: MFT: record 0 cannot be used"},
    {"mismatch_seqno_illegal_seek", "index-entry"},
    {"mismatch_seqno_illegal_seek3", "record-unmarked"},
    {"missing_mft_filename_attr_a_lot", "file-name: Record 6557: name 'FSCK_#6557' is missing"},
    {"remove_index_entry_twice", "file-name"},
    {"root_attribute_missing_in_directory", "attribute-list: Record 107: attribute list: $INDEX_ROOT:$I30"},
    {"runlist_mapping_pair_corrupted", "boot-sector: Boot sector: the volume's 488568831 sectors"},
    {"zero_allocsize_on_non_resident_attr", "runlist: Record 351: attribute $DATA: Corrupted runlist"},
};

std::filesystem::path Unpack(const std::filesystem::path& archive, const TempDir& dir) {
    CommandResult unpack = RunCommand("tar -xJf " + ShellQuote(archive.string()) + " -C " + ShellQuote(dir.Path().string()));
    if (unpack.exitCode != 0) throw std::runtime_error(unpack.output);
    return std::filesystem::directory_iterator(dir.Path())->path();
}

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

TEST(Check, EveryCorpusImageReportsItsDamage) {
    std::filesystem::path corpus = SharedCorpusDir();
    if (corpus.empty()) GTEST_SKIP() << "the shared corpus is absent";
    std::map<std::string, std::filesystem::path> archives;
    for (const auto& item : std::filesystem::recursive_directory_iterator(corpus))
        if (item.path().extension() == ".xz") archives[item.path().parent_path().filename().string()] = item.path();
    archives["ntfs_default"] = corpus / "ntfs_default.img.tar.xz";
    for (const auto& [name, expected] : kCorpus) {
        SCOPED_TRACE(name);
        std::filesystem::path archive = archives[name];
        ASSERT_TRUE(std::filesystem::exists(archive));
        TempDir dir;
        FileDevice device(Unpack(archive, dir).string());
        CheckOutcome outcome = CheckVolume(device.Api());
        ASSERT_TRUE(outcome.ran);
        if (std::string(expected).empty()) EXPECT_TRUE(outcome.Clean()) << outcome.Describe();
        else EXPECT_TRUE(outcome.Mentions(expected)) << outcome.Describe().substr(0, 4000);
    }
}

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
            MakeNtfsImage(dir.File("v.img"), {volume.size, volume.clusterSize, volume.sectorSize, "", {}});
            memory = MemoryDevice::FromFile(dir.File("v.img"));
        }
        if (volume.fill) volume.fill(memory);
        CheckOutcome outcome = CheckVolume(memory.Api());
        EXPECT_TRUE(outcome.Clean()) << outcome.Describe();
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
                round ? tree.Append(name, Pattern(4096, round)) : tree.MakeFile(name, Pattern(4096, round));
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
