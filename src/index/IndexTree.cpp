#include "index/IndexTree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdint>
#include <numeric>
#include <unordered_set>

#include "base/Exception.h"

namespace volcore {

namespace {

// A balanced tree of two-entry nodes this deep would hold more names than
// any volume has records; a deeper path for a change is damage.
constexpr size_t kMaxChangeDepth = 64;

uint32_t EndLength(bool leaf) { return leaf ? IndexEntry::SmallEndLength : IndexEntry::ChildEndLength; }

uint64_t TotalSize(const std::vector<EntryBytes>& entries) {
    return std::accumulate(entries.begin(), entries.end(), uint64_t{0},
                           [](uint64_t sum, const EntryBytes& entry) { return sum + entry.size(); });
}

std::vector<uint32_t> EntrySizes(const std::vector<EntryBytes>& entries) {
    std::vector<uint32_t> sizes;
    sizes.reserve(entries.size());
    for (const EntryBytes& entry : entries) sizes.push_back(static_cast<uint32_t>(entry.size()));
    return sizes;
}

// The order of a name as a node stores it (two little-endian bytes per unit,
// read in place) against `name`, as CompareFileNames gives it: copying every
// name out of its node before comparing it had cost a lookup about as much
// as the comparisons themselves. The node checked the name's bytes against
// its entry when it handed them out; every unit read below lies inside them.
ECollation CompareStoredName(std::span<const uint8_t> stored, std::u16string_view name, const UpCaseTable& upcase) {
    const uint8_t* const bytes = stored.data();
    const size_t count = stored.size() / 2;
    const size_t common = std::min(count, name.size());
    auto unit = [bytes](size_t i) { return static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8); };
    // Units that are the same are the same in upper case too. Names in one
    // node share ever longer beginnings with the name looked for: they are
    // compared four units at a time.
    size_t same = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; same + 4 <= common; same += 4) {
            uint64_t held;
            uint64_t asked;
            std::memcpy(&held, bytes + 2 * same, sizeof held);
            std::memcpy(&asked, name.data() + same, sizeof asked);
            if (held != asked) {
                same += static_cast<size_t>(std::countr_zero(held ^ asked)) / 16;
                break;
            }
        }
    }
    while (same < common && unit(same) == name[same]) ++same;
    for (size_t i = same; i < common; ++i) {
        const char16_t left = ToUpper(upcase, unit(i));
        const char16_t right = ToUpper(upcase, name[i]);
        if (left != right) return left < right ? ECollation::Less : ECollation::Greater;
    }
    if (count != name.size()) return count < name.size() ? ECollation::Less : ECollation::Greater;
    // Equal ignoring case: the first unit that differs decides.
    if (same == common) return ECollation::Equal;
    return unit(same) < name[same] ? ECollation::Less : ECollation::Greater;
}

std::span<const EntryBytes> Range(const std::vector<EntryBytes>& entries, size_t begin, size_t end) {
    return std::span<const EntryBytes>(entries).subspan(begin, end - begin);
}

}  // namespace

CIndexTree::CIndexTree(IndexNodePtr root, CIndexBlockStore& blocks, const UpCaseTable& upcase,
                       std::function<bool(uint32_t)> rootHolds, std::u16string name, uint64_t ownerRecord)
    : m_root(std::move(root)),
      m_blocks(blocks),
      m_upcase(upcase),
      m_rootHolds(std::move(rootHolds)),
      m_name(std::move(name)),
      m_ownerRecord(ownerRecord) {}

void CIndexTree::ThrowCorrupt() const {
    throw CException(EErrorKind::Corrupt, "Corrupt index tree %1, file entry %2", m_name, m_ownerRecord);
}

IndexNodePtr CIndexTree::LoadChild(const CIndexNode& node, size_t slot) { return m_blocks.Load(node.ChildVcn(slot)); }

size_t CIndexTree::Position(const CIndexNode& node, std::u16string_view name, bool after, size_t* exact) const {
    // Entries of a node are in index order: a binary search finds the place.
    size_t low = 0;
    size_t high = node.Count();
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        ECollation order = CompareStoredName(node.NameBytes(middle), name, m_upcase);
        // Only the same units compare equal.
        if (order == ECollation::Equal && exact) *exact = middle;
        bool before = order == ECollation::Less || (after && order == ECollation::Equal);
        if (before) low = middle + 1;
        else high = middle;
    }
    return low;
}

SIndexSearch CIndexTree::Search(std::u16string_view name, bool forChange) {
    SIndexSearch result;
    result.path.reserve(4);  // the depth of all but the largest directories
    IndexNodePtr node = m_root;
    NameBuffer buffer;
    uint64_t levelBlocks = 1;
    for (uint64_t depth = 0;; ++depth) {
        if (forChange ? depth > kMaxChangeDepth : PastWalkLimit(depth)) ThrowCorrupt();
        size_t slot = Position(*node, name, false);
        if (!forChange) result.path.clear();
        result.path.push_back({node, slot});
        if (forChange && !node->IsRegular()) {
            result.irregular = true;
            return result;
        }
        if (slot < node->Count() && node->Name(slot, buffer) == name) {
            result.exact = true;
            result.match = {node, slot};
            result.matchDepth = result.path.size() - 1;
            TakeWholeBlocks(result);
            return result;
        }
        // Names equal ignoring case sit next to the place the name would take,
        // and that place is always next to an entry on the path.
        for (size_t neighbour : {slot, slot - 1}) {
            if (result.match.node || neighbour >= node->Count()) continue;
            if (CompareIgnoreCase(node->Name(neighbour, buffer), name, m_upcase) == ECollation::Equal) {
                result.match = {node, neighbour};
                result.matchDepth = result.path.size() - 1;
            }
        }
        if (!node->HasChild(slot)) {
            TakeWholeBlocks(result);
            return result;
        }
        // A lookup may pass through blocks the cache keeps reduced.
        levelBlocks = LevelBelow(levelBlocks, *node);
        node = forChange ? LoadChild(*node, slot) : m_blocks.LoadForLookup(node->ChildVcn(slot), levelBlocks);
    }
}

// The blocks of the level below a node, taking its siblings to have as many
// children as it has; held below a bound that no product of counts passes.
uint64_t CIndexTree::LevelBelow(uint64_t levelBlocks, const CIndexNode& node) {
    return std::min<uint64_t>(levelBlocks * (node.Count() + 1), uint64_t{1} << 32);
}

// What a search hands out is a whole, cached block: its caller may read the
// match's value or change it.
void CIndexTree::TakeWholeBlocks(SIndexSearch& result) {
    if (result.match.node) result.match.node = m_blocks.Whole(result.match.node);
    for (SIndexStep& step : result.path) step.node = m_blocks.Whole(step.node);
}

// Most lookups name an entry exactly: a first descent looks for that alone,
// and only a name not there as it is asked pays for the comparisons of its
// neighbours ignoring case, on a second descent through blocks just cached.
SIndexStep CIndexTree::Find(std::u16string_view name, bool toRead) {
    if (SIndexStep exact = FindExact(name, toRead); exact.node) return exact;
    return Search(name, false).match;
}

// The lower bound of a binary search is always one of the entries it
// compared, so an entry holding the name itself is among them.
SIndexStep CIndexTree::FindExact(std::u16string_view name, bool toRead) {
    constexpr size_t kNone = SIZE_MAX;
    IndexNodePtr node = m_root;
    uint64_t levelBlocks = 1;
    for (uint64_t depth = 0;; ++depth) {
        if (PastWalkLimit(depth)) ThrowCorrupt();
        size_t exact = kNone;
        const size_t slot = Position(*node, name, false, &exact);
        // A reduced node holds no values: a reader takes the whole block too.
        if (exact != kNone) return {toRead && !node->IsReduced() ? node : m_blocks.Whole(node), exact};
        if (!node->HasChild(slot)) {
            // A name not there is looked for again ignoring case, and often
            // added next: the block the search ended in is kept for both.
            m_blocks.Whole(node);
            return {};
        }
        // A lookup may pass through blocks the cache keeps reduced; what it hands out is whole.
        levelBlocks = LevelBelow(levelBlocks, *node);
        const uint64_t child = node->ChildVcn(slot);
        // Let go first: an uncached node is then free for the child to be
        // read into, and one buffer, still in the processor's cache, serves
        // every level of the descent.
        node.reset();
        node = m_blocks.LoadForLookup(child, levelBlocks);
    }
}

template <typename Work, typename UndoFirst>
void CIndexTree::Atomically(Work work, UndoFirst undoFirst) {
    if (m_changing) {
        work();
        return;
    }
    m_changing = true;
    try {
        work();
    } catch (...) {
        RollBack();
        undoFirst();
        throw;
    }
    m_changing = false;
    m_kept.clear();
    m_taken.clear();
    std::vector<IndexNodePtr> givenUp;
    givenUp.swap(m_givenUp);
    for (const IndexNodePtr& node : givenUp) m_blocks.Free(*node);
}

void CIndexTree::RollBack() noexcept {
    // Newest first: a node kept twice never is, but the order costs nothing.
    for (auto kept = m_kept.rbegin(); kept != m_kept.rend(); ++kept) *kept->node = std::move(kept->before);
    for (const IndexNodePtr& taken : m_taken) {
        try {
            m_blocks.Free(*taken);
        } catch (...) {
            // Only memory can fail here; the block stays marked, reached by nothing.
        }
    }
    m_kept.clear();
    m_taken.clear();
    m_givenUp.clear();
    m_changing = false;
}

void CIndexTree::Keep(const IndexNodePtr& node) {
    if (!m_changing) return;
    for (const SKeptNode& kept : m_kept)
        if (kept.node == node) return;
    m_kept.push_back({node, *node});
}

IndexNodePtr CIndexTree::TakeBlock(std::optional<uint64_t> endChild) {
    if (m_changing) m_taken.reserve(m_taken.size() + 1);
    IndexNodePtr node = m_blocks.Allocate(endChild);
    if (m_changing) m_taken.push_back(node);
    return node;
}

void CIndexTree::GiveUp(const IndexNodePtr& node) {
    if (m_changing) m_givenUp.push_back(node);
    else m_blocks.Free(*node);
}

void CIndexTree::Insert(SIndexSearch& search, std::span<const uint8_t> entry) {
    bool appendRight = std::all_of(search.path.begin(), search.path.end(),
                                   [](const SIndexStep& step) { return step.slot == step.node->Count(); });
    SIndexStep& leaf = search.path.back();
    if (leaf.node->HasChild(leaf.slot)) ThrowCorrupt();
    const IndexNodePtr node = leaf.node;
    const size_t slot = leaf.slot;
    node->Insert(slot, entry);
    Atomically([&] { Fix(search.path, appendRight); }, [&] { node->Erase(slot); });
}

bool CIndexTree::Remove(SIndexSearch& search) {
    IndexPath& path = search.path;
    path.resize(search.matchDepth + 1);
    path.back().slot = search.match.slot;
    CIndexNode& node = *search.match.node;
    const size_t slot = search.match.slot;
    if (node.IsLeaf()) {
        const EntryBytes removed = node.CopyEntry(slot, std::nullopt);
        node.Erase(slot);
        Atomically([&] { Fix(path, false); }, [&] { node.Insert(slot, removed); });
        return true;
    }
    // An entry of an inner node gives its place to the last entry of the
    // leaf before it, so that only leaves ever lose an entry.
    IndexNodePtr current = LoadChild(node, search.match.slot);
    while (true) {
        if (!current->IsRegular() || path.size() > kMaxChangeDepth) return false;
        path.push_back({current, current->Count()});
        if (current->IsLeaf()) break;
        current = LoadChild(*current, current->Count());
    }
    CIndexNode& leaf = *current;
    if (leaf.Count() == 0) return false;
    const EntryBytes replaced = node.CopyEntry(slot, node.Child(slot));
    const size_t last = leaf.Count() - 1;
    const EntryBytes moved = leaf.CopyEntry(last, std::nullopt);
    node.Replace(slot, leaf.CopyEntry(last, node.Child(slot)));
    leaf.Erase(last);
    path.back().slot = leaf.Count();
    Atomically([&] { Fix(path, false); },
               [&] {
                   leaf.Insert(last, moved);
                   node.Replace(slot, replaced);
               });
    return true;
}

// Walks up from the deepest node that changed: a node that outgrew its block
// splits, one left short rebalances with a sibling; either changes its
// parent, which is looked at next. A node on the way up that nothing changed
// since the last save is left as it is, short or not: its fill is what it
// was, and another implementation's tree may hold many nodes just under the
// bound (rebalancing them would copy three blocks on every change below
// them). Names added at the end leave the last node of each level short on
// purpose (the uneven split): pooling it with its full neighbour would undo
// that split on the next name, halve every block and change two blocks the
// disk reaches instead of one.
void CIndexTree::Fix(IndexPath& path, bool appendRight) {
    const uint32_t capacity = m_blocks.Capacity();
    for (size_t level = path.size(); level-- > 1;) {
        CIndexNode& node = *path[level].node;
        if (node.Size() > capacity) {
            while (node.Size() > capacity) Split(path, level, appendRight);
        } else if (!appendRight && node.IsDirty() && node.Size() < ShortOf(node, capacity)) {
            Rebalance(path, level);
        }
    }
    FixRoot();
}

// A rebalance that shares out leaves each side just over half full when the
// pair barely outgrew one block, so with a bound of half the next remove
// there rebalances again: nearly every remove in a directory of half-full
// leaves (as splits leave them) copied three blocks and their parent. A leaf
// is short only under a quarter of its block: after a share-out, a quarter
// of a block of removes comes before the next one. The levels above keep
// half: they change only when a leaf splits or merges, and that bound keeps
// the tree shallow (every level above the leaves multiplies them by four).
uint32_t CIndexTree::ShortOf(const CIndexNode& node, uint32_t capacity) {
    return node.IsLeaf() ? capacity / 4 : capacity / 2;
}

std::vector<EntryBytes> CIndexTree::TakeEntries(const CIndexNode& node) const {
    std::vector<EntryBytes> entries;
    entries.reserve(node.Count());
    for (size_t i = 0; i < node.Count(); ++i) entries.emplace_back(node.Entry(i).begin(), node.Entry(i).end());
    return entries;
}

// The entry that moves up; what stays on either side must fit a block. The
// last node of a level that only grows at its end is split unevenly, so that
// names added in order fill their blocks instead of leaving them half empty.
size_t CIndexTree::ChooseSplit(std::span<const uint32_t> entries, bool leaf, bool appendRight) const {
    const size_t count = entries.size();
    const uint64_t capacity = m_blocks.Capacity();
    const uint64_t total = std::accumulate(entries.begin(), entries.end(), uint64_t{0});
    const uint32_t end = EndLength(leaf);
    if (count < 2)
        throw CException(EErrorKind::Unsupported, "Index block size cannot hold two entries, file entry %1",
                         m_ownerRecord);
    if (appendRight && count >= 3 && total - entries[count - 1] - entries[count - 2] + end <= capacity)
        return count - 2;
    size_t first = count >= 3 ? 1 : 0;
    size_t last = count >= 3 ? count - 2 : count - 1;
    size_t best = first;
    uint64_t bestWorst = UINT64_MAX;
    uint64_t before = 0;
    for (size_t k = 0; k <= last; ++k) {
        uint64_t after = total - before - entries[k];
        uint64_t worst = std::max(before, after) + end;
        if (k >= first && worst < bestWorst) {
            bestWorst = worst;
            best = k;
        }
        before += entries[k];
    }
    return best;
}

// The node keeps its upper half, and with it the parent's pointer; the lower
// half goes to a new block that the moving entry points to.
void CIndexTree::Split(IndexPath& path, size_t level, bool appendRight) {
    CIndexNode& node = *path[level].node;
    SIndexStep& up = path[level - 1];
    const bool leaf = node.IsLeaf();
    // The entries stay in the node's bytes: only their sizes are gathered.
    std::vector<uint32_t> sizes(node.Count());
    for (size_t i = 0; i < sizes.size(); ++i) sizes[i] = static_cast<uint32_t>(node.Entry(i).size());
    size_t middle = ChooseSplit(sizes, leaf, appendRight);
    std::optional<uint64_t> lowerEnd = leaf ? std::nullopt : EntryChild(node.Entry(middle));
    Keep(path[level].node);
    Keep(up.node);
    IndexNodePtr lower = TakeBlock(lowerEnd);
    lower->AssignRange(node, 0, middle, lowerEnd);
    EntryBytes separator = EntryWithChild(node.Entry(middle), m_blocks.Vcn(lower->Block()));
    node.AssignRange(node, middle + 1, node.Count(), node.Child(node.Count()));
    up.node->Insert(up.slot, separator);
    up.slot += 1;
}

// Two neighbours and the entry between them are pooled: into one node when
// they fit, else shared out evenly again with a new entry between them.
void CIndexTree::Rebalance(IndexPath& path, size_t level) {
    SIndexStep& up = path[level - 1];
    CIndexNode& parent = *up.node;
    // An only child: the root takes it back when it fits (FixRoot).
    if (parent.Count() == 0) return;
    const size_t between = up.slot > 0 ? up.slot - 1 : up.slot;
    IndexNodePtr left = up.slot > 0 ? LoadChild(parent, between) : path[level].node;
    IndexNodePtr right = up.slot > 0 ? path[level].node : LoadChild(parent, between + 1);
    if (left->IsLeaf() != right->IsLeaf() || !left->IsRegular() || !right->IsRegular()) {
        m_needsRebuild = true;
        return;
    }
    const bool leaf = left->IsLeaf();
    Keep(left);
    Keep(right);
    Keep(up.node);
    std::vector<EntryBytes> entries = TakeEntries(*left);
    entries.push_back(parent.CopyEntry(between, left->Child(left->Count())));
    for (EntryBytes& entry : TakeEntries(*right)) entries.push_back(std::move(entry));
    const std::optional<uint64_t> rightEnd = right->Child(right->Count());
    if (TotalSize(entries) + EndLength(leaf) <= m_blocks.Capacity()) {
        right->Assign(entries, rightEnd);
        GiveUp(left);
        parent.Erase(between);
        up.slot = between;
        return;
    }
    size_t middle = ChooseSplit(EntrySizes(entries), leaf, false);
    std::optional<uint64_t> leftEnd = leaf ? std::nullopt : EntryChild(entries[middle]);
    left->Assign(Range(entries, 0, middle), leftEnd);
    right->Assign(Range(entries, middle + 1, entries.size()), rightEnd);
    parent.Replace(between, EntryWithChild(entries[middle], m_blocks.Vcn(left->Block())));
}

// A root left with nothing but its end entry cannot give anything up: one
// whose record has no room even for that stays as it is. A root unchanged
// since it was saved fitted then; sizing the record again on every change
// of a block below it would cost more than the change, and FitRoot checks
// again before the root is written.
void CIndexTree::FixRoot() {
    if (m_root->Count() > 0) {
        if (m_root->IsDirty() && !m_rootHolds(m_root->Size())) GrowRoot();
        return;
    }
    if (m_root->IsLeaf()) return;
    IndexNodePtr child = LoadChild(*m_root, 0);
    if (!child->IsRegular() || !m_rootHolds(child->Size())) return;
    Keep(m_root);
    m_root->Assign(TakeEntries(*child), child->Child(child->Count()));
    GiveUp(child);
}

// The root's entries move into a new block, its only child: every leaf gets
// one level deeper at once.
void CIndexTree::GrowRoot() {
    std::optional<uint64_t> endChild = m_root->Child(m_root->Count());
    Keep(m_root);
    IndexNodePtr block = TakeBlock(endChild);
    block->Assign(TakeEntries(*m_root), endChild);
    m_root->Assign({}, m_blocks.Vcn(block->Block()));
    IndexPath path{{m_root, 0}, {block, 0}};
    Fix(path, false);
}

void CIndexTree::FitRoot() {
    if (m_root->Count() > 0 && !m_rootHolds(m_root->Size())) Atomically([&] { GrowRoot(); }, [] {});
}

IndexPath CIndexTree::RightEdge() {
    IndexPath path{{m_root, m_root->Count()}};
    while (!path.back().node->IsLeaf()) {
        if (path.size() > kMaxChangeDepth) ThrowCorrupt();
        IndexNodePtr child = LoadChild(*path.back().node, path.back().node->Count());
        path.push_back({child, child->Count()});
    }
    return path;
}

void CIndexTree::Rebuild(const std::vector<EntryBytes>& entries) {
    m_blocks.FreeAll();
    m_root->Assign({}, std::nullopt);
    for (const EntryBytes& entry : entries) {
        {
            IndexPath path = RightEdge();
            path.back().node->Insert(path.back().node->Count(), entry);
            Fix(path, true);
        }
        m_blocks.Trim();
    }
    m_needsRebuild = false;
}

// A search for the node's first name passes through its parent; a node
// without names, or a tree that is not regular, is found by a walk of the
// whole tree instead.
SIndexStep CIndexTree::ParentOf(const CIndexNode& node) {
    const uint64_t vcn = m_blocks.Vcn(node.Block());
    if (node.Count() > 0) {
        NameBuffer buffer;
        SIndexSearch search = Search(node.Name(0, buffer), true);
        for (const SIndexStep& step : search.path)
            if (step.node->HasChild(step.slot) && step.node->ChildVcn(step.slot) == vcn) return step;
    }
    std::vector<IndexNodePtr> pending{m_root};
    for (uint64_t visited = 0; !pending.empty(); ++visited) {
        if (PastWalkLimit(visited)) ThrowCorrupt();
        IndexNodePtr current = std::move(pending.back());
        pending.pop_back();
        for (size_t slot = 0; slot <= current->Count(); ++slot) {
            if (!current->HasChild(slot)) continue;
            if (current->ChildVcn(slot) == vcn) return {current, slot};
            pending.push_back(LoadChild(*current, slot));
        }
    }
    ThrowCorrupt();
}

SIndexShape CIndexTree::Measure() {
    SIndexShape shape;
    uint32_t leafDepth = 0;
    std::unordered_set<uint64_t> seen;
    std::vector<std::pair<IndexNodePtr, uint32_t>> pending{{m_root, 1}};
    while (!pending.empty()) {
        auto [node, depth] = std::move(pending.back());
        pending.pop_back();
        shape.entries += node->Count();
        shape.depth = std::max(shape.depth, depth);
        if (node->IsLeaf()) {
            shape.balanced = shape.balanced && (leafDepth == 0 || leafDepth == depth);
            leafDepth = depth;
        }
        for (size_t slot = 0; slot <= node->Count(); ++slot) {
            if (!node->HasChild(slot)) continue;
            IndexNodePtr child = LoadChild(*node, slot);
            if (!seen.insert(child->Block()).second) ThrowCorrupt();
            pending.emplace_back(child, depth + 1);
        }
    }
    shape.blocks = seen.size();
    shape.blocksMarked = m_blocks.BlocksInUse();
    return shape;
}

}  // namespace volcore
