#pragma once
// One node of a file-name index, the root's entries or one INDX block's,
// held in on-disk form: entries back to back, the end entry last. Entries
// keep every byte other implementations gave them; only their child pointers
// (and so their lengths) change when they move between levels.
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "base/InlineVector.h"
#include "base/UnzeroedAllocator.h"
#include "disk/IndexFormat.h"

namespace volcore {

// Room for the longest name an entry can hold.
using NameBuffer = std::array<char16_t, IndexEntry::LongestNameUnits>;

// An entry copied out of a node, in the form it will take in its new place.
using EntryBytes = std::vector<uint8_t>;

class CIndexNode {
public:
    static constexpr uint64_t kRootBlock = ~uint64_t{0};

    // A node to read a block into (see BlockBuffer); it holds nothing
    // until then.
    CIndexNode() = default;
    // A node holding nothing but its end entry.
    CIndexNode(uint64_t block, std::optional<uint64_t> endChild);
    // The node whose entries fill `area`, the end entry last; raises on any
    // entry that does not fit or lacks the fields its flags promise.
    CIndexNode(uint64_t block, const CByteReader& area);

    // A block is read straight into the node: the caller fills this buffer
    // of `size` bytes (the node's entries are meaningless until it calls
    // TakeBlock), and the node then keeps the entries where they lie in it,
    // keeping its memory from block to block: a walk reads block after block
    // into one node. Should the caller raise in between, it drops the node.
    std::span<uint8_t> BlockBuffer(uint32_t size);
    // The entries of the block in the buffer lie in [first, end), the end
    // entry last; checked as the constructor above checks them.
    void TakeBlock(uint64_t block, uint32_t first, uint32_t end);

    // Holds the entries alone, in memory of their size: for a node kept long
    // (the levels above the leaves), whose block's header and free space
    // would otherwise stay with it.
    void Compact();
    // Keeps only what a lookup passing through needs, each name and child
    // pointer, in about a quarter of the memory: for the levels above the
    // leaves of a large index, which lookups keep cached. Only a regular node
    // whose entries all have children is reduced (returns whether it was).
    // A reduced node answers Count, Name, NameBytes, HasChild and ChildVcn
    // alone; it is never changed or written, and a lookup that ends in it
    // takes the whole block instead.
    bool Reduce();
    bool IsReduced() const { return m_reduced; }

    uint64_t Block() const { return m_block; }
    size_t Count() const { return m_offsets.size() - 1; }  // named entries
    uint32_t Size() const { return static_cast<uint32_t>(m_bytes.size() - m_first); }
    std::span<const uint8_t> Bytes() const { return std::span<const uint8_t>(m_bytes).subspan(m_first); }
    // The memory the node's buffer holds, used or not.
    size_t Capacity() const { return m_bytes.capacity(); }
    bool IsLeaf() const { return !HasChild(Count()); }
    // Every entry agrees with the end entry about having a child. Older
    // chains of blocks, where only the end entry has one, are not regular.
    bool IsRegular() const { return m_regular; }

    // Slots run from 0 to Count(); the last is the end entry.
    bool HasChild(size_t slot) const {
        if (m_regular && slot < m_offsets.size()) return m_endHasChild;
        return FlagsHaveChild(slot);
    }
    uint64_t ChildVcn(size_t slot) const;
    std::optional<uint64_t> Child(size_t slot) const;
    std::span<const uint8_t> Entry(size_t slot) const;
    std::u16string_view Name(size_t index, NameBuffer& buffer) const;
    // The same name as stored: two little-endian bytes per unit, read in
    // place (a listing widens it straight from the node).
    std::span<const uint8_t> NameBytes(size_t index) const {
        if (m_reduced) [[unlikely]]
            return ReducedName(index);
        const CByteReader entry = Named(index);
        const size_t bytes = 2 * size_t{entry.U8(IndexEntry::NameLength)};
        entry.Check(IndexEntry::Name, bytes);
        return {entry.Data() + IndexEntry::Name, bytes};
    }
    size_t NameUnits(size_t index) const { return Named(index).U8(IndexEntry::NameLength); }
    // The node's bytes from that name on, to its end: a reader may take them
    // in whole chunks past the name (the end entry, 16 bytes at least, follows
    // every name).
    std::span<const uint8_t> NameOnwards(size_t index) const {
        const CByteReader entry = Named(index);
        const size_t start = static_cast<size_t>(entry.Data() - m_bytes.data()) + IndexEntry::Name;
        if (start > m_bytes.size()) ThrowOutOfRange(index);
        return std::span<const uint8_t>(m_bytes).subspan(start);
    }
    SIndexEntryValue Value(size_t index) const {
        const CByteReader entry = Named(index);
        const CByteReader key = entry.Sub(IndexEntry::Key, entry.U16(IndexEntry::KeyLength));
        return MakeIndexEntryValue(entry.U64(IndexEntry::Reference), {key.Data(), key.Size()});
    }
    // A copy of entry `slot` with its child pointer set or dropped.
    EntryBytes CopyEntry(size_t slot, std::optional<uint64_t> child) const;

    void Insert(size_t slot, std::span<const uint8_t> entry);
    void Erase(size_t index);
    void Replace(size_t slot, std::span<const uint8_t> entry);
    // Returns whether anything changed.
    bool SetValue(size_t index, const SIndexEntryValue& value);
    // Makes the node hold `entries` (already in this level's form) and an end
    // entry with the given child.
    void Assign(std::span<const EntryBytes> entries, std::optional<uint64_t> endChild);
    // The same with the named entries [from, to) of `source`, which may be
    // this node: a split keeps the entries where they are.
    void AssignRange(const CIndexNode& source, size_t from, size_t to, std::optional<uint64_t> endChild);

    bool IsDirty() const { return m_dirty; }
    void MarkDirty() { m_dirty = true; }
    void ClearDirty() { m_dirty = false; }

private:
    CByteReader Reader() const { return CByteReader(m_bytes.data(), m_bytes.size()); }
    // Entry `index` of the named ones (not the end entry).
    CByteReader Named(size_t index) const {
        if (index + 1 >= m_offsets.size()) ThrowOutOfRange(index);
        return CByteReader(m_bytes.data() + m_offsets[index], m_offsets[index + 1] - m_offsets[index]);
    }
    [[noreturn]] void ThrowOutOfRange(size_t index) const;
    // A reduced entry: the name's length in units, the name, the child's VCN
    // in 32 bits.
    static constexpr size_t kReducedVcnSize = 4;
    std::span<const uint8_t> ReducedName(size_t index) const {
        if (index + 1 >= m_offsets.size()) ThrowOutOfRange(index);
        const CByteReader entry(m_bytes.data() + m_offsets[index], m_offsets[index + 1] - m_offsets[index]);
        const size_t bytes = 2 * size_t{entry.U8(0)};
        entry.Check(1, bytes);
        return {entry.Data() + 1, bytes};
    }
    void RefuseReduced() const;
    bool FlagsHaveChild(size_t slot) const;
    void Splice(size_t slot, size_t removed, std::span<const uint8_t> entry);
    bool SpliceKeepsShape(size_t slot, size_t removed, std::span<const uint8_t> entry) const;
    // Shifts the offsets past `slot` after a splice there that kept the shape.
    void MoveOffsets(size_t slot, size_t removed, size_t added);
    void Reindex();
    // Notes how the entries agree about children, from the flags seen while indexing.
    void SetShape(bool withChild, bool withoutChild, bool endHasChild);
    // Finds the entries of `area`, which starts at `first` in the buffer,
    // and returns their length through the end entry.
    size_t IndexArea(const CByteReader& area, uint32_t first);
    void AppendOffsets(const uint32_t* offsets, size_t count);

    uint64_t m_block = 0;
    // The entries run from m_first to the end; what comes before them is
    // the rest of the block they were read with (its header), never used.
    std::vector<uint8_t, SUnzeroedAllocator<uint8_t>> m_bytes;
    uint32_t m_first = 0;
    // Start of every entry in m_bytes, the end entry's last; inside the node
    // for a root of a few names (every first visit of a directory loads one).
    CInlineVector<uint32_t, 8> m_offsets;
    // Whether every entry agrees with the end entry about having a child: a
    // search for a change asks it of every node on its path, so it is found
    // once per edit, in the walk that finds the offsets.
    bool m_regular = true;
    // The end entry's answer, which a regular node's every entry shares: a
    // walk asks it after every entry.
    bool m_endHasChild = false;
    bool m_dirty = false;
    bool m_reduced = false;
};

using IndexNodePtr = std::shared_ptr<CIndexNode>;

}  // namespace volcore
