#pragma once
// A file-name index as a B-tree: searching it and the edits that keep it
// balanced. New entries go into leaves; a node that outgrows its block splits
// and its middle entry moves up; a node left short (a leaf under a quarter
// full, a node above the leaves under half) borrows from or merges with a
// sibling; the root, which lives in the directory's record, grows a level by
// moving its entries into a new block and takes its only child back when
// that fits. Every leaf stays at the same depth.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "index/IndexBlockStore.h"
#include "index/IndexNode.h"
#include "disk/UpCase.h"

namespace volcore {

struct SIndexStep {
    IndexNodePtr node;
    size_t slot = 0;  // the entry found there, or the child gone into
};
using IndexPath = std::vector<SIndexStep>;

// Where a search for a name ended.
struct SIndexSearch {
    IndexPath path;          // root first; only the last step unless kept for a change
    bool exact = false;      // the last step's slot holds the name itself
    SIndexStep match;        // the name, or else one equal to it ignoring case
    size_t matchDepth = 0;   // the match's place in a kept path
    bool irregular = false;  // a node on the path was not a regular B-tree node
};

// What a full walk of the tree found.
struct SIndexShape {
    uint64_t entries = 0;
    uint32_t depth = 0;      // levels, the root's included
    bool balanced = true;    // every leaf at the same depth
    bool ordered = true;     // every name after the one before it
    uint64_t blocks = 0;     // blocks in the tree
    uint64_t blocksMarked = 0;  // blocks the bitmap calls in use
};

class CIndexTree {
public:
    // `rootHolds` tells whether the root may hold that many bytes of entries
    // now; `name` and `ownerRecord` name the index in messages.
    CIndexTree(IndexNodePtr root, CIndexBlockStore& blocks, const UpCaseTable& upcase,
               std::function<bool(uint32_t)> rootHolds, std::u16string name, uint64_t ownerRecord);

    // Descends for `name` in index order. A search for a change keeps the
    // whole path and stops at the first node that is not regular.
    SIndexSearch Search(std::u16string_view name, bool forChange);
    // What Search(name, false) finds as its match (no node when nothing
    // matches), without keeping a path: a lookup's descent. `toRead` is for
    // a caller that only reads the match before the next lookup: its node
    // may then be one the block store does not cache (see
    // CIndexBlockStore::LoadForLookup), never to be changed.
    SIndexStep Find(std::u16string_view name, bool toRead = false);
    // The first entry of the node ordered after `name` (or not before it).
    // `exact`, when given, receives the slot of an entry found to hold `name`
    // itself (kept when none is).
    size_t Position(const CIndexNode& node, std::u16string_view name, bool after, size_t* exact = nullptr) const;
    IndexNodePtr LoadChild(const CIndexNode& node, size_t slot);
    // The same for a walk in index order (see CIndexBlockStore::LoadForWalk).
    IndexNodePtr LoadChildForWalk(const CIndexNode& node, size_t slot, IndexNodePtr& spare) {
        return m_blocks.LoadForWalk(node.ChildVcn(slot), spare);
    }
    // Whether a walk went deeper, or through more nodes, than the blocks
    // allow: the tree is then corrupt (a loop of child pointers). The
    // blocks are counted only past the first step: a lookup in a directory
    // whose root holds all of its names never needs the block store.
    bool PastWalkLimit(uint64_t steps) const { return steps > 1 && steps > m_blocks.BlockCount() + 1; }
    [[noreturn]] void ThrowCorrupt() const;
    // The entry holding `name` itself; no node when there is none.
    SIndexStep FindExact(std::u16string_view name, bool toRead = false);

    // Puts `entry` (without child) where a search for its name ended.
    void Insert(SIndexSearch& search, std::span<const uint8_t> entry);
    // Removes the match of a search; false, with nothing changed, when the
    // tree must be rebuilt first.
    bool Remove(SIndexSearch& search);
    // Set when an edit met subtrees of unequal height (left by another
    // implementation): the tree is valid but needs a rebuild to be balanced.
    bool NeedsRebuild() const { return m_needsRebuild; }
    // Makes the tree hold `entries` (ordered, without children), balanced.
    void Rebuild(const std::vector<EntryBytes>& entries);
    // Moves the root's entries into a block when they no longer fit the record.
    void FitRoot();

    SIndexShape Measure();
    // The node and slot whose child pointer leads to the block `node`.
    SIndexStep ParentOf(const CIndexNode& node);

private:
    static uint64_t LevelBelow(uint64_t levelBlocks, const CIndexNode& node);
    void TakeWholeBlocks(SIndexSearch& result);
    void Fix(IndexPath& path, bool appendRight);
    void Split(IndexPath& path, size_t level, bool appendRight);
    void Rebalance(IndexPath& path, size_t level);
    static uint32_t ShortOf(const CIndexNode& node, uint32_t capacity);
    void FixRoot();
    void GrowRoot();
    size_t ChooseSplit(std::span<const uint32_t> entries, bool leaf, bool appendRight) const;
    std::vector<EntryBytes> TakeEntries(const CIndexNode& node) const;
    IndexPath RightEdge();

    // A change runs whole or not at all: when one of its steps fails (no
    // room left for a new block, a block that cannot be read), the nodes it
    // touched get back what they held and the blocks it took are freed, so
    // that no entry of a failed call stays behind to be written by a later
    // save. `undoFirst` reverts what the caller did before the work.
    template <typename Work, typename UndoFirst>
    void Atomically(Work work, UndoFirst undoFirst);
    void RollBack() noexcept;
    // Within a change: notes a node as it is before the change touches it.
    void Keep(const IndexNodePtr& node);
    IndexNodePtr TakeBlock(std::optional<uint64_t> endChild);
    // A block freed within a change is given up once the change succeeded.
    void GiveUp(const IndexNodePtr& node);

    struct SKeptNode {
        IndexNodePtr node;
        CIndexNode before;
    };
    bool m_changing = false;
    std::vector<SKeptNode> m_kept;
    std::vector<IndexNodePtr> m_taken;
    std::vector<IndexNodePtr> m_givenUp;

    IndexNodePtr m_root;
    CIndexBlockStore& m_blocks;
    const UpCaseTable& m_upcase;
    std::function<bool(uint32_t)> m_rootHolds;
    std::u16string m_name;
    uint64_t m_ownerRecord;
    bool m_needsRebuild = false;
};

}  // namespace volcore
