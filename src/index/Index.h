#pragma once
// A directory's $I30 index: the root in the directory's own record and, once
// the names outgrow it, INDX blocks forming a balanced B-tree. A lookup
// descends from the root through the few blocks on its path; a change edits
// only the nodes on its path; Save writes the root and the changed blocks.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entries/Attribute.h"
#include "index/IndexBlockStore.h"
#include "index/IndexCursor.h"
#include "disk/IndexFormat.h"
#include "index/IndexTree.h"
#include "disk/UpCase.h"
#include "disk/Types.h"

namespace volcore {

class CFileEntry;

class CIndex {
public:
    // Opens the existing index `name` of the entry; only its root is read.
    CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase);
    // A new, empty, dirty index; the caller has created its (empty) $INDEX_ROOT.
    CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase, uint32_t blockSize,
           uint8_t clustersPerBlock);
    ~CIndex();  // a dirty index is reported, never raised from here
    CIndex(const CIndex&) = delete;
    CIndex& operator=(const CIndex&) = delete;

    // The entry of exactly this name, or else one equal to it ignoring case.
    bool FindEntry(std::u16string_view name, SIndexEntryValue& value);
    SIndexEntryValue GetEntry(std::u16string_view name);  // "Entry %1 doesn't exist"

    // Where a new name will go, found once before its object is made. A name
    // equal to a present one ignoring case is refused ("Entry %1 is already
    // exist"), as is one too long for an entry. Insert searches again only
    // when the index changed in between.
    struct SInsertPosition {
        SIndexSearch search;
        uint64_t changes = 0;
        bool caseTwinAllowed = false;
    };
    // With `caseTwinAllowed` only the exact name is refused: a rename that
    // changes only the case adds its new name beside the old one first.
    SInsertPosition FindInsertPosition(std::u16string_view name, bool caseTwinAllowed = false);
    void Insert(const SInsertPosition& position, std::u16string_view name, const SIndexEntryValue& value);
    // The same, using up the position (its search path) rather than a copy.
    void Insert(SInsertPosition&& position, std::u16string_view name, const SIndexEntryValue& value);
    void AddEntry(std::u16string_view name, const SIndexEntryValue& value);
    // Replaces the entry's copy of the object's $FILE_NAME fields; the stored
    // name stays. Changes nothing when the values are already the same.
    void UpdateEntry(std::u16string_view name, const SIndexEntryValue& value);
    // Removes the entry of that name (as stored, or else ignoring case); a
    // missing name is not an error.
    void RemoveEntry(std::u16string_view name);
    // Every entry goes, without reading a block: an index whose blocks are
    // damaged is filled again from the names its directory's children hold.
    // The blocks the tree on disk reaches stay taken until the save that
    // commits the new tree.
    void RemoveAll();

    bool IsEmpty();
    // Hands every entry to `visit` (a callable taking the node and the
    // entry's index in it, returning bool) in index order until it returns
    // false. The node is valid during the call only, and is read, not
    // changed. A change made meanwhile does not derail the walk: it goes on
    // after the last name handed out. A template, so that a listing pays no
    // indirect call per entry.
    template <typename Visit>
    void Walk(Visit&& visit);
    // The same walk with each entry's name (valid during the call only) and value.
    template <typename Visit>
    void ForEach(Visit&& visit) {
        NameBuffer buffer;
        Walk([&](const CIndexNode& node, size_t index) { return visit(node.Name(index, buffer), node.Value(index)); });
    }
    // Walks the whole tree: its depth, balance, order and blocks.
    SIndexShape Inspect();

    uint32_t GetBlockSize() const { return m_blockSize; }
    uint8_t GetClustersPerBlock() const { return m_clustersPerBlock; }
    bool IsDirty() const { return m_dirty; }
    // Changes with every edit of the entries, and differs between any two
    // indexes of a volume session: an answer taken at one version still holds
    // while the index has it.
    uint64_t Version() const { return m_version; }
    // Takes over the version an earlier object of this directory had when it
    // was let go unchanged: the answers found under it hold for what was just
    // loaded. Ignored once the index has changed.
    void AdoptVersion(uint64_t version) {
        if (!m_dirty) m_version = version;
    }
    bool IsLarge() const { return !m_root->IsLeaf(); }
    // Forget unsaved changes (the directory is being deleted or given up).
    void DiscardChanges();

    void Save();

private:
    uint64_t OwnerRecord() const;
    void CheckBlockSize(const char* corruptFormat) const;
    void LoadRoot();
    // Built at the first change: see LoadRoot.
    const AttributePtr& RootAttribute() const;
    void Attach();
    bool RootHolds(uint32_t size) const;
    void WriteRoot();
    void CommitBlocks();
    std::vector<IndexNodePtr> RelocateChangedBlocks();
    SIndexSearch SearchForChange(std::u16string_view name);
    void Rebuild();
    void ReturnToSaved();
    void Changing();
    void NewVersion();
    void Edited();
    void Settle();

    const UpCaseTable* m_upcase;
    std::u16string m_name;
    std::shared_ptr<CFileEntry> m_entry;
    mutable AttributePtr m_rootAttribute;
    IndexNodePtr m_root;
    // In the index itself: every first visit of a directory builds both.
    std::optional<CIndexBlockStore> m_blocks;
    std::optional<CIndexTree> m_tree;
    uint32_t m_blockSize = 0;
    uint8_t m_clustersPerBlock = 0;
    uint64_t m_changes = 0;  // counts edits that may move entries between nodes
    uint64_t m_version = 0;
    bool m_dirty = false;
};

template <typename Visit>
void CIndex::Walk(Visit&& visit) {
    CIndexCursor cursor(*m_tree, m_root);
    NameBuffer buffer;
    // The walk holds blocks of its own that an edit does not reach: after any
    // edit, values changed in place included, it finds its place again.
    uint64_t version = m_version;
    for (cursor.SeekFirst(); !cursor.AtEnd();) {
        const CIndexNode& node = cursor.Node();
        const size_t index = cursor.Index();
        // The name to go on after is copied before the visit only where an
        // edit made during it could reach the node (the root, a cached block).
        const bool owned = cursor.OwnsNode();
        std::u16string_view name = owned ? std::u16string_view() : node.Name(index, buffer);
        if (!visit(node, index)) break;
        if (version == m_version) {
            cursor.Next();
            continue;
        }
        version = m_version;
        if (owned) name = node.Name(index, buffer);
        cursor.SeekAfter(name);
    }
    Settle();
}

}  // namespace volcore
