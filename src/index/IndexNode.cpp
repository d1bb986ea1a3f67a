#include "index/IndexNode.h"

#include "base/Exception.h"
#include "disk/RecordFormat.h"

namespace volcore {

namespace {

EntryBytes EndEntry(std::optional<uint64_t> child) {
    EntryBytes entry(child ? IndexEntry::ChildEndLength : IndexEntry::SmallEndLength);
    CByteWriter out(entry);
    if (child) WriteEndEntryWithChild(out, 0, *child);
    else WriteEndEntry(out, 0);
    return entry;
}

[[noreturn]] void ThrowNoEndEntry(size_t position) {
    throw CException(EErrorKind::Corrupt, "Corrupt index entry at offset %1: no end entry", position);
}

}  // namespace

CIndexNode::CIndexNode(uint64_t block, std::optional<uint64_t> endChild) : m_block(block) {
    Assign({}, endChild);
}

CIndexNode::CIndexNode(uint64_t block, const CByteReader& area) : m_block(block) {
    const size_t length = IndexArea(area, 0);
    m_bytes.assign(area.Data(), area.Data() + length);
}

std::span<uint8_t> CIndexNode::BlockBuffer(uint32_t size) {
    m_bytes.resize(size);
    return m_bytes;
}

void CIndexNode::TakeBlock(uint64_t block, uint32_t first, uint32_t end) {
    if (first > end || end > m_bytes.size())
        throw CException(EErrorKind::Corrupt, "Corrupt index entry at offset %1: no end entry", first);
    m_block = block;
    m_dirty = false;
    m_reduced = false;
    const size_t length = IndexArea(CByteReader(m_bytes.data() + first, end - first), first);
    // What follows the end entry is dropped; the memory stays for the next block.
    m_bytes.resize(first + length);
}

void CIndexNode::Compact() {
    if (m_reduced || (m_first == 0 && m_bytes.capacity() == m_bytes.size())) return;
    decltype(m_bytes) entries(m_bytes.begin() + m_first, m_bytes.end());
    for (uint32_t& offset : m_offsets) offset -= m_first;
    m_bytes = std::move(entries);
    m_first = 0;
}

// A file name entry spends some 80 bytes on the file's times, sizes and
// reference, which a lookup on its way down never reads; a short name takes a
// fifth of the entry. Child pointers are kept in 32 bits: a node pointing
// further (an allocation of some terabytes) stays whole, and so does one
// whose name would reach past its entry (its whole form refuses it on use).
bool CIndexNode::Reduce() {
    if (m_reduced || !m_regular || !m_endHasChild) return m_reduced;
    const CByteReader bytes = Reader();
    const size_t slots = m_offsets.size();
    auto end = [&](size_t slot) { return slot + 1 < slots ? size_t{m_offsets[slot + 1]} : m_bytes.size(); };
    auto units = [&](size_t slot) {
        return slot + 1 < slots ? size_t{bytes.U8(m_offsets[slot] + IndexEntry::NameLength)} : 0;
    };
    std::vector<uint32_t> offsets(slots);
    size_t length = 0;
    for (size_t slot = 0; slot < slots; ++slot) {
        const bool nameFits = m_offsets[slot] + IndexEntry::Name + 2 * units(slot) <= end(slot) || units(slot) == 0;
        if (!nameFits || bytes.U64(end(slot) - IndexEntry::ChildVcnSize) > UINT32_MAX) return false;
        offsets[slot] = static_cast<uint32_t>(length);
        length += 1 + 2 * units(slot) + kReducedVcnSize;
    }
    decltype(m_bytes) reduced(length);
    const CByteWriter out(reduced.data(), reduced.size());
    for (size_t slot = 0; slot < slots; ++slot) {
        const size_t at = offsets[slot];
        const size_t nameBytes = 2 * units(slot);
        out.U8(at, static_cast<uint8_t>(nameBytes / 2));
        if (nameBytes) out.CopyFrom(at + 1, bytes.Sub(m_offsets[slot] + IndexEntry::Name, nameBytes).Data(), nameBytes);
        out.U32(at + 1 + nameBytes, static_cast<uint32_t>(bytes.U64(end(slot) - IndexEntry::ChildVcnSize)));
    }
    m_bytes = std::move(reduced);
    m_offsets.assign(offsets.begin(), offsets.end());
    m_first = 0;
    m_reduced = true;
    return true;
}

void CIndexNode::RefuseReduced() const {
    if (m_reduced) throw CException(EErrorKind::Argument, "Index block %1 is held for lookups only", m_block);
}

// Every block a lookup reads passes here, some dozens of entries each, so the
// walk reads each entry's header once, in place, behind one bounds check, and
// refuses what CheckIndexEntry refuses, with its messages. Offsets gather on
// the stack and join the node in bulk: with nothing of the node's in the
// loop, the walk stays in registers.
size_t CIndexNode::IndexArea(const CByteReader& area, uint32_t first) {
    m_first = first;
    m_offsets.clear();
    const uint8_t* const data = area.Data();
    const size_t size = area.Size();
    // A 4 KiB block of names of a few units holds some fifty entries: they
    // join at once. More join in turns; a deeper frame would take a fresh
    // page of stack in a fresh process.
    std::array<uint32_t, 64> found;
    size_t count = 0;
    size_t withChild = 0;  // entries with a child
    size_t position = 0;
    while (true) {
        const size_t left = size - position;
        if (left < IndexEntry::Key) [[unlikely]] {
            if (left == 0) ThrowNoEndEntry(position);
            ThrowInvalidOffset(position, size);
        }
        const CByteReader header(data + position, IndexEntry::Key);
        const uint32_t length = header.U16(IndexEntry::Length);
        const uint16_t flags = header.U16(IndexEntry::Flags);
        const uint32_t hasChild = flags & IndexEntry::FlagHasChild;
        const uint32_t childBytes = hasChild * IndexEntry::ChildVcnSize;
        const bool isEnd = (flags & IndexEntry::FlagEnd) != 0;
        // Shorter cannot hold the fields its flags promise; a named entry
        // must reach past the name's offset as well.
        if (length % 8 != 0 || length < IndexEntry::SmallEndLength + childBytes) [[unlikely]]
            ThrowCorruptIndexEntry("length", position, length);
        if (!isEnd && length < IndexEntry::Name + childBytes) [[unlikely]]
            ThrowCorruptIndexEntry("length", position, length);
        if (length > left) [[unlikely]]
            ThrowInvalidOffset(position, size);
        if (count == found.size()) [[unlikely]] {
            AppendOffsets(found.data(), count);
            count = 0;
        }
        found[count++] = static_cast<uint32_t>(first + position);
        withChild += hasChild;
        if (isEnd) {
            AppendOffsets(found.data(), count);
            SetShape(withChild != 0, withChild != m_offsets.size(), hasChild != 0);
            return position + length;
        }
        // The $FILE_NAME value's fixed part ends where the entry's name starts.
        constexpr uint32_t fixedKey = IndexEntry::Name - IndexEntry::Key;
        const uint32_t keyLength = header.U16(IndexEntry::KeyLength);
        if (keyLength < fixedKey || keyLength > length - IndexEntry::Key - childBytes) [[unlikely]]
            ThrowCorruptIndexEntry("key length", position, keyLength);
        const uint32_t nameLength = CByteReader(header.Data(), length).U8(IndexEntry::NameLength);
        if (fixedKey + 2 * nameLength > keyLength) [[unlikely]]
            ThrowCorruptIndexEntry("name length", position, nameLength);
        position += length;
    }
}

void CIndexNode::AppendOffsets(const uint32_t* offsets, size_t count) {
    if (m_offsets.empty()) {
        m_offsets.assign(offsets, offsets + count);
        return;
    }
    m_offsets.reserve(m_offsets.size() + count);
    for (size_t i = 0; i < count; ++i) m_offsets.push_back(offsets[i]);
}

void CIndexNode::SetShape(bool withChild, bool withoutChild, bool endHasChild) {
    m_regular = !(withChild && withoutChild);
    m_endHasChild = endHasChild;
}

void CIndexNode::ThrowOutOfRange(size_t index) const {
    throw CException(EErrorKind::Corrupt, "Index slot %1 out of range %2", index, Count());
}

bool CIndexNode::FlagsHaveChild(size_t slot) const {
    return (Reader().U16(m_offsets.at(slot) + IndexEntry::Flags) & IndexEntry::FlagHasChild) != 0;
}

uint64_t CIndexNode::ChildVcn(size_t slot) const {
    std::span<const uint8_t> entry = Entry(slot);
    if (m_reduced) return CByteReader(entry).U32(entry.size() - kReducedVcnSize);
    return CByteReader(entry).U64(entry.size() - IndexEntry::ChildVcnSize);
}

std::optional<uint64_t> CIndexNode::Child(size_t slot) const { return EntryChild(Entry(slot)); }

std::span<const uint8_t> CIndexNode::Entry(size_t slot) const {
    size_t start = m_offsets.at(slot);
    size_t end = slot + 1 < m_offsets.size() ? m_offsets[slot + 1] : m_bytes.size();
    return std::span<const uint8_t>(m_bytes).subspan(start, end - start);
}

std::u16string_view CIndexNode::Name(size_t index, NameBuffer& buffer) const {
    std::span<const uint8_t> bytes = NameBytes(index);
    const size_t length = bytes.size() / 2;
    CByteReader(bytes).U16Array(0, buffer.data(), length);
    return std::u16string_view(buffer.data(), length);
}

EntryBytes CIndexNode::CopyEntry(size_t slot, std::optional<uint64_t> child) const {
    return EntryWithChild(Entry(slot), child);
}

void CIndexNode::Insert(size_t slot, std::span<const uint8_t> entry) {
    if (slot > Count()) throw CException(EErrorKind::Corrupt, "Index slot %1 out of range %2", slot, Count());
    Splice(slot, 0, entry);
}

void CIndexNode::Erase(size_t index) {
    if (index >= Count()) throw CException(EErrorKind::Corrupt, "Index slot %1 out of range %2", index, Count());
    Splice(index, Entry(index).size(), {});
}

void CIndexNode::Replace(size_t slot, std::span<const uint8_t> entry) { Splice(slot, Entry(slot).size(), entry); }

bool CIndexNode::SetValue(size_t index, const SIndexEntryValue& value) {
    RefuseReduced();
    if (index >= Count()) throw CException(EErrorKind::Corrupt, "Index slot %1 out of range %2", index, Count());
    std::span<uint8_t> entry(m_bytes.data() + m_offsets[index], Entry(index).size());
    bool changed = OverwriteIndexEntryValue(entry, value);
    if (changed) m_dirty = true;
    return changed;
}

void CIndexNode::AssignRange(const CIndexNode& source, size_t from, size_t to, std::optional<uint64_t> endChild) {
    // A reduced node's entries lack their values: they never move into a block that is written.
    source.RefuseReduced();
    RefuseReduced();
    if (from > to || to > source.Count())
        throw CException(EErrorKind::Corrupt, "Index slot %1 out of range %2", to, source.Count());
    const size_t begin = source.m_offsets[from];
    const size_t end = source.m_offsets[to];
    if (&source == this) {
        m_bytes.erase(m_bytes.begin() + static_cast<std::ptrdiff_t>(end), m_bytes.end());
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(begin));
    } else {
        // Sized once, end entry included: the cache counts what a node holds.
        m_bytes.clear();
        m_bytes.reserve(end - begin + IndexEntry::ChildEndLength);
        m_bytes.insert(m_bytes.end(), source.m_bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                       source.m_bytes.begin() + static_cast<std::ptrdiff_t>(end));
    }
    m_first = 0;
    EntryBytes endEntry = EndEntry(endChild);
    m_bytes.insert(m_bytes.end(), endEntry.begin(), endEntry.end());
    Reindex();
    m_dirty = true;
}

void CIndexNode::Assign(std::span<const EntryBytes> entries, std::optional<uint64_t> endChild) {
    m_bytes.clear();
    m_first = 0;
    m_reduced = false;
    for (const EntryBytes& entry : entries) m_bytes.insert(m_bytes.end(), entry.begin(), entry.end());
    EntryBytes end = EndEntry(endChild);
    m_bytes.insert(m_bytes.end(), end.begin(), end.end());
    Reindex();
    m_dirty = true;
}

void CIndexNode::Splice(size_t slot, size_t removed, std::span<const uint8_t> entry) {
    RefuseReduced();
    const bool keepsShape = SpliceKeepsShape(slot, removed, entry);
    auto at = m_bytes.begin() + m_offsets.at(slot);
    at = m_bytes.erase(at, at + static_cast<std::ptrdiff_t>(removed));
    m_bytes.insert(at, entry.begin(), entry.end());
    if (keepsShape) MoveOffsets(slot, removed, entry.size());
    else Reindex();
    m_dirty = true;
}

// A named entry that is whole (its length field says its size) and agrees
// with the end entry about a child, put in or taken out of a regular node
// before its end entry, leaves every other entry as it was: their offsets
// only move, and need not be found again from the start (every create puts
// one entry into a leaf of some forty).
bool CIndexNode::SpliceKeepsShape(size_t slot, size_t removed, std::span<const uint8_t> entry) const {
    if (!m_regular || slot > Count() || (removed == 0) == entry.empty()) return false;
    if (removed != 0 && (slot == Count() || removed != Entry(slot).size())) return false;
    if (entry.empty()) return true;
    if (entry.size() < IndexEntry::SmallEndLength) return false;
    const CByteReader bytes(entry.data(), entry.size());
    const uint16_t flags = bytes.U16(IndexEntry::Flags);
    return bytes.U16(IndexEntry::Length) == entry.size() && (flags & IndexEntry::FlagEnd) == 0 &&
           ((flags & IndexEntry::FlagHasChild) != 0) == m_endHasChild;
}

void CIndexNode::MoveOffsets(size_t slot, size_t removed, size_t added) {
    const auto first = m_offsets.begin() + static_cast<std::ptrdiff_t>(slot);
    if (removed == 0) m_offsets.insert(first, uint32_t{*first});
    else if (added == 0) m_offsets.erase(first);
    // Past the slot, or from it when its entry went.
    for (size_t i = slot + (added != 0 ? 1 : 0); i < m_offsets.size(); ++i)
        m_offsets[i] = static_cast<uint32_t>(m_offsets[i] - removed + added);
}

// Entries in a node are few (a block holds some dozens), so offsets are
// simply rebuilt after an edit; every length was checked when it arrived.
void CIndexNode::Reindex() {
    m_offsets.clear();
    CByteReader bytes = Reader();
    bool withChild = false;
    bool withoutChild = false;
    bool endHasChild = false;
    for (size_t position = m_first; position < m_bytes.size();) {
        m_offsets.push_back(static_cast<uint32_t>(position));
        uint32_t length = bytes.U16(position + IndexEntry::Length);
        if (length < IndexEntry::SmallEndLength)
            throw CException(EErrorKind::Corrupt, "Corrupt index entry at offset %1: length %2", position, length);
        endHasChild = (bytes.U16(position + IndexEntry::Flags) & IndexEntry::FlagHasChild) != 0;
        (endHasChild ? withChild : withoutChild) = true;
        position += length;
    }
    SetShape(withChild, withoutChild, endHasChild);
}

}  // namespace volcore
