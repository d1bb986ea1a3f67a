// The rules of names in an index, and damaged indexes: every kind of damage
// is refused with its message, without a crash, a hang or a runaway walk.
#include <gtest/gtest.h>

#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/ImageEditor.h"
#include "support/LogCapture.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// 100 units: an entry of 288 bytes, 14 to a block, so that 400 names make a
// tree with inner blocks.
std::u16string LongName(int i) { return TwelveUnitName(i) + std::u16string(88, u'x'); }

class IndexRules : public ::testing::Test {
protected:
    void SetUp() override {
        m_entry = NewEntry(Volume(), u"d", true);
        m_reference = m_entry->GetReference();
        m_record = std::to_string(RecordNumber(m_reference));
    }
    CVolume& Volume() { return m_image.Volume(); }
    const UpCaseTable& UpCase() { return Volume().GetUpCase(); }
    AttributePtr Attribute(uint32_t type) { return m_entry->GetAttribute(type, u"$I30"); }
    void Write(uint32_t type, const std::vector<uint8_t>& value) {
        SetValue(*Attribute(type), value);
        m_entry->Save();
    }
    // An editor of a block (one cluster here) as stored.
    ImageEditor EditBlock(uint64_t block) {
        for (const auto& [vcn, run] : Attribute(AttrType::IndexAllocation)->GetRuns())
            if (block >= vcn.value && block < vcn.value + run.length)
                return ImageEditor(m_image.Bytes(), (run.lcn + block - vcn.value) * 4096, 4096);
        throw std::runtime_error("no such block");
    }
    // Opens the index afresh and uses it every way; the first failure, or "".
    std::string Exercise() {
        m_image.Reopen();
        return FailureOf([&] {
            m_entry = CFileEntry::Load(m_reference, Volume());
            CIndex index(m_entry, u"$I30", UpCase());
            ListEntries(index);
            for (int i = 0; i < 400; i += 7) index.GetEntry(LongName(i));
            index.AddEntry(u"new", ValueFor(1));
            index.RemoveEntry(LongName(200));
            index.Save();
            m_entry->Save();
        });
    }

    EngineVolume m_image;
    FileEntryPtr m_entry;
    FileReference m_reference = 0;
    std::string m_record;
};

}  // namespace

TEST_F(IndexRules, UpdatesFindNamesIgnoringCaseAndChangeOnlyWhatDiffers) {
    CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
    index.AddEntry(u"abc", ValueFor(1));
    index.Save();
    EXPECT_EQ(FailureOf([&] { index.UpdateEntry(u"missing", ValueFor(4)); }), "Entry missing doesn't exist");
    index.RemoveEntry(u"missing");
    index.UpdateEntry(u"ABC", ValueFor(1));
    EXPECT_FALSE(index.IsDirty());

    index.UpdateEntry(u"ABC", ValueFor(5));
    EXPECT_TRUE(index.IsDirty());
    EXPECT_EQ(ListEntries(index).at(0).first, u"abc");  // the stored name stays
    EXPECT_EQ(index.GetEntry(u"aBc").fileReference, 5u);

    LogCapture log;
    { CIndex dirty(m_entry, u"$I30", UpCase(), 4096, 1); }
    EXPECT_TRUE(log.Contains("Destroying dirty index $I30 (file entry " + m_record + ")"));
    index.Save();
}

TEST_F(IndexRules, DamageIsRefusedWithItsMessage) {
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        for (int i = 0; i < 400; ++i) index.AddEntry(LongName(i), ValueFor(i + 1));
        ASSERT_GE(index.Inspect().depth, 3u);
        index.Save();
        m_entry->Save();
    }
    m_image.Reopen();  // the volume's own records written too
    m_entry = CFileEntry::Load(m_reference, Volume());
    const std::vector<uint8_t> image = m_image.Bytes();
    const std::vector<uint8_t> root = Attribute(AttrType::IndexRoot)->ReadAll();
    const uint64_t top = CByteReader(root).U64(root.size() - IndexEntry::ChildVcnSize);  // the root's last child: an inner block
    const std::string block = "Corrupt index allocation block $I30, file entry " + m_record;
    auto EditFirstEntry = [&](size_t field, size_t width, uint64_t value) {
        ImageEditor edit = EditBlock(top);
        edit.SetField(IndexBlock::Header + edit.Field(IndexBlock::Header + IndexHeader::FirstEntry, 4) + field, width, value);
    };
    auto withRoot = [&](size_t offset, uint32_t value, size_t width) {
        std::vector<uint8_t> changed = root;
        CByteWriter(changed).PutLe(offset, value, width);
        return changed;
    };
    struct Damage {
        const char* what;
        std::function<void()> apply;
        std::string expected;  // how the first failure starts
    };
    const std::vector<Damage> damages = {
        {"none", [] {}, ""},
        {"signature", [&] { EditBlock(top).SetField(IndexBlock::Signature, 1, 'X'); }, block},
        {"own VCN", [&] { EditBlock(top).SetField(IndexBlock::Vcn, 8, top + 1); }, block},
        {"bytes in use past the block",
         [&] { EditBlock(top).SetField(IndexBlock::Header + IndexHeader::BytesInUse, 4, 8000); }, block},
        {"entry length", [&] { EditFirstEntry(IndexEntry::Length, 2, 0); }, "Corrupt index entry at offset 0: length 0"},
        {"key length", [&] { EditFirstEntry(IndexEntry::KeyLength, 2, 9); }, "Corrupt index entry at offset 0: key length 9"},
        // Each bound at its edge: the first entry (100 units, with a child) is 296 bytes long.
        {"length not a multiple of 8", [&] { EditFirstEntry(IndexEntry::Length, 2, 300); }, "Corrupt index entry at offset 0: length 300"},
        {"entry past the block", [&] { EditFirstEntry(IndexEntry::Length, 2, 0x7ff8); }, "Invalid offset: 0 (buffer size: "},
        {"key past its entry", [&] { EditFirstEntry(IndexEntry::KeyLength, 2, 273); }, "Corrupt index entry at offset 0: key length 273"},
        {"name past its key", [&] { EditFirstEntry(IndexEntry::NameLength, 1, 101); }, "Corrupt index entry at offset 0: name length 101"},
        {"loop of child pointers",
         [&] {
             ImageEditor edit = EditBlock(top);
             edit.SetField(IndexBlock::Header + edit.Field(IndexBlock::Header + IndexHeader::BytesInUse, 4) - 8, 8, top);
         },
         "Corrupt index tree $I30, file entry " + m_record},
        {"block free in the bitmap", [&] { Write(AttrType::Bitmap, std::vector<uint8_t>(8, 0)); },
         "Corrupt index bitmap $I30, file entry " + m_record},
        {"child outside the allocation", [&] { Write(AttrType::IndexRoot, withRoot(root.size() - IndexEntry::ChildVcnSize, 5000, 8)); },
         block},
        {"block size", [&] { Write(AttrType::IndexRoot, withRoot(IndexRoot::BlockSize, 1000, 4)); },
         "Corrupt index block size 1000, file entry " + m_record},
        {"small block size", [&] { Write(AttrType::IndexRoot, withRoot(IndexRoot::BlockSize, 512, 4)); },
         "Index block size 512 cannot hold the longest entry, file entry " + m_record},
        {"no end entry",
         [&] { Write(AttrType::IndexRoot, std::vector<uint8_t>(root.begin(), root.end() - IndexEntry::ChildEndLength)); },
         "Corrupt index "},
    };
    for (const Damage& damage : damages) {
        m_image.Bytes() = image;
        m_image.Reopen();
        m_entry = CFileEntry::Load(m_reference, Volume());
        damage.apply();
        std::string failure = Exercise();
        EXPECT_EQ(failure.substr(0, damage.expected.size()), damage.expected) << damage.what << ": " << failure;
        EXPECT_EQ(failure.empty(), damage.expected.empty()) << damage.what;
    }
}

// A root that holds every name is read without the allocation and bitmap
// beside it; damaged leftovers there refuse a change as it comes in, before
// the index takes it, never at the save that was to write it.
TEST_F(IndexRules, DamagedLeftoverBlocksRefuseAChangeBeforeItIsTaken) {
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        index.AddEntry(u"kept", ValueFor(1));
        index.Save();
    }
    m_entry->CreateAttribute(AttrType::IndexAllocation, u"$I30", false);
    m_entry->CreateAttribute(AttrType::Bitmap, u"$I30", true)->SetSize(64 << 10);  // more bits than the device has blocks
    m_entry->Save();
    m_image.Reopen();
    m_entry = CFileEntry::Load(m_reference, Volume());
    CIndex index(m_entry, u"$I30", UpCase());
    EXPECT_EQ(index.GetEntry(u"kept").fileReference, 1u);
    const std::string damaged = "Corrupt index bitmap $I30, file entry " + m_record;
    EXPECT_EQ(FailureOf([&] { index.AddEntry(u"new", ValueFor(2)); }), damaged);
    EXPECT_EQ(FailureOf([&] { index.UpdateEntry(u"kept", ValueFor(3)); }), damaged);
    EXPECT_FALSE(index.IsDirty());
    EXPECT_EQ(FailureOf([&] { index.Save(); }), "");
}

// A walk reads blocks the cache does not hold into nodes of its own: what its
// visitor changes meanwhile (a later entry's value in the same block, a later
// entry removed, one added) must still show, and no name may come twice.
TEST_F(IndexRules, AWalkHandsOutWhatItsVisitorChanged) {
    {
        CIndex index(m_entry, u"$I30", UpCase(), 4096, 1);
        for (int i = 0; i < 400; ++i) index.AddEntry(LongName(i), ValueFor(i + 1));
        index.Save();
        m_entry->Save();
    }
    m_image.Reopen();  // nothing cached
    m_entry = CFileEntry::Load(m_reference, Volume());
    CIndex index(m_entry, u"$I30", UpCase());
    int count = 0;
    index.ForEach([&](std::u16string_view name, const SIndexEntryValue& value) {
        const int i = std::stoi(std::string(name.begin() + 5, name.begin() + 12));
        const bool added = name.back() == u'y';
        // Every third entry got a new value from the visit before it (102, removed, never visits).
        EXPECT_EQ(value.fileReference, added ? 2000u : i % 3 == 1 && i != 103 ? 1000u + i : i + 1u) << i;
        EXPECT_NE(i, 102);
        ++count;
        if (!added && i + 1 < 400 && i % 3 == 0) index.UpdateEntry(LongName(i + 1), ValueFor(1000 + i + 1));
        if (i == 100) index.RemoveEntry(LongName(102));
        if (i == 200) index.AddEntry(LongName(250) + u"y", ValueFor(2000));
        return true;
    });
    EXPECT_EQ(count, 400);  // one removed, one added, none twice
    index.Save();
}

// A splice into a node moves the offsets of the entries after it instead of
// finding them all again: each result must equal the same bytes parsed anew,
// shape included (an entry that disagrees about a child makes it irregular).
TEST(IndexNodeSplice, MatchesTheNodeParsedAgain) {
    auto entry = [](int i, std::optional<uint64_t> child) {
        std::vector<uint8_t> bytes(IndexEntry::LengthForName(12));
        WriteIndexEntry(CByteWriter(bytes), 0, TwelveUnitName(i), ValueFor(i + 1));
        return EntryWithChild(bytes, child);
    };
    for (std::optional<uint64_t> child : {std::optional<uint64_t>(), std::optional<uint64_t>(7)}) {
        CIndexNode node(0, child);
        const std::optional<uint64_t> other = child ? std::nullopt : std::optional<uint64_t>(9);
        for (auto [op, slot, name, agrees] : std::vector<std::tuple<char, size_t, int, bool>>{
                 {'i', 0, 5, true}, {'i', 0, 1, true}, {'i', 2, 9, true}, {'r', 1, 4, true}, {'e', 0, 0, true},
                 {'e', 1, 0, true}, {'i', 1, 6, false}, {'e', 1, 0, true}, {'r', 0, 2, false}}) {
            const EntryBytes bytes = entry(name, agrees ? child : other);
            op == 'i' ? node.Insert(slot, bytes) : op == 'r' ? node.Replace(slot, bytes) : node.Erase(slot);
            CIndexNode parsed(0, CByteReader(node.Bytes().data(), node.Bytes().size()));
            ASSERT_EQ(std::pair(node.Count(), node.IsRegular()), std::pair(parsed.Count(), parsed.IsRegular())) << op << slot;
            for (size_t i = 0; i <= node.Count(); ++i)
                EXPECT_TRUE(std::ranges::equal(node.Entry(i), parsed.Entry(i)) && node.HasChild(i) == parsed.HasChild(i));
        }
    }
}
