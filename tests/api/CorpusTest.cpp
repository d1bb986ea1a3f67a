// Every image of the shared corpus of damaged volumes goes through the handle
// family: open, every path The Sleuth Kit lists, close. Each step works or
// fails with exactly one Error line; nothing crashes or hangs. The
// consistency check reports each image's damage.
#include <gtest/gtest.h>

#include <map>

#include "base/Unicode.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

// What the consistency check must report for each image (a code and the
// start of a message); "" for the clean one.
const std::map<std::string, const char*> kCheckFinds = {
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

// Opens the image, every path The Sleuth Kit lists in it (reading the head of
// each file: the engine's own walk reads every attribute), and closes it;
// returns whether the volume opened.
bool WalkImage(const std::string& image) {
    LogCapture log;
    size_t seen = 0;
    // One exported call: its failure leaves exactly one Error line.
    auto step = [&](const char* what, bool ok) {
        EXPECT_EQ(log.Errors().size() - seen, ok ? 0u : 1u) << what << (log.Errors().empty() ? "" : "\n" + log.Errors().back());
        seen = log.Errors().size();
        return ok;
    };
    FileDevice device(image);
    NtfsVolumeHandle volume;
    if (!step("open volume", NtfsOpenVolume(device.Api(), volume))) return false;
    std::vector<uint8_t> buffer(1 << 20);
    for (const TskEntry& listed : TskListing(image)) {
        SCOPED_TRACE(volcore::Utf16ToUtf8(listed.path));
        std::wstring wide = volcore::Utf16ToWide(listed.path);
        NtfsDirHandle dir;
        NtfsFileHandle file;
        unsigned long long size = 0;
        if (listed.directory) {
            if (step("open directory", NtfsOpenDir(wide.c_str(), dir, volume))) step("close directory", NtfsCloseDir(dir));
        } else if (step("open file", NtfsOpenFile(wide.c_str(), file, volume))) {
            if (step("size", NtfsGetFileSize(size, file)) && size > 0) {
                unsigned length = static_cast<unsigned>(std::min<uint64_t>(size, buffer.size()));
                step("read", NtfsReadFile(0, buffer.data(), length, file));
            }
            step("close file", NtfsCloseFile(file));
        }
        EXPECT_TRUE(dir.ptr == nullptr && file.ptr == nullptr) << "a close releases the handle even when it fails";
    }
    step("close volume", NtfsCloseVolume(volume));
    EXPECT_EQ(volume.ptr, nullptr);
    return true;
}

}  // namespace

TEST(Corpus, EveryImageOpensOrIsRefusedAndEveryListedPathReadsOrFailsCleanly) {
    if (!HaveProgram("fls") && PreparedCorpusDir().empty()) GTEST_SKIP() << "The Sleuth Kit is missing";
    int opened = 0;
    size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        if (WalkImage(image.path.string())) ++opened;
        FileDevice device(image.path.string());
        CheckOutcome checked = CheckVolume(device.Api());
        auto expected = kCheckFinds.find(image.name);
        ASSERT_NE(expected, kCheckFinds.end());
        EXPECT_TRUE(*expected->second ? checked.Mentions(expected->second) : checked.Clean())
            << checked.Describe().substr(0, 4000);
    });
    if (images == 0) GTEST_SKIP() << "the shared corpus is absent";
    // The clean image and most damaged ones open.
    EXPECT_GT(opened, static_cast<int>(images) / 2);
}
