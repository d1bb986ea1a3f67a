#pragma once
// The INDX blocks of one index: $INDEX_ALLOCATION holds them and the index's
// $BITMAP marks those in use. Blocks are read on demand into a bounded cache
// of parsed nodes; changed ones stay cached until written back, and only they
// are ever written. Leaves and the levels above them are cached apart: every
// lookup passes through the upper levels, which are a few percent of the
// blocks, so they are kept up to a bound in bytes, while leaves (what a walk
// or a lookup ends in) are kept up to a small count.
#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/UnzeroedAllocator.h"
#include "entries/Attribute.h"
#include "index/IndexNode.h"

namespace volcore {

class CFileEntry;

class CIndexBlockStore {
public:
    // Takes over the allocation and bitmap of the index when the entry has
    // both, at the first call that needs them: a visit of a directory whose
    // root holds all of its names never does.
    CIndexBlockStore(std::shared_ptr<CFileEntry> entry, std::u16string name, uint32_t blockSize);
    CIndexBlockStore(const CIndexBlockStore&) = delete;
    CIndexBlockStore& operator=(const CIndexBlockStore&) = delete;

    bool HasAllocation() {
        Attach();
        return m_allocation != nullptr;
    }
    // Takes over the allocation and bitmap now, if not done yet: before an
    // index takes in a change, so that damage found there refuses the change
    // instead of the save that would have written it.
    void PrepareForChange() { Attach(); }
    // Bytes of entries one block holds, its end entry included.
    uint32_t Capacity() const;
    // Blocks the allocation spans, in use or not.
    uint64_t BlockCount() {
        Attach();
        return Blocks();
    }
    uint64_t BlocksInUse();
    uint64_t Vcn(uint64_t block) const;

    // The block a child pointer names, checked against the allocation, the
    // bitmap and the block's own header.
    IndexNodePtr Load(uint64_t vcn);
    // The same block for a lookup passing through: a block above the leaves
    // may come reduced to its names and child pointers (see
    // CIndexNode::Reduce), which is how the cache keeps it when only lookups
    // asked for it. Load replaces such a copy with the whole block. A block
    // on a level some thousands of blocks wide (`levelBlocks`, as the path
    // down estimates it), that lookups did not pass before comes whole and
    // uncached, in a node the next lookup reads into: hand it on through
    // Whole, or only read it before the next lookup; never change it.
    IndexNodePtr LoadForLookup(uint64_t vcn, uint64_t levelBlocks);
    // The whole, cached block of a node a lookup was handed (the root as it
    // is): its caller may change it.
    IndexNodePtr Whole(const IndexNodePtr& node) {
        if (node->IsReduced()) return Load(Vcn(node->Block()));
        if (m_passing) [[unlikely]]
            Adopt(node);
        return node;
    }
    // The same block for a walk in index order, which passes each block once:
    // a cached block is shared as Load shares it, any other is read but not
    // cached (it would only push out what lookups use), into `spare` when
    // the caller alone holds that node.
    IndexNodePtr LoadForWalk(uint64_t vcn, IndexNodePtr& spare);
    // A free block (the allocation grows when none is left), holding only an
    // end entry.
    IndexNodePtr Allocate(std::optional<uint64_t> endChild);
    void Free(const CIndexNode& node) {
        Attach();
        Free(node.Block());
    }
    // Every block becomes free; what cached nodes held is dropped unwritten.
    void FreeAll();

    // A save is ordered so that whatever prefix of its writes reaches the
    // disk leaves a whole tree: blocks the tree on disk does not reach yet
    // first, then the bits that cover them, then the one node whose write
    // commits the change (the root, in the record, or a single block), and
    // only then what that node no longer points at. Blocks the tree on disk
    // still reaches are never handed out before that.

    // Changed blocks the tree on disk reaches: rewriting more than one of them
    // in place would leave a mix of old and new after a cut.
    std::vector<IndexNodePtr> ChangedCommittedBlocks();
    // Moves a changed block to a free one the disk does not reach; the
    // caller points its parent at the copy, which is returned.
    IndexNodePtr Relocate(const IndexNodePtr& node);
    // Blocks in use that the tree on disk does not reach yet.
    void WriteFreshBlocks();
    // The bitmap as it must be while old and new tree are both on disk: the
    // bits in use by either.
    void WriteBitsForCommit();
    void WriteBlock(CIndexNode& node);
    // Every changed block, then the bitmap: after the commit, blocks given up
    // are written empty and their bits cleared.
    void WriteDirty();
    // Keeps the cache within its bounds between operations, writing blocks
    // the disk does not reach yet when too many are changed. Nodes someone
    // else still holds stay, so that no change is made to an evicted copy.
    void Trim();
    // Forgets every unwritten change.
    void Discard();
    // Gives the clusters back and deletes both attributes: the index fits
    // its root again.
    void Release();

private:
    [[noreturn]] void ThrowCorruptBlock() const;
    uint64_t OwnerRecord() const;
    void Attach() {
        if (!m_attached) [[unlikely]]
            AttachAttributes();
    }
    void AttachAttributes();
    uint64_t Blocks() const;
    void TakeOver(AttributePtr allocation, AttributePtr bitmap);
    void CreateAllocation();
    // One block's bytes on their way to the device. Every byte is written
    // before it is sent, so a fresh buffer need not be zeroed first.
    using ScratchBytes = std::vector<uint8_t, SUnzeroedAllocator<uint8_t>>;
    ScratchBytes& Scratch();
    uint64_t BlockOf(uint64_t vcn) const;
    // A reduced copy serves only a lookup.
    enum class EUse : uint8_t { Lookup, Walk, Change };
    IndexNodePtr TakeCached(uint64_t block, EUse use);
    IndexNodePtr TakeOldestLeaf();
    IndexNodePtr TakeSpare();
    bool KeepSpare(const IndexNodePtr& node);
    bool PassedBefore(uint64_t block);
    void Adopt(const IndexNodePtr& node);
    // Makes `node` the block's, its entries checked against its header.
    void ReadInto(CIndexNode& node, uint64_t block, uint64_t vcn);
    void Free(uint64_t block);
    uint64_t FindFreeBlock() const;
    bool IsInUse(uint64_t block) const;
    // Marked in use in the bitmap on disk.
    bool IsCommitted(uint64_t block) const;
    void WriteBits(const std::vector<uint8_t>& bits);
    void MarkInUse(uint64_t block, bool inUse);
    IndexNodePtr Remember(IndexNodePtr node, bool forLookup = false);
    bool OverBounds() const;
    void EvictClean();
    void Forget(uint64_t block);
    void ForgetAll();
    void HandOut(uint64_t block);
    void SettleHandedOut();
    template <typename Visit>
    void ForEachChangeable(Visit visit);

    std::shared_ptr<CFileEntry> m_entry;
    std::u16string m_name;
    uint32_t m_blockSize;
    uint32_t m_vcnsPerBlock;
    bool m_attached = false;
    AttributePtr m_allocation;
    AttributePtr m_bitmap;
    std::vector<uint8_t> m_bits;
    std::vector<uint8_t> m_committed;  // the bitmap as on disk
    // Some bit of m_bits changed since it was last written whole.
    bool m_bitsChanged = false;
    // No byte of the bitmap before this one has a free block.
    uint64_t m_freeHint = 0;
    ScratchBytes m_scratch;
    // Every byte of the scratch buffer from here on is zero.
    uint32_t m_scratchZeroFrom = 0;
    // Most recently used first, leaves and upper levels each in their own
    // list; the map finds a block's place. Upper blocks a save wrote and
    // nobody asked for since have a list of their own with a smaller bound:
    // names added in order leave full blocks behind that no lookup may ever
    // want, and a large directory filled that way would otherwise keep its
    // upper levels whole.
    using Recency = std::list<IndexNodePtr>;
    enum ELevel : uint8_t { Leaves, Upper, Written };
    struct SPlace {
        Recency::iterator at;
        ELevel level;
        uint32_t bytes;  // the node's memory when last measured
    };
    void Measure(SPlace& place);
    void MoveTo(SPlace& place, ELevel level);
    Recency m_recent[3];
    std::unordered_map<uint64_t, SPlace> m_cache;
    uint64_t m_bytes[3] = {};  // of the upper and written lists
    // Blocks handed out to callers since they were last seen unchanged and
    // held by the cache alone: only they can hold changes, so a save looks at
    // them rather than at every cached block (thousands in a large index).
    std::vector<uint64_t> m_handedOut;
    size_t m_handedOutLimit = 0;
    size_t m_settled = 0;  // the list's length when it was last settled
    // Upper blocks lookups pass through before they are cached: the nodes
    // read into (held by nobody else between lookups: a lookup holds at
    // most the node it descends from while it reads the next), and the
    // blocks passed once, by block number modulo the table's size (a block
    // pushed out by another only waits for its next pass). Set up at the
    // first such block: most indexes have no level between root and leaves.
    struct SPassing {
        IndexNodePtr spares[2];
        std::array<uint32_t, 128> seen{};  // block + 1; 0 for none
    };
    std::unique_ptr<SPassing> m_passing;
};

}  // namespace volcore
