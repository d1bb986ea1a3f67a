#pragma once
// A walk through a file-name index in index order, one entry at a time,
// reading each block once and keeping only the path to the current entry.
#include <string_view>
#include <vector>

#include "index/IndexTree.h"

namespace volcore {

class CIndexCursor {
public:
    CIndexCursor(CIndexTree& tree, IndexNodePtr root);

    void SeekFirst();
    // To the first entry ordered after `name`.
    void SeekAfter(std::u16string_view name);
    bool AtEnd() const { return m_stack.empty(); }
    // The current entry: an index into this node.
    const CIndexNode& Node() const { return *m_stack.back().node; }
    size_t Index() const { return m_stack.back().slot; }
    // Whether the current node was read for this walk alone: nothing else
    // holds it, so no edit of the index can change it under the walk.
    bool OwnsNode() const { return m_stack.back().node.use_count() == 1; }
    // Within a node, from one entry without a child to the next (most steps
    // of a walk: every entry of a leaf), nothing needs to be looked up.
    void Next() {
        SIndexStep& top = m_stack.back();
        if (++top.slot < top.node->Count() && !top.node->HasChild(top.slot)) return;
        Descend();
    }

private:
    void Descend();
    void SkipFinished();
    void Pop();
    void Restart();
    // Marks a block entered; false when it was already.
    bool Enter(uint64_t block);

    CIndexTree& m_tree;
    IndexNodePtr m_root;
    // Each step's slot is the entry to hand out once the child before it is done.
    std::vector<SIndexStep> m_stack;
    // A bit per block of the allocation for the blocks already entered: a
    // block reached twice would make the walk repeat itself, or never end.
    std::vector<uint64_t> m_entered;
    // A finished node only this walk held, read into again for the next block.
    IndexNodePtr m_spare;
};

}  // namespace volcore
