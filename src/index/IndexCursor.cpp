#include "index/IndexCursor.h"

namespace volcore {

CIndexCursor::CIndexCursor(CIndexTree& tree, IndexNodePtr root) : m_tree(tree), m_root(std::move(root)) {}

void CIndexCursor::SeekFirst() {
    m_stack.assign(1, SIndexStep{m_root, 0});
    m_entered.clear();
    Descend();
}

void CIndexCursor::SeekAfter(std::u16string_view name) {
    m_stack.clear();
    m_entered.clear();
    IndexNodePtr node = m_root;
    for (uint64_t depth = 0;; ++depth) {
        if (depth > m_tree.WalkLimit()) m_tree.ThrowCorrupt();
        size_t slot = m_tree.Position(*node, name, true);
        m_stack.push_back({node, slot});
        if (!node->HasChild(slot)) break;
        IndexNodePtr child = m_tree.LoadChild(*node, slot);
        if (slot == node->Count()) m_stack.pop_back();
        node = child;
    }
    SkipFinished();
}

void CIndexCursor::Next() {
    ++m_stack.back().slot;
    Descend();
}

// Goes into the child before the top's slot, and on down to the first leaf
// entry. A node whose end child is entered has nothing left to hand out, so
// it leaves the stack: a long chain of blocks costs no depth.
void CIndexCursor::Descend() {
    while (m_stack.back().node->HasChild(m_stack.back().slot)) {
        SIndexStep& top = m_stack.back();
        IndexNodePtr child = m_tree.LoadChild(*top.node, top.slot);
        if (!m_entered.insert(child->Block()).second || m_stack.size() > m_tree.WalkLimit()) m_tree.ThrowCorrupt();
        if (top.slot == top.node->Count()) m_stack.pop_back();
        m_stack.push_back({child, 0});
    }
    SkipFinished();
}

void CIndexCursor::SkipFinished() {
    while (!m_stack.empty() && m_stack.back().slot >= m_stack.back().node->Count()) m_stack.pop_back();
}

}  // namespace volcore
