// The consistency check: single edits of a clean volume report their own kind
// of problem. Fresh and written volumes of every geometry are checked where
// they are made (the formatter's tests, the interoperability tests), and the
// corpus walk pins what the check finds in each damaged image, cross-linked
// clusters and wrong link counts among them.
#include <gtest/gtest.h>

#include <functional>

#include "InteropSupport.h"
#include "support/Ntfs3gTree.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "disk/IndexFormat.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/VolumeCheck.h"
#include "volume/Mft.h"

using namespace volcore::test;
using namespace volcore;

// A volume of zeros is refused by the tool's and the Python package's tests.
TEST(Check, DeviceThatFailsCannotBeCheckedAndIsNotWritten) {
    MemoryDevice failing(PristineImage());
    failing.failRead = [](uint64_t offset, uint32_t) { return offset > (1 << 20); };
    failing.failWrite = [](uint64_t, uint32_t) { return true; };
    EXPECT_FALSE(CheckVolume(failing.Api()).ran);
    EXPECT_EQ(failing.writeCount, 0u);
}

namespace {

// Record numbers of the directories the edits change.
std::map<std::u16string, uint64_t> g_records;

// A volume filled by libntfs-3g: a directory whose index fits its record, and
// one whose index needs blocks.
std::string FilledImage(const TempDir& dir) {
    std::string image = dir.File("filled.img");
    MakeNtfsImage(image);
    Ntfs3gTree tree(image, false);
    tree.MakeDirectory(u"d");
    for (const char16_t* name : {u"a", u"b", u"c"}) tree.MakeFile(Child(u"d", name), {});
    tree.MakeDirectory(u"many");
    for (int i = 0; i < 300; ++i) tree.MakeFile(Child(u"many", U16("entry number " + std::to_string(i))), {});
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
