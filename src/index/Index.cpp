#include "index/Index.h"

#include <algorithm>
#include <array>

#include "base/ContractTexts.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "index/IndexCursor.h"
#include "disk/VolumeServices.h"

namespace volcore {

namespace {

// Larger blocks than this are not written by any NTFS implementation; a
// bigger value in a root is damage, and trusting it would size allocations.
constexpr uint32_t kMaxBlockSize = 64 * 1024;

}  // namespace

CIndex::CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase)
    : m_upcase(&upcase), m_name(std::move(name)), m_entry(std::move(entry)) {
    LoadRoot();
    if (IsLarge()) {
        // Both must be there when the root has children.
        m_entry->GetAttribute(AttrType::IndexAllocation, m_name);
        m_entry->GetAttribute(AttrType::Bitmap, m_name);
    }
    Attach();
    NewVersion();
}

CIndex::CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase,
               uint32_t blockSize, uint8_t clustersPerBlock)
    : m_upcase(&upcase),
      m_name(std::move(name)),
      m_entry(std::move(entry)),
      m_blockSize(blockSize),
      m_clustersPerBlock(clustersPerBlock),
      m_dirty(true) {
    m_rootAttribute = m_entry->GetAttribute(AttrType::IndexRoot, m_name);
    CheckBlockSize("Invalid index block size %1, file entry %2");
    m_root = std::make_shared<CIndexNode>(CIndexNode::kRootBlock, std::nullopt);
    Attach();
    NewVersion();
}

CIndex::~CIndex() {
    if (!m_dirty) return;
    try {
        LogError(FormatText("Destroying dirty index %1 (file entry %2)", m_name, OwnerRecord()));
    } catch (...) {
        // Nothing more can be done for a report that cannot even be formatted.
    }
}

uint64_t CIndex::OwnerRecord() const { return m_entry ? RecordNumber(m_entry->GetReference()) : 0; }

void CIndex::CheckBlockSize(const char* corruptFormat) const {
    if (m_blockSize == 0 || m_blockSize % 512 != 0 || m_blockSize > kMaxBlockSize)
        throw CException(EErrorKind::Corrupt, corruptFormat, m_blockSize, OwnerRecord());
    // A block must hold an entry of the longest name with a child pointer,
    // and the end entry after it.
    uint64_t needed = IndexBlock::EntriesOffset(IndexBlock::UsaCountFor(m_blockSize)) + IndexEntry::LongestLength +
                      IndexEntry::ChildVcnSize + IndexEntry::ChildEndLength;
    if (m_blockSize < needed)
        throw CException(EErrorKind::Unsupported, "Index block size %1 cannot hold the longest entry, file entry %2",
                         m_blockSize, OwnerRecord());
}

// A directory passed through on a path is never changed: its root is read
// where it lies in the record, and its attribute is built only for a change
// (RootAttribute).
void CIndex::LoadRoot() {
    std::vector<uint8_t> built;
    std::span<const uint8_t> value;
    if (const auto located = m_entry->LocatedResidentValue(AttrType::IndexRoot, m_name)) {
        value = *located;
    } else {
        // Only a resident value is bounded by the record it came from.
        if (RootAttribute()->IsNonResident())
            throw CException(EErrorKind::Corrupt, "Corrupt index root %1, file entry %2", m_name, OwnerRecord());
        built = m_rootAttribute->ReadAll();
        value = built;
    }
    CByteReader root(value.data(), value.size());
    m_blockSize = root.U32(IndexRoot::BlockSize);
    m_clustersPerBlock = root.U8(IndexRoot::ClustersPerBlock);
    CheckBlockSize("Corrupt index block size %1, file entry %2");
    uint64_t first = IndexRoot::Header + uint64_t{root.U32(IndexRoot::Header + IndexHeader::FirstEntry)};
    uint64_t inUse = IndexRoot::Header + uint64_t{root.U32(IndexRoot::Header + IndexHeader::BytesInUse)};
    uint64_t end = std::min<uint64_t>(inUse, value.size());
    if (first < IndexRoot::HeaderSize || first >= end)
        throw CException(EErrorKind::Corrupt, "Corrupt index root %1, file entry %2", m_name, OwnerRecord());
    m_root = std::make_shared<CIndexNode>(CIndexNode::kRootBlock, root.Sub(first, end - first));
}

const AttributePtr& CIndex::RootAttribute() const {
    if (!m_rootAttribute) m_rootAttribute = m_entry->GetAttribute(AttrType::IndexRoot, m_name);
    return m_rootAttribute;
}

void CIndex::Attach() {
    m_blocks.emplace(m_entry, m_name, m_blockSize);
    m_tree.emplace(m_root, *m_blocks, *m_upcase, [this](uint32_t size) { return RootHolds(size); }, m_name,
                   OwnerRecord());
}

// The root shares the record with the entry's other attributes, and its
// entries must fit one block when the root has to give them up. What does not
// depend on the other attributes is tested first: a full block never fits a
// root, and summing the others' sizes (mapping pairs included) is not cheap.
bool CIndex::RootHolds(uint32_t size) const {
    const int64_t recordSize = m_entry->GetVolume().GetMftRecordSize();
    // The record header, the end marker and the root's own attribute header.
    int64_t fixed = FirstAttributeOffset(static_cast<uint32_t>(recordSize)) + 8 + AttrRecord::ResidentHeaderSize +
                    static_cast<int64_t>(RoundUp(2 * m_name.size(), 8)) + IndexRoot::HeaderSize;
    // A value of the full resident limit would be moved out of the record.
    int64_t resident = int64_t{CAttribute::MaxResidentSize(static_cast<uint32_t>(recordSize))} - 1 -
                       static_cast<int64_t>(IndexRoot::HeaderSize);
    const auto capacity = [](int64_t room) { return room > 0 ? room / 8 * 8 : 0; };
    const int64_t limit = std::min({recordSize - fixed, resident, int64_t{m_blocks->Capacity()}});
    if (int64_t{size} > capacity(limit)) return false;
    int64_t others = 0;
    const AttributePtr& rootAttribute = RootAttribute();
    for (const auto& [key, attribute] : m_entry->GetAttributes())
        if (attribute != rootAttribute) others += attribute->GetSerializedSize();
    return int64_t{size} <= capacity(std::min(limit, recordSize - fixed - others));
}

bool CIndex::FindEntry(std::u16string_view name, SIndexEntryValue& value) {
    SIndexStep match = m_tree->Find(name, true);
    Settle();
    if (!match.node) return false;
    value = match.node->Value(match.slot);
    return true;
}

SIndexEntryValue CIndex::GetEntry(std::u16string_view name) {
    SIndexEntryValue value;
    if (!FindEntry(name, value)) throw CException(EErrorKind::Argument, "Entry %1 doesn't exist", name);
    return value;
}

CIndex::SInsertPosition CIndex::FindInsertPosition(std::u16string_view name, bool caseTwinAllowed) {
    NumericCast<uint8_t>(name.size());
    SInsertPosition position{m_tree->Search(name, true), m_changes, caseTwinAllowed};
    auto found = [caseTwinAllowed](const SIndexSearch& search) {
        return caseTwinAllowed ? search.exact : search.match.node != nullptr;
    };
    bool present = found(position.search);
    // A search for a change stops at an older chain of blocks; a plain lookup
    // still sees everything.
    if (!present && position.search.irregular) present = found(m_tree->Search(name, false));
    if (present) throw CException(EErrorKind::Argument, ContractText::EntryExists, name);
    return position;
}

void CIndex::Insert(const SInsertPosition& position, std::u16string_view name, const SIndexEntryValue& value) {
    SInsertPosition copy = position;
    Insert(std::move(copy), name, value);
}

void CIndex::Insert(SInsertPosition&& position, std::u16string_view name, const SIndexEntryValue& value) {
    // Built on the stack: an entry is never longer than that of the longest name.
    std::array<uint8_t, IndexEntry::LongestLength> bytes;
    const uint32_t length = IndexEntry::LengthForName(NumericCast<uint8_t>(name.size()));
    std::fill_n(bytes.begin(), length, uint8_t{0});
    WriteIndexEntry(CByteWriter(bytes.data(), length), 0, name, value);
    const std::span<const uint8_t> entry(bytes.data(), length);
    SIndexSearch& search = position.search;
    if (position.changes != m_changes || search.irregular) {
        if (search.irregular) Rebuild();
        search = FindInsertPosition(name, position.caseTwinAllowed).search;
    }
    Changing();
    m_tree->Insert(search, entry);
    Settle();
}

void CIndex::AddEntry(std::u16string_view name, const SIndexEntryValue& value) {
    Insert(FindInsertPosition(name), name, value);
}

void CIndex::UpdateEntry(std::u16string_view name, const SIndexEntryValue& value) {
    SIndexStep match = m_tree->Find(name);
    if (!match.node) throw CException(EErrorKind::Argument, "Entry %1 doesn't exist", name);
    m_blocks->PrepareForChange();
    // The value stays in place: no entry moves, so walks need not notice.
    if (match.node->SetValue(match.slot, value)) {
        m_dirty = true;
        Edited();
    }
    Settle();
}

void CIndex::RemoveEntry(std::u16string_view name) {
    if (!m_tree->Find(name).node) return;
    SIndexSearch search = SearchForChange(name);
    Changing();
    // The path met a node of an older or unequal shape, or a block whose
    // names are out of order (a lookup notes any equal name its binary search
    // meets, a search for a change only the one it ends at, so the first may
    // find what the second misses): rebuilt, the tree is regular, and a name
    // the search still misses refuses the change as corruption.
    if (!search.match.node || !m_tree->Remove(search)) {
        Rebuild();
        search = SearchForChange(name);
        if (!search.match.node || !m_tree->Remove(search)) m_tree->ThrowCorrupt();
    }
    if (m_tree->NeedsRebuild()) Rebuild();
    Settle();
}

void CIndex::RemoveAll() {
    Changing();
    m_tree->Rebuild({});
    Settle();
}

SIndexSearch CIndex::SearchForChange(std::u16string_view name) {
    SIndexSearch search = m_tree->Search(name, true);
    if (!search.irregular) return search;
    Rebuild();
    search = m_tree->Search(name, true);
    if (search.irregular) m_tree->ThrowCorrupt();
    return search;
}

// Chains of blocks written by earlier versions, and trees whose leaves are
// not all at one depth, are rebuilt balanced the first time they change.
void CIndex::Rebuild() {
    std::vector<EntryBytes> entries;
    {
        CIndexCursor cursor(*m_tree, m_root);
        for (cursor.SeekFirst(); !cursor.AtEnd(); cursor.Next())
            entries.push_back(cursor.Node().CopyEntry(cursor.Index(), std::nullopt));
    }
    if (HasLogger())
        LogInfo(FormatText("Rebuilding index %1 of file entry %2 (%3 entries)", m_name, OwnerRecord(), entries.size()));
    Changing();
    try {
        m_tree->Rebuild(entries);
    } catch (...) {
        ReturnToSaved();
        throw;
    }
}

// A rebuild frees every block before it fills them again: one that fails
// part way (no cluster left for a block it needs) has emptied the tree in
// memory. The disk still holds the tree as it was, whole, and the index goes
// back to it, so that no later save writes what the rebuild left.
void CIndex::ReturnToSaved() {
    m_blocks->Discard();
    IndexNodePtr root = m_root;
    LoadRoot();
    // The tree holds the root node itself: it takes the saved contents.
    *root = std::move(*m_root);
    m_root = std::move(root);
    m_dirty = false;
    Edited();
}

void CIndex::Changing() {
    m_blocks->PrepareForChange();
    ++m_changes;
    m_dirty = true;
    Edited();
}

// From the volume, so that an index loaded again never repeats a version an
// earlier object of the same directory handed out.
void CIndex::NewVersion() { m_version = m_entry->GetVolume().NewIndexVersion(); }

void CIndex::Edited() {
    m_entry->GetVolume().NoteIndexEdit();
    NewVersion();
}

// Between operations the block cache goes back within its bounds.
void CIndex::Settle() { m_blocks->Trim(); }

bool CIndex::IsEmpty() {
    if (m_root->Count() > 0) return false;
    if (m_root->IsLeaf()) return true;
    CIndexCursor cursor(*m_tree, m_root);
    cursor.SeekFirst();
    bool empty = cursor.AtEnd();
    Settle();
    return empty;
}

SIndexShape CIndex::Inspect() {
    SIndexShape shape = m_tree->Measure();
    NameBuffer buffers[2];
    std::u16string_view previous;
    size_t which = 0;
    CIndexCursor cursor(*m_tree, m_root);
    for (cursor.SeekFirst(); !cursor.AtEnd(); cursor.Next(), which ^= 1) {
        std::u16string_view name = cursor.Node().Name(cursor.Index(), buffers[which]);
        if (previous.data() && CompareFileNames(previous, name, *m_upcase) != ECollation::Less) shape.ordered = false;
        previous = name;
    }
    Settle();
    return shape;
}

void CIndex::DiscardChanges() {
    m_dirty = false;
    Edited();
    m_blocks->Discard();
    m_root->ClearDirty();
}

void CIndex::Save() {
    if (!m_dirty) return;
    m_tree->FitRoot();
    // A root without children needs no blocks: the index is small again.
    if (m_root->IsLeaf() && m_blocks->HasAllocation()) m_blocks->Release();
    else if (m_blocks->HasAllocation()) CommitBlocks();
    if (m_root->IsDirty()) WriteRoot();
    m_dirty = false;
}

// New blocks first, then the allocation and bits that cover them, then the
// one write that makes the tree on disk reach them: the record (its root)
// or a single block. A cut anywhere leaves the old tree or the new one, with
// at worst blocks marked that nothing reaches.
void CIndex::CommitBlocks() {
    const std::vector<IndexNodePtr> inPlace = RelocateChangedBlocks();
    m_blocks->WriteFreshBlocks();
    m_blocks->WriteBitsForCommit();
    if (m_root->IsDirty()) WriteRoot();
    m_entry->Save();
    for (const IndexNodePtr& node : inPlace) m_blocks->WriteBlock(*node);
    m_blocks->WriteDirty();
}

// One node rewritten in place is atomic; two or more are not. Every changed
// block the disk reaches then moves to a free block and its parent points at
// the copy, up to the root, which commits them all at once. Returns the
// blocks left to rewrite in place: one at most, unless the volume has no
// cluster left for the copies. They are then written where they are, as
// other implementations always write them (only a power cut during this save
// could leave the tree half changed), rather than keeping the change, and
// every later one of this directory, from the disk.
std::vector<IndexNodePtr> CIndex::RelocateChangedBlocks() {
    std::vector<IndexNodePtr> changed = m_blocks->ChangedCommittedBlocks();
    if (changed.size() + (m_root->IsDirty() ? 1 : 0) < 2) return changed;
    while (!changed.empty()) {
        for (const IndexNodePtr& node : changed) {
            SIndexStep parent = m_tree->ParentOf(*node);
            IndexNodePtr moved;
            try {
                moved = m_blocks->Relocate(node);
            } catch (const CVolumeFull&) {
                LogWarning(FormatText("Index %1 of file entry %2 is written in place: the volume is full", m_name,
                                      OwnerRecord()));
                return m_blocks->ChangedCommittedBlocks();
            }
            parent.node->Replace(parent.slot, parent.node->CopyEntry(parent.slot, m_blocks->Vcn(moved->Block())));
        }
        changed = m_blocks->ChangedCommittedBlocks();
    }
    return changed;
}

// The header and the entries go into the value as they are: no copy of the
// whole root first (every create in a small directory writes it).
void CIndex::WriteRoot() {
    const uint32_t size = IndexRoot::HeaderSize + m_root->Size();
    std::array<uint8_t, IndexRoot::HeaderSize> header{};
    WriteRootHeader(CByteWriter(header.data(), header.size()), m_blockSize, m_clustersPerBlock,
                    size - IndexRoot::Header, m_root->IsLeaf() ? 0 : IndexHeader::FlagLarge);
    CAttribute& rootAttribute = *RootAttribute();
    rootAttribute.SetSize(size);
    rootAttribute.WriteData(0, header.data(), IndexRoot::HeaderSize);
    if (m_root->Size() > 0) rootAttribute.WriteData(IndexRoot::HeaderSize, m_root->Bytes().data(), m_root->Size());
    m_root->ClearDirty();
}

}  // namespace volcore
