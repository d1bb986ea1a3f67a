// The directory index as a balanced B-tree: random inserts and removes
// checked against a reference after every batch, on volumes whose clusters
// are smaller than, equal to and larger than the 4 KiB index blocks; and the
// chains of blocks older versions saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>

#include "base/Unicode.h"
#include "disk/Fixups.h"
#include "disk/IndexFormat.h"
#include "entries/FileEntry.h"
#include "index/IndexTestSupport.h"
#include "support/EngineVolume.h"
#include "support/Images.h"
#include "support/Ntfs3gTree.h"
#include "support/Oracles.h"
#include "objects/Volume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

template <ECollation (*Compare)(std::u16string_view, std::u16string_view, const UpCaseTable&)>
struct Before {
    const UpCaseTable* table;
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return Compare(a, b, *table) == ECollation::Less;
    }
};
// Names in index order, with the reference each entry holds.
using Reference = std::map<std::u16string, uint64_t, Before<CompareFileNames>>;

std::u16string RandomName(std::mt19937& random) {
    static const std::u16string units = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ._-\u00e9\u00c9\u0436\u0416";
    size_t length = random() % 4 == 0 ? 1 + random() % 255 : 1 + random() % 24;
    std::u16string name(length, u'a');
    for (auto& unit : name) unit = units[random() % units.size()];
    return name == u"." || name == u".." ? name + u"x" : name;  // libntfs-3g lists no "." or ".."
}

std::u16string SwapCase(std::u16string name) {
    for (auto& unit : name) unit = unit >= u'a' && unit <= u'z' ? unit - 32 : unit >= u'A' && unit <= u'Z' ? unit + 32 : unit;
    return name;
}

void ExpectTreeHolds(CIndex& index, const Reference& reference) {
    SIndexShape shape = index.Inspect();
    EXPECT_EQ(shape.entries, reference.size());
    EXPECT_TRUE(shape.ordered);
    EXPECT_TRUE(shape.balanced);
    EXPECT_EQ(shape.blocksMarked, shape.blocks);
    // A node other than the root keeps at least half a block, three of the
    // longest entries: every level multiplies the names by four at least.
    EXPECT_LE(shape.depth, 2 + std::ceil(std::log(reference.size() + 1.0) / std::log(4.0)));
    for (const auto& [name, record] : reference) {
        SIndexEntryValue value;
        ASSERT_TRUE(index.FindEntry(name, value)) << Utf16ToUtf8(name);
        ASSERT_EQ(value.fileReference, record) << Utf16ToUtf8(name);
    }
}

class IndexTree : public ::testing::TestWithParam<uint32_t> {
protected:
    void SetUp() override {
        Ntfs3gTree image(Image());
        m_directory = image.MakeDirectory(u"d");
        // Names that differ only in case, as POSIX systems create them.
        for (int i = 0; i < 30; ++i)
            for (std::u16string prefix : {u"pair ", u"PAIR ", u"Pair "})
                m_pairs[prefix + Utf8ToUtf16(std::to_string(i))] = image.MakeFile(u"d\\" + prefix + Utf8ToUtf16(std::to_string(i)));
    }
    std::string Image() const { return m_image.Path(); }

    EngineVolume m_image{WithClusters(GetParam(), 64ull << 20)};
    FileReference m_directory = 0;
    std::map<std::u16string, uint64_t> m_pairs;
};

}  // namespace

TEST_P(IndexTree, StaysBalancedThroughRandomInsertsAndRemoves) {
    EngineVolume* engine = &m_image;
    engine->Reload();
    const UpCaseTable upcase = engine->Volume().GetUpCase();  // outlives the engine
    Reference reference(Before<CompareFileNames>{&upcase});
    std::multiset<std::u16string, Before<CompareIgnoreCase>> folded(Before<CompareIgnoreCase>{&upcase});
    for (const auto& [name, record] : m_pairs) {
        reference.emplace(name, record);
        folded.insert(name);
    }
    std::mt19937 random(GetParam());
    uint64_t next = 1000;
    // Batches of changes, mostly inserts or mostly removes, each checked after.
    auto change = [&](CIndex& index, int batches, bool growing) {
        for (int batch = 0; batch < batches && !::testing::Test::HasFailure(); ++batch) {
            for (int step = 0; step < 600; ++step) {
                if (random() % 4 < (growing ? 3u : 1u)) {
                    std::u16string name = random() % 8 || reference.empty() ? RandomName(random)
                                                                            : SwapCase(reference.begin()->first);
                    if (folded.count(name)) {
                        ASSERT_EQ(FailureOf([&] { index.AddEntry(name, ValueFor(next)); }),
                                  "Entry " + Utf16ToUtf8(name) + " is already exist");
                        continue;
                    }
                    index.AddEntry(name, ValueFor(next));
                    reference.emplace(name, next++);
                    folded.insert(name);
                } else if (!reference.empty()) {
                    auto victim = reference.lower_bound(RandomName(random));
                    if (victim == reference.end()) victim = reference.begin();
                    index.RemoveEntry(victim->first);
                    folded.erase(folded.find(victim->first));
                    reference.erase(victim);
                }
            }
            ExpectTreeHolds(index, reference);
        }
    };
    FileEntryPtr entry = CFileEntry::Load(m_directory, engine->Volume());
    auto index = std::make_unique<CIndex>(entry, u"$I30", upcase);
    // The saved tree judged from outside: ntfsfix accepts the volume and
    // libntfs-3g lists every name; then libntfs-3g removes five of its files
    // still named in it and adds one, and the index is loaded again.
    auto judgeFromOutside = [&] {
        index->Save();
        entry->Save();
        index.reset();
        engine->Close();
        EXPECT_TRUE(NtfsfixAccepts(Image()));
        {
            Ntfs3gTree tree(Image());
            std::set<std::u16string> listed;
            for (const auto& item : tree.Entries(u"d")) listed.insert(item.name);
            EXPECT_EQ(listed.size(), reference.size());
            for (const auto& [name, record] : reference) EXPECT_TRUE(listed.count(name)) << Utf16ToUtf8(name);
            for (int removed = 0; removed < 5; ++removed) {
                auto victim = std::find_if(m_pairs.begin(), m_pairs.end(),
                                           [&](const auto& pair) { return reference.count(pair.first) > 0; });
                if (victim == m_pairs.end()) break;
                tree.Remove(u"d\\" + victim->first);
                folded.erase(folded.find(victim->first));
                reference.erase(victim->first);
                m_pairs.erase(victim);
            }
            const std::u16string added = u"#" + Utf8ToUtf16(std::to_string(next++));  // '#' is no unit of the random names
            reference.emplace(added, tree.MakeFile(u"d\\" + added));
            folded.insert(added);
        }
        engine->Reload();
        entry = CFileEntry::Load(m_directory, engine->Volume());
        index = std::make_unique<CIndex>(entry, u"$I30", upcase);
    };
    change(*index, 8, true);
    ASSERT_FALSE(HasFailure());
    judgeFromOutside();

    uint64_t written = 0;
    engine->Device().failWrite = [&](uint64_t, uint32_t length) {
        written += length;
        return false;
    };
    // Reading writes nothing; a new name is written.
    ExpectTreeHolds(*index, reference);
    index->Save();
    EXPECT_EQ(written, 0u);
    index->AddEntry(u"one more", ValueFor(next));
    reference.emplace(u"one more", next++);
    folded.insert(u"one more");
    index->Save();
    EXPECT_GT(written, 0u);
    engine->Device().failWrite = nullptr;

    change(*index, 4, false);
    ASSERT_FALSE(HasFailure());
    judgeFromOutside();
    ExpectTreeHolds(*index, reference);
    change(*index, 8, false);
    // Emptied, the index is small again and gives its blocks back.
    for (const auto& item : ListEntries(*index)) index->RemoveEntry(item.first);
    index->Save();
    EXPECT_FALSE(index->IsLarge());
    EXPECT_EQ(entry->GetAttribute(AttrType::IndexRoot, u"$I30")->GetSize(),
              IndexRoot::HeaderSize + IndexEntry::SmallEndLength);
    EXPECT_FALSE(entry->FindAttribute(AttrType::IndexAllocation, u"$I30"));
    EXPECT_FALSE(entry->FindAttribute(AttrType::Bitmap, u"$I30"));
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, IndexTree, ::testing::Values(512u, 4096u, 65536u),
                         [](const auto& info) { return "Clusters" + std::to_string(info.param); });

// Earlier versions saved a large index as a chain: the root's end entry led
// to block 0, and every block's end entry to the next block.
TEST(IndexChain, OlderChainOfBlocksIsReadAndRebuiltBalancedByItsFirstChange) {
    EngineVolume engine;
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    const int count = 400, perBlock = 35;
    {
        CIndexBlockStore blocks(entry, u"$I30", 4096);
        std::vector<IndexNodePtr> chain;
        for (int i = 0; i < count; i += perBlock) chain.push_back(blocks.Allocate(std::nullopt));
        for (size_t b = 0; b < chain.size(); ++b) {
            std::vector<EntryBytes> entries;
            for (int i = static_cast<int>(b) * perBlock; i < std::min(count, static_cast<int>(b + 1) * perBlock); ++i) {
                entries.emplace_back(IndexEntry::LengthForName(12));
                WriteIndexEntry(CByteWriter(entries.back()), 0, TwelveUnitName(i), ValueFor(i + 1));
            }
            std::optional<uint64_t> next;
            if (b + 1 < chain.size()) next = blocks.Vcn(chain[b + 1]->Block());
            chain[b]->Assign(entries, next);
        }
        blocks.WriteDirty();
        std::vector<uint8_t> root(IndexRoot::HeaderSize + IndexEntry::ChildEndLength);
        WriteRootHeader(CByteWriter(root), 4096, 1, IndexEntry::ChildEndLength + IndexHeader::Size, IndexHeader::FlagLarge);
        WriteEndEntryWithChild(CByteWriter(root), IndexRoot::HeaderSize, 0);
        SetValue(*entry->GetAttribute(AttrType::IndexRoot, u"$I30"), root);
    }
    CIndex index(entry, u"$I30", engine.Volume().GetUpCase());
    IndexListing listed = ListEntries(index);
    ASSERT_EQ(listed.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) EXPECT_EQ(listed[i].first, TwelveUnitName(i));
    EXPECT_EQ(index.GetEntry(u"NAME-0000399").fileReference, 400u);
    EXPECT_EQ(index.Inspect().depth, 13u);

    // With no cluster left for the blocks the rebuild needs, the change fails
    // and the index is the chain on disk again, which a save leaves as it is.
    IClusterAllocator& allocator = *engine.Volume().GetClusterAllocator();
    RunMap taken;
    try {
        for (;;) allocator.Allocate(EAllocationZone::DATA, 1, taken);
    } catch (const CVolumeFull&) {
    }
    const auto names = [](CIndex& holder) {
        std::vector<std::u16string> held;
        for (const auto& item : ListEntries(holder)) held.push_back(item.first);
        return held;
    };
    const std::vector<std::u16string> before = names(index);
    EXPECT_THROW(index.AddEntry(u"new name", ValueFor(1000)), CVolumeFull);
    index.Save();
    EXPECT_EQ(names(index), before);
    EXPECT_EQ(index.Inspect().depth, 13u);
    for (const auto& [vcn, run] : taken) allocator.Free(run.lcn, run.length);

    index.AddEntry(u"new name", ValueFor(1000));
    SIndexShape shape = index.Inspect();
    EXPECT_EQ(shape.entries, count + 1u);
    EXPECT_TRUE(shape.ordered && shape.balanced);
    EXPECT_LE(shape.depth, 3u);
    EXPECT_EQ(shape.blocksMarked, shape.blocks);
    index.Save();
    EXPECT_EQ(index.GetEntry(u"name-0000007").fileReference, 8u);
}

// The block cache saves only blocks handed out since they were last unchanged
// and unheld. A position found before hundreds of lookups (which settle that
// list many times) still holds its leaf: the insert through it must reach the
// disk, in place or moved.
TEST(IndexBlockCache, InsertThroughAPositionHeldAcrossLookupsIsSaved) {
    EngineVolume engine;
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    const int count = 300;
    {
        CIndex index(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 4096 / engine.Volume().GetClusterSize());
        for (int i = 0; i < count; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(i + 1));
        index.Save();
        const CIndex::SInsertPosition position = index.FindInsertPosition(u"name-0000150x");
        for (int round = 0; round < 3; ++round)
            for (int i = 0; i < count; ++i) EXPECT_EQ(index.GetEntry(TwelveUnitName(i)).fileReference, i + 1u);
        index.Insert(position, u"name-0000150x", ValueFor(5000));
        index.Save();
        entry->Save();
    }
    engine.Reopen();
    CIndex again(CFileEntry::Load(entry->GetReference(), engine.Volume()), u"$I30", engine.Volume().GetUpCase());
    EXPECT_EQ(again.GetEntry(u"name-0000150x").fileReference, 5000u);
    EXPECT_EQ(ListEntries(again).size(), count + 1u);
    EXPECT_TRUE(again.Inspect().balanced);
}

// A block's write buffer is not cleared when made: past the entries it must
// still reach the disk as zeros, whatever the freed memory it came from held.
TEST(IndexBlockCache, BlocksWrittenFromAFreshBufferAreZeroPastTheirEntries) {
    EngineVolume engine;
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    CIndex index(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 4096 / engine.Volume().GetClusterSize());
    for (int i = 0; i < 300; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(i + 1));
    auto junk = std::make_unique<std::vector<uint8_t>>(1 << 16, 0xA5);
    ASSERT_EQ(std::count(junk->begin(), junk->end(), 0xA5), 1 << 16);
    junk.reset();
    index.Save();
    std::vector<uint8_t> blocks = entry->GetAttribute(AttrType::IndexAllocation, u"$I30")->ReadAll();
    MstUnprotect(blocks, static_cast<uint32_t>(blocks.size() / 4096), 4096);
    for (size_t at = 0; at < blocks.size(); at += 4096) {
        const size_t end = IndexBlock::Header + CByteReader(blocks).U32(at + IndexBlock::Header + IndexHeader::BytesInUse);
        EXPECT_EQ(std::count(blocks.begin() + at + end, blocks.begin() + at + 4096, 0), 4096 - end) << at;
    }
}

// Past its bound of leaves, a lookup reads a block into the node of the least
// recently used leaf. A leaf changed and not yet saved, or one a position
// still holds, must never be the one taken: lookups cycle some eighty leaves
// through the cache between the changes and the insert through the position.
TEST(IndexBlockCache, LeavesTakenOverByLookupsKeepChangesAndHeldPositions) {
    EngineVolume engine;
    auto expected = [](int i) { return i % 997 == 0 ? 10000u + i : i + 1u; };
    CIndex index(NewEntry(engine.Volume(), u"d", true), u"$I30", engine.Volume().GetUpCase(), 4096,
                 4096 / engine.Volume().GetClusterSize());
    for (int i = 0; i < 3000; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(i + 1));
    index.Save();
    for (int i = 0; i < 3000; i += 997) index.UpdateEntry(TwelveUnitName(i), ValueFor(expected(i)));
    const CIndex::SInsertPosition position = index.FindInsertPosition(u"name-0001500x");
    for (int i = 0; i < 6000; ++i) ASSERT_EQ(index.GetEntry(TwelveUnitName(i % 3000)).fileReference, expected(i % 3000));
    index.Insert(position, u"name-0001500x", ValueFor(50000));
    EXPECT_EQ(index.GetEntry(u"name-0001500x").fileReference, 50000u);
    index.Save();
}

// Names added in order fill their blocks: the short last node a split leaves
// is filled, not pooled with its full neighbour (every block half empty).
TEST(IndexTreeInOrder, NamesAddedInOrderFillTheirBlocks) {
    EngineVolume engine;
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    CIndex index(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 4096 / engine.Volume().GetClusterSize());
    const uint32_t count = 2000;
    for (uint32_t i = 0; i < count; ++i) index.AddEntry(TwelveUnitName(static_cast<int>(i)), ValueFor(i + 1));
    const uint32_t capacity = 4096 - IndexBlock::EntriesOffset(IndexBlock::UsaCountFor(4096));
    const uint32_t perBlock = (capacity - IndexEntry::SmallEndLength) / IndexEntry::LengthForName(12);
    const SIndexShape shape = index.Inspect();
    EXPECT_TRUE(shape.ordered && shape.balanced && shape.entries == count);
    EXPECT_LE(shape.blocks, count / perBlock + 4);  // full leaves, the last one, the level above
    index.Save();
    entry->Save();
}

// Removes that leave their leaf over a quarter full rewrite it alone, also
// where names added out of order left it just under half: pooling it with a
// sibling copies three blocks, and the next remove there pools them again.
TEST(IndexTreeRemoves, RemovesFromHalfFullLeavesRewriteOnlyTheirLeaf) {
    EngineVolume engine;
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    CIndex index(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 4096 / engine.Volume().GetClusterSize());
    for (int i = 0; i < 4000; ++i) index.AddEntry(TwelveUnitName(i * 7919 % 4000), ValueFor(i + 1u));
    index.Save();
    const uint64_t writes = engine.Device().writeCount;
    for (int i = 0; i < 4000; i += 10) {
        index.RemoveEntry(TwelveUnitName(i));
        index.Save();
    }
    EXPECT_LT(engine.Device().writeCount - writes, 600u);  // more only where a name sat above the leaves
}

// Names added in order leave full upper blocks behind, which the cache drops
// past a small bound once written and not asked for since. Changes and
// lookups that reach them later read them again, never an older copy.
TEST(IndexBlockCache, UpperBlocksLeftBehindByNamesInOrderAreReadAgain) {
    EngineVolume engine(WithClusters(4096, 64ull << 20));
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    CIndex index(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 1);
    const int count = 100000;
    for (int i = 0; i < count; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(i + 1));
    for (int i = 0; i < count; i += 997) index.UpdateEntry(TwelveUnitName(i), ValueFor(i + 7));
    for (int i = 500; i < count; i += 1000) index.RemoveEntry(TwelveUnitName(i));
    for (int i = 0; i < count; i += 997) EXPECT_EQ(index.GetEntry(TwelveUnitName(i)).fileReference, i + 7u);
    EXPECT_EQ(ListEntries(index).size(), count - count / 1000u);
    index.Save();
}

// Lookups keep the blocks above the leaves reduced to names and child
// pointers. Each step opens the index afresh, looks every name up (so that
// those blocks are reduced), changes it, and looks again: the change must be
// seen, and a name found in a reduced block, even ignoring case, comes with
// its whole entry.
TEST(IndexBlockCache, BlocksReducedForLookupsNeverServeAnOlderTree) {
    EngineVolume engine(WithClusters(4096, 64ull << 20));
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    std::optional<CIndex> index;
    std::map<int, uint64_t> expected;  // name number -> reference
    auto add = [&](int from, int to) {
        for (int i = from; i < to; ++i) index->AddEntry(TwelveUnitName(i), ValueFor(expected[i] = i + 1u));
    };
    auto check = [&](size_t step) {
        for (const auto& [i, reference] : expected) {
            const SIndexEntryValue value = index->GetEntry(i % 2 ? SwapCase(TwelveUnitName(i)) : TwelveUnitName(i));
            ASSERT_EQ(value.fileReference, reference) << "step " << step << ", name " << i;
            ASSERT_EQ(value.dataSize, reference * 7) << "step " << step << ", name " << i;
        }
        EXPECT_EQ(ListEntries(*index).size(), expected.size()) << "step " << step;
        EXPECT_TRUE(index->Inspect().balanced) << "step " << step;
    };
    const std::vector<std::function<void()>> steps = {
        [&] { add(0, 3000); },
        [&] { for (auto& [i, reference] : expected) index->UpdateEntry(TwelveUnitName(i), ValueFor(reference += 9)); },
        [&] { for (int i = 0; i < 3000; i += 3) index->RemoveEntry(TwelveUnitName(i)), expected.erase(i); },
        [&] { add(3000, 4500); },
    };
    for (size_t step = 0; step < steps.size(); ++step) {
        if (step == 0) index.emplace(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 1);
        else index.emplace(entry, u"$I30", engine.Volume().GetUpCase());
        check(step);
        steps[step]();
        check(step);
        index->Save();
    }
}

// Blocks of a wide level that lookups pass once are read into spare nodes. A
// node still held (a search keeps a match ignoring case while it descends)
// must never be read over by the next pass.
TEST(IndexBlockCache, APassedBlockStillHeldIsNeverReadOver) {
    EngineVolume engine;
    FileEntryPtr entry = NewEntry(engine.Volume(), u"d", true);
    CIndex index(entry, u"$I30", engine.Volume().GetUpCase(), 4096, 4096 / engine.Volume().GetClusterSize());
    for (int i = 0; i < 3000; ++i) index.AddEntry(TwelveUnitName(i), ValueFor(i + 1));
    index.Save();
    CIndexBlockStore probe(entry, u"$I30", 4096), blocks(entry, u"$I30", 4096);
    std::vector<std::pair<uint64_t, IndexNodePtr>> held;
    for (uint64_t block = 0; block < probe.BlockCount(); ++block)
        if (!probe.Load(probe.Vcn(block))->IsLeaf())
            held.emplace_back(block, blocks.LoadForLookup(blocks.Vcn(block), 1 << 20));
    ASSERT_GE(held.size(), 2u);
    for (const auto& [block, node] : held) EXPECT_EQ(node->Block(), block);
}
