// The consistency check: fresh volumes of every geometry report nothing, and
// single edits of a clean volume report their own kind of problem (the corpus
// of damaged images is checked with the other corpus walks).
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "support/Ntfs3gTree.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "entries/Runlist.h"
#include "index/IndexFormat.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/VolumeCheck.h"
#include "volume/Mft.h"

using namespace volcore::test;
using namespace volcore;

namespace {

struct SCleanVolume {
    const char* name;
    uint64_t size;
    uint32_t clusterSize;  // 0: the formatter chooses
    uint32_t sectorSize;
    bool ourFormatter;
};

}  // namespace

// Volumes that the handle family and the filesystem family wrote are checked
// where those are tested.
TEST(Check, FreshVolumesOfEveryGeometryReportNothing) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    const SCleanVolume volumes[] = {
        {"mkntfs", 16 << 20, 4096, 512, false},
        {"mkntfs, 512-byte clusters", 16 << 20, 512, 512, false},
        {"mkntfs, 64 KiB clusters", 64 << 20, 65536, 512, false},
        {"mkntfs, 4096-byte sectors", 16 << 20, 4096, 4096, false},
        {"mkntfs, 64 KiB clusters, 4096-byte sectors", 64 << 20, 65536, 4096, false},
        {"formatter", 16 << 20, 0, 512, true},
        {"formatter, 512-byte clusters", 16 << 20, 512, 512, true},
        {"formatter, 64 KiB clusters", 64 << 20, 65536, 512, true},
    };
    for (const SCleanVolume& volume : volumes) {
        SCOPED_TRACE(volume.name);
        TempDir dir;
        MemoryDevice memory;
        if (volume.ourFormatter) {
            memory = FormattedMemoryDevice(volume.size, volume.clusterSize);
        } else {
            MakeNtfsImage(dir.File("v.img"), {volume.size, volume.clusterSize, volume.sectorSize, ""});
            memory = MemoryDevice::FromFile(dir.File("v.img"));
        }
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
    MemoryDevice failing(PristineImage());
    failing.failRead = [](uint64_t offset, uint32_t) { return offset > (1 << 20); };
    failing.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(CheckVolume(failing.Api()).ran);
    EXPECT_EQ(failing.writeCount, 0u);
}

namespace {

// Record numbers of the objects the edits change.
std::map<std::u16string, uint64_t> g_records;

// A volume filled by libntfs-3g: a directory whose index fits its record, and
// one whose index needs blocks.
std::string FilledImage(const TempDir& dir) {
    std::string image = dir.File("filled.img");
    MakeNtfsImage(image);
    Ntfs3gTree tree(image, false);
    tree.MakeDirectory(u"d");
    for (const char16_t* name : {u"a", u"b", u"c"}) tree.MakeFile(Child(u"d", name), Pattern(9000, name[0]));
    tree.MakeDirectory(u"many");
    for (int i = 0; i < 300; ++i) tree.MakeFile(Child(u"many", U16("entry number " + std::to_string(i))), {});
    for (const auto& [name, reference] : tree.List(u"d")) g_records[name] = reference;
    for (const char16_t* name : {u"d", u"many"}) g_records[name] = tree.List(u"").at(name);
    return image;
}

// The value of a directory's resident $INDEX_ROOT, changed and saved.
void EditIndexRoot(CVolume& volume, const std::u16string& directory, const std::function<void(std::vector<uint8_t>&)>& edit) {
    auto entry = CFileEntry::Load(g_records.at(directory), volume);
    AttributePtr root = entry->GetAttribute(AttrType::IndexRoot, u"$I30");
    std::vector<uint8_t> value = root->ReadAll();
    edit(value);
    root->WriteData(0, value.data(), static_cast<uint32_t>(value.size()));
    entry->Save();
}

// Offsets of the entries in an index root value, the end entry's last.
std::vector<size_t> EntryOffsets(const std::vector<uint8_t>& value) {
    CByteReader root(value);
    std::vector<size_t> offsets;
    size_t position = IndexRoot::Header + root.U32(IndexRoot::Header + IndexHeader::FirstEntry);
    for (;; position += root.U16(position + IndexEntry::Length)) {
        offsets.push_back(position);
        if (root.U16(position + IndexEntry::Flags) & IndexEntry::FlagEnd) return offsets;
    }
}

// One edit of the clean volume, and the start of the problem line the check
// must report for it.
struct SEdit {
    const char* name;
    std::function<std::string(CVolume&)> apply;
};

const SEdit kEdits[] = {
    {"clusters of one file given to another",
     [](CVolume& volume) {
         MftRecBufferPtr record = volume.ReadMftRecord(g_records.at(u"b"));
         ParseMap parsed;
         ParseAttributeRecords(record, parsed);
         const AttributeLocation& data = parsed.at(AttributeKey{AttrType::Data, u"", 0}).front();
         uint32_t length = data.Record().U32(AttrRecord::Length);
         CByteWriter attribute = CByteWriter(record->bytes).Sub(data.offset, length);
         RunMap runs = CFileEntry::Load(g_records.at(u"a"), volume)->GetAttribute(AttrType::Data)->GetRuns();
         EncodeMappingPairs(runs, attribute, attribute.Reader().U16(AttrRecord::MappingPairsOffset));
         attribute.U32(AttrRecord::Length, length);
         volume.WriteMftRecord(g_records.at(u"b"), record);
         return std::string("cluster-cross-linked: Clusters");
     }},
    {"a free cluster marked in use is only a leak",
     [](CVolume& volume) {
         AttributePtr bitmap = CFileEntry::Load(MakeReference(kBitmapRecord, 0), volume)->GetAttribute(AttrType::Data);
         std::vector<uint8_t> bytes = bitmap->ReadAll();
         size_t free = bytes.size() * 3 / 4;
         while (bytes[free] != 0) ++free;
         bytes[free] = 0x10;
         bitmap->WriteData(free, &bytes[free], 1);
         std::string cluster = std::to_string(free * 8 + 4);
         return "cluster-leaked: Clusters " + cluster + " to " + cluster;
     }},
    {"two index entries swapped",
     [](CVolume& volume) {
         EditIndexRoot(volume, u"d", [](std::vector<uint8_t>& value) {
             std::vector<size_t> at = EntryOffsets(value);  // a, b, c, end
             ASSERT_EQ(at.size(), 4u);
             std::swap_ranges(value.begin() + at[1], value.begin() + at[2], value.begin() + at[2]);
         });
         return std::string("index-order: Directory");
     }},
    {"a link count one too high",
     [](CVolume& volume) {
         auto entry = CFileEntry::Load(g_records.at(u"a"), volume);
         entry->SetLinkCount(entry->GetLinkCount() + 1);
         entry->Save();
         return "link-count: Record " + std::to_string(RecordNumber(g_records.at(u"a")));
     }},
    {"an index node with and without children",
     [](CVolume& volume) {
         // The root keeps only its end entry, whose child leads to everything else.
         EditIndexRoot(volume, u"many", [](std::vector<uint8_t>& value) {
             CByteWriter(value).U16(EntryOffsets(value).back() + IndexEntry::Flags, IndexEntry::FlagEnd);
         });
         return std::string("index-balance: Directory");
     }},
};

}  // namespace

TEST(Check, SingleEditsOfAVolumeFilledByLibntfs3gReportTheirOwnProblem) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = FilledImage(dir);
    for (const SEdit& edit : kEdits) {
        SCOPED_TRACE(edit.name);
        EngineVolume volume(image, ELoadDepth::Mft);
        std::string finds = edit.apply(volume.Volume());
        CheckOutcome outcome = CheckVolume(volume.Device().Api());
        EXPECT_TRUE(outcome.Mentions(finds)) << outcome.Describe();
        if (finds.rfind("cluster-leaked", 0) == 0) {
            EXPECT_TRUE(outcome.damage.empty()) << outcome.Describe();
        }
    }
}
