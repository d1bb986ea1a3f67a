#include "index/IndexCursor.h"

#include <algorithm>

namespace volcore {

CIndexCursor::CIndexCursor(CIndexTree& tree, IndexNodePtr root) : m_tree(tree), m_root(std::move(root)) {}

void CIndexCursor::Restart() {
    m_stack.clear();
    std::fill(m_entered.begin(), m_entered.end(), 0);
}

void CIndexCursor::SeekFirst() {
    Restart();
    m_stack.push_back(SIndexStep{m_root, 0});
    Descend();
}

void CIndexCursor::SeekAfter(std::u16string_view name) {
    Restart();
    IndexNodePtr node = m_root;
    for (uint64_t depth = 0;; ++depth) {
        if (m_tree.PastWalkLimit(depth)) m_tree.ThrowCorrupt();
        size_t slot = m_tree.Position(*node, name, true);
        m_stack.push_back({node, slot});
        if (!node->HasChild(slot)) break;
        IndexNodePtr child = m_tree.LoadChild(*node, slot);
        if (slot == node->Count()) m_stack.pop_back();
        node = child;
    }
    SkipFinished();
}

// Block numbers were checked against the allocation when the block was
// loaded, so the bits stay within its size (which may grow during the walk).
bool CIndexCursor::Enter(uint64_t block) {
    const size_t word = static_cast<size_t>(block / 64);
    if (word >= m_entered.size()) m_entered.resize(word + 1, 0);
    const uint64_t bit = uint64_t{1} << (block % 64);
    if (m_entered[word] & bit) return false;
    m_entered[word] |= bit;
    return true;
}

// Goes into the child before the top's slot, and on down to the first leaf
// entry. A node whose end child is entered has nothing left to hand out, so
// it leaves the stack: a long chain of blocks costs no depth.
void CIndexCursor::Descend() {
    while (m_stack.back().node->HasChild(m_stack.back().slot)) {
        SIndexStep& top = m_stack.back();
        IndexNodePtr child = m_tree.LoadChildForWalk(*top.node, top.slot, m_spare);
        if (!Enter(child->Block()) || m_tree.PastWalkLimit(m_stack.size())) m_tree.ThrowCorrupt();
        if (top.slot == top.node->Count()) Pop();
        m_stack.push_back({std::move(child), 0});
    }
    SkipFinished();
}

void CIndexCursor::SkipFinished() {
    while (!m_stack.empty() && m_stack.back().slot >= m_stack.back().node->Count()) Pop();
}

// A node nobody else holds (one read for this walk alone) is kept for the
// next block.
void CIndexCursor::Pop() {
    IndexNodePtr node = std::move(m_stack.back().node);
    m_stack.pop_back();
    if (node.use_count() == 1) m_spare = std::move(node);
}

}  // namespace volcore
