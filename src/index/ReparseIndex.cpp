#include "index/ReparseIndex.h"

#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "disk/IndexFormat.h"
#include "disk/Fixups.h"
#include "disk/VolumeServices.h"

namespace volcore {
namespace {

constexpr char16_t kIndexName[] = u"$R";
constexpr uint64_t kRootVcn = ~uint64_t{0};
// Deeper than any tree of this index can be: a loop of child pointers.
constexpr int kDeepestWalk = 32;

struct SKey {
    uint32_t tag = 0;
    FileReference reference = 0;
};

// The index compares its keys as three 32-bit numbers in turn.
int CompareKeys(const SKey& a, const SKey& b) {
    const uint32_t left[3] = {a.tag, static_cast<uint32_t>(a.reference), static_cast<uint32_t>(a.reference >> 32)};
    const uint32_t right[3] = {b.tag, static_cast<uint32_t>(b.reference), static_cast<uint32_t>(b.reference >> 32)};
    for (int i = 0; i < 3; ++i)
        if (left[i] != right[i]) return left[i] < right[i] ? -1 : 1;
    return 0;
}

// One node: the root's value or an INDX block with its update sequence undone.
struct SNode {
    std::vector<uint8_t> bytes;
    size_t header = 0;  // where the index header starts
    uint64_t vcn = kRootVcn;

    uint32_t Field(size_t field) const { return CByteReader(bytes).U32(header + field); }
    size_t First() const { return header + Field(IndexHeader::FirstEntry); }
    size_t End() const { return header + Field(IndexHeader::BytesInUse); }
};

// Where a key is, or where it would go.
struct SPlace {
    size_t position = 0;
    uint32_t length = 0;
    bool found = false;
    bool nextIsEnd = false;  // the entry found is the node's last named one
    bool firstInNode = false;
    std::optional<uint64_t> child;
};

[[noreturn]] void ThrowCorrupt(uint64_t vcn) {
    throw CException(EErrorKind::Corrupt, "Corrupt index $R of $Extend\\$Reparse (node %1)",
                     vcn == kRootVcn ? std::string("root") : std::to_string(vcn));
}

SPlace Locate(const SNode& node, const SKey& key) {
    const CByteReader reader(node.bytes);
    const size_t end = node.End();
    if (end > node.bytes.size() || node.First() >= end) ThrowCorrupt(node.vcn);
    SPlace place;
    place.firstInNode = true;
    for (size_t position = node.First();; position += place.length) {
        if (position + IndexEntry::SmallEndLength > end) ThrowCorrupt(node.vcn);
        place.position = position;
        place.length = reader.U16(position + IndexEntry::Length);
        const uint16_t flags = reader.U16(position + IndexEntry::Flags);
        const uint32_t shortest = IndexEntry::SmallEndLength + ((flags & IndexEntry::FlagHasChild) ? IndexEntry::ChildVcnSize : 0);
        if (place.length < shortest || place.length % 8 != 0 || position + place.length > end) ThrowCorrupt(node.vcn);
        place.child.reset();
        if (flags & IndexEntry::FlagHasChild) place.child = reader.U64(position + place.length - IndexEntry::ChildVcnSize);
        if (flags & IndexEntry::FlagEnd) return place;
        if (reader.U16(position + IndexEntry::KeyLength) < ReparseIndexEntry::KeyLength ||
            IndexEntry::Key + ReparseIndexEntry::KeyLength > place.length)
            ThrowCorrupt(node.vcn);
        const int order = CompareKeys(key, {reader.U32(position + ReparseIndexEntry::KeyTag),
                                            reader.U64(position + ReparseIndexEntry::KeyReference)});
        if (order <= 0) {
            place.found = order == 0;
            if (place.found) {
                const size_t next = position + place.length;
                place.nextIsEnd = next + IndexEntry::SmallEndLength <= end &&
                                  (reader.U16(next + IndexEntry::Flags) & IndexEntry::FlagEnd);
            }
            return place;
        }
        place.firstInNode = false;
    }
}

std::vector<uint8_t> MakeEntry(const SKey& key) {
    std::vector<uint8_t> entry(ReparseIndexEntry::Length, 0);
    CByteWriter out(entry);
    out.U16(IndexEntry::DataOffset, ReparseIndexEntry::DataOffset);
    out.U16(IndexEntry::Length, ReparseIndexEntry::Length);
    out.U16(IndexEntry::KeyLength, ReparseIndexEntry::KeyLength);
    out.U32(ReparseIndexEntry::KeyTag, key.tag);
    out.U64(ReparseIndexEntry::KeyReference, key.reference);
    return entry;
}

class CReparseList {
public:
    explicit CReparseList(std::shared_ptr<CFileEntry> entry, bool mustExist)
        : m_volume(entry ? &entry->GetVolume() : nullptr), m_entry(std::move(entry)) {
        if (!m_entry) {
            if (mustExist)
                throw CException(EErrorKind::Unsupported,
                                 "The volume's list of reparse points ($Extend\\$Reparse) is missing: it cannot hold one");
            return;
        }
        m_root = m_entry->FindAttribute(AttrType::IndexRoot, kIndexName);
        if (!m_root || m_root->IsNonResident() || m_root->GetSize() < IndexRoot::HeaderSize) ThrowCorrupt(kRootVcn);
        m_allocation = m_entry->FindAttribute(AttrType::IndexAllocation, kIndexName);
        m_bitmap = m_entry->FindAttribute(AttrType::Bitmap, kIndexName);
    }

    bool Exists() const { return m_entry != nullptr; }

    // The node path from the root to where the key is or would go.
    std::pair<SNode, SPlace> Find(const SKey& key) {
        SNode node = Root();
        for (int depth = 0; depth < kDeepestWalk; ++depth) {
            SPlace place = Locate(node, key);
            if (place.found || !place.child) return {std::move(node), place};
            node = Block(*place.child);
        }
        ThrowCorrupt(node.vcn);
    }

    // Room the root may take: it shares the record with the entry's other
    // attributes.
    size_t RootRoom() const {
        const int64_t recordSize = m_volume->GetMftRecordSize();
        int64_t others = 0;
        for (const auto& [key, attribute] : m_entry->GetAttributes())
            if (attribute != m_root) others += attribute->GetSerializedSize();
        const int64_t fixed = FirstAttributeOffset(static_cast<uint32_t>(recordSize)) + 8 +
                              AttrRecord::ResidentHeaderSize + static_cast<int64_t>(RoundUp(2 * 2, 8));
        const int64_t room = std::min<int64_t>(recordSize - fixed - others,
                                               int64_t{CAttribute::MaxResidentSize(static_cast<uint32_t>(recordSize))} - 1);
        return room > 0 ? static_cast<size_t>(room) : 0;
    }

    size_t Capacity(const SNode& node) const {
        if (node.vcn == kRootVcn) return RootRoom();
        return std::min<size_t>(node.header + node.Field(IndexHeader::BytesAllocated), node.bytes.size());
    }

    // Replaces `removed` bytes at `position` with `inserted`, then writes the node.
    void Splice(SNode& node, size_t position, size_t removed, const std::vector<uint8_t>& inserted) {
        const size_t newEnd = node.End() - removed + inserted.size();
        auto at = node.bytes.begin() + static_cast<std::ptrdiff_t>(position);
        node.bytes.erase(at, at + static_cast<std::ptrdiff_t>(removed));
        node.bytes.insert(node.bytes.begin() + static_cast<std::ptrdiff_t>(position), inserted.begin(), inserted.end());
        CByteWriter out(node.bytes);
        const uint32_t inUse = NumericCast<uint32_t>(newEnd - node.header);
        out.U32(node.header + IndexHeader::BytesInUse, inUse);
        m_volume->BeginWrite();
        if (node.vcn == kRootVcn) {
            out.U32(node.header + IndexHeader::BytesAllocated, inUse);
            node.bytes.resize(newEnd);
            m_root->SetSize(node.bytes.size());
            m_root->WriteData(0, node.bytes.data(), NumericCast<uint32_t>(node.bytes.size()));
            m_entry->Save();
        } else {
            // A block keeps its size: the bytes past the entries stay as they were.
            node.bytes.resize(m_blockSize);
            MstProtect(node.bytes, 1, m_blockSize);
            m_allocation->WriteData(node.vcn * m_vcnBytes, node.bytes.data(), m_blockSize);
        }
    }

    // Every key of the tree, in order.
    std::vector<SKey> AllKeys() {
        std::vector<SKey> keys;
        Collect(Root(), keys, 0);
        return keys;
    }

    // Writes the tree anew holding `keys` (ordered): in the root alone when
    // they fit, else in blocks filled to three quarters. New blocks go where
    // the tree on disk has none; the record, whose root and bitmap then
    // point at them, commits the change; only then are the old blocks freed.
    void Rebuild(const std::vector<SKey>& keys);

private:
    void Collect(const SNode& node, std::vector<SKey>& keys, int depth) {
        if (depth >= kDeepestWalk || (node.vcn != kRootVcn && !m_visited.insert(node.vcn).second)) ThrowCorrupt(node.vcn);
        const CByteReader reader(node.bytes);
        const size_t end = node.End();
        if (end > node.bytes.size()) ThrowCorrupt(node.vcn);
        for (size_t position = node.First();;) {
            if (position + IndexEntry::SmallEndLength > end) ThrowCorrupt(node.vcn);
            const uint16_t length = reader.U16(position + IndexEntry::Length);
            const uint16_t flags = reader.U16(position + IndexEntry::Flags);
            const bool hasChild = (flags & IndexEntry::FlagHasChild) != 0;
            if (length < IndexEntry::SmallEndLength + (hasChild ? IndexEntry::ChildVcnSize : 0) || length % 8 != 0 ||
                position + length > end)
                ThrowCorrupt(node.vcn);
            if (hasChild) Collect(Block(reader.U64(position + length - IndexEntry::ChildVcnSize)), keys, depth + 1);
            if (flags & IndexEntry::FlagEnd) return;
            if (reader.U16(position + IndexEntry::KeyLength) < ReparseIndexEntry::KeyLength ||
                IndexEntry::Key + ReparseIndexEntry::KeyLength > length)
                ThrowCorrupt(node.vcn);
            keys.push_back({reader.U32(position + ReparseIndexEntry::KeyTag),
                            reader.U64(position + ReparseIndexEntry::KeyReference)});
            position += length;
        }
    }

    struct SBuiltNode {
        std::vector<SKey> keys;
        std::vector<uint64_t> children;  // one more than the keys in an inner node; none in a leaf
    };
    static std::vector<uint8_t> NodeEntries(const SBuiltNode& node);
    void EnsureBlocks(uint64_t count);
    uint64_t TakeFreeBlock(std::vector<uint8_t>& bits, const std::vector<uint8_t>& old);
    static void SplitLevel(const SBuiltNode& level, size_t perNode, std::vector<SBuiltNode>& nodes, SBuiltNode& up);
    void WriteBlock(uint64_t block, const SBuiltNode& node);
    void WriteRootAndBits(const SBuiltNode& root, const std::vector<uint8_t>& bits);

    SNode Root() {
        SNode node;
        node.bytes = m_root->ReadAll();
        node.header = IndexRoot::Header;
        const CByteReader reader(node.bytes);
        if (reader.U32(IndexRoot::CollationRule) != IndexRoot::UlongsCollation) ThrowCorrupt(kRootVcn);
        m_blockSize = reader.U32(IndexRoot::BlockSize);
        const uint32_t clusterSize = m_volume->GetClusterSize();
        m_vcnBytes = m_blockSize >= clusterSize ? clusterSize : 512;
        return node;
    }

    SNode Block(uint64_t vcn) {
        if (!m_allocation || m_blockSize < 512 || m_blockSize > (1u << 16) || m_blockSize % 512 != 0 ||
            vcn > m_allocation->GetSize() / m_vcnBytes || (vcn * m_vcnBytes) % m_blockSize != 0 ||
            vcn * m_vcnBytes + m_blockSize > m_allocation->GetSize())
            ThrowCorrupt(vcn);
        SNode node;
        node.vcn = vcn;
        node.header = IndexBlock::Header;
        node.bytes.resize(m_blockSize);
        m_allocation->ReadData(vcn * m_vcnBytes, node.bytes.data(), m_blockSize);
        try {
            MstUnprotect(node.bytes, 1, m_blockSize);
        } catch (const CException&) {
            ThrowCorrupt(vcn);
        }
        const CByteReader reader(node.bytes);
        if (reader.U32(IndexBlock::Signature) != IndexBlock::SignatureValue || reader.U64(IndexBlock::Vcn) != vcn)
            ThrowCorrupt(vcn);
        return node;
    }

    IVolumeServices* m_volume;
    std::shared_ptr<CFileEntry> m_entry;
    AttributePtr m_root;
    AttributePtr m_allocation;
    AttributePtr m_bitmap;
    uint32_t m_blockSize = 0;
    uint64_t m_vcnBytes = 512;
    std::set<uint64_t> m_visited;  // blocks a walk met: one met twice is a loop
};


// Entries of a node as written: the keys, each with its child in an inner
// node, then the end entry (with the last child).
std::vector<uint8_t> CReparseList::NodeEntries(const SBuiltNode& node) {
    const bool inner = !node.children.empty();
    const uint32_t length = ReparseIndexEntry::Length + (inner ? IndexEntry::ChildVcnSize : 0);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < node.keys.size(); ++i) {
        std::vector<uint8_t> entry = MakeEntry(node.keys[i]);
        if (inner) {
            entry.resize(length, 0);
            CByteWriter out(entry);
            out.U16(IndexEntry::Length, NumericCast<uint16_t>(length));
            out.U16(IndexEntry::Flags, IndexEntry::FlagHasChild);
            out.U64(length - IndexEntry::ChildVcnSize, node.children[i]);
        }
        bytes.insert(bytes.end(), entry.begin(), entry.end());
    }
    const size_t end = bytes.size();
    bytes.resize(end + (inner ? IndexEntry::ChildEndLength : IndexEntry::SmallEndLength), 0);
    if (inner) WriteEndEntryWithChild(CByteWriter(bytes), end, node.children.back());
    else WriteEndEntry(CByteWriter(bytes), end);
    return bytes;
}

// Spreads the keys (and children) of one level over as few nodes of at most
// `perNode` keys as it takes; the key between two neighbours moves up.
void CReparseList::SplitLevel(const SBuiltNode& level, size_t perNode, std::vector<SBuiltNode>& nodes, SBuiltNode& up) {
    const size_t total = level.keys.size();
    const size_t count = (total + 1 + perNode) / (perNode + 1);
    const size_t held = total - (count - 1);
    for (size_t i = 0, next = 0; i < count; ++i) {
        const size_t take = held / count + (i < held % count ? 1 : 0);
        SBuiltNode node;
        node.keys.assign(level.keys.begin() + static_cast<std::ptrdiff_t>(next),
                         level.keys.begin() + static_cast<std::ptrdiff_t>(next + take));
        if (!level.children.empty())
            node.children.assign(level.children.begin() + static_cast<std::ptrdiff_t>(next),
                                 level.children.begin() + static_cast<std::ptrdiff_t>(next + take + 1));
        next += take;
        nodes.push_back(std::move(node));
        if (i + 1 < count) up.keys.push_back(level.keys[next++]);
    }
}

void CReparseList::EnsureBlocks(uint64_t count) {
    if (!m_allocation) m_allocation = m_entry->CreateAttribute(AttrType::IndexAllocation, kIndexName, false);
    if (m_allocation->GetSize() < count * m_blockSize) m_allocation->SetSize(count * m_blockSize);
    if (!m_bitmap) m_bitmap = m_entry->CreateAttribute(AttrType::Bitmap, kIndexName, true);
    const uint64_t bitmapBytes = RoundUp((count + 7) / 8, 8);
    if (m_bitmap->GetSize() < bitmapBytes) m_bitmap->SetSize(bitmapBytes);
}

// The first block neither the tree on disk nor the new one uses.
uint64_t CReparseList::TakeFreeBlock(std::vector<uint8_t>& bits, const std::vector<uint8_t>& old) {
    auto taken = [](const std::vector<uint8_t>& map, uint64_t block) {
        return block / 8 < map.size() && ((map[block / 8] >> (block % 8)) & 1);
    };
    uint64_t block = 0;
    while (taken(bits, block) || taken(old, block)) ++block;
    if (bits.size() <= block / 8) bits.resize(block / 8 + 1, 0);
    bits[block / 8] = static_cast<uint8_t>(bits[block / 8] | (1u << (block % 8)));
    EnsureBlocks(block + 1);
    return block;
}

void CReparseList::WriteBlock(uint64_t block, const SBuiltNode& node) {
    const uint16_t usaCount = static_cast<uint16_t>(IndexBlock::UsaCountFor(m_blockSize));
    const uint32_t first = IndexBlock::EntriesOffset(usaCount);
    const std::vector<uint8_t> entries = NodeEntries(node);
    if (first + entries.size() > m_blockSize) ThrowCorrupt(kRootVcn);
    std::vector<uint8_t> bytes(m_blockSize, 0);
    const CByteWriter out(bytes);
    WriteBlockHeader(out, usaCount, block * m_blockSize / m_vcnBytes, m_blockSize);
    std::copy(entries.begin(), entries.end(), bytes.begin() + first);
    out.U32(IndexBlock::Header + IndexHeader::BytesInUse, NumericCast<uint32_t>(first - IndexBlock::Header + entries.size()));
    if (!node.children.empty()) out.U8(IndexBlock::Header + IndexHeader::Flags, IndexHeader::FlagLarge);
    MstProtect(bytes, 1, m_blockSize);
    m_allocation->WriteData(block * m_blockSize, bytes.data(), m_blockSize);
}

void CReparseList::WriteRootAndBits(const SBuiltNode& root, const std::vector<uint8_t>& bits) {
    std::vector<uint8_t> value = m_root->ReadAll();
    value.resize(IndexRoot::HeaderSize);
    const std::vector<uint8_t> entries = NodeEntries(root);
    value.insert(value.end(), entries.begin(), entries.end());
    const CByteWriter header = CByteWriter(value).Sub(IndexRoot::Header, IndexHeader::Size);
    const uint32_t inUse = NumericCast<uint32_t>(value.size() - IndexRoot::Header);
    header.U32(IndexHeader::FirstEntry, IndexRoot::HeaderSize - IndexRoot::Header);
    header.U32(IndexHeader::BytesInUse, inUse);
    header.U32(IndexHeader::BytesAllocated, inUse);
    header.U8(IndexHeader::Flags, root.children.empty() ? 0 : IndexHeader::FlagLarge);
    m_root->SetSize(value.size());
    m_root->WriteData(0, value.data(), NumericCast<uint32_t>(value.size()));
    if (m_bitmap) {
        std::vector<uint8_t> map = bits;
        map.resize(m_bitmap->GetSize(), 0);
        m_bitmap->WriteData(0, map.data(), NumericCast<uint32_t>(map.size()));
    }
    m_entry->Save();
}

void CReparseList::Rebuild(const std::vector<SKey>& keys) {
    Root();  // the block geometry
    m_volume->BeginWrite();
    const std::vector<uint8_t> old = m_bitmap ? m_bitmap->ReadAll() : std::vector<uint8_t>();
    std::vector<uint8_t> bits;
    SBuiltNode top{keys, {}};
    if (IndexRoot::HeaderSize + NodeEntries(top).size() > RootRoom()) {
        if (m_blockSize < 512 || m_blockSize % 512 != 0 || m_blockSize > (1u << 16)) ThrowCorrupt(kRootVcn);
        const uint32_t room = m_blockSize - IndexBlock::EntriesOffset(IndexBlock::UsaCountFor(m_blockSize));
        const size_t perLeaf = std::max<size_t>(1, (room - IndexEntry::SmallEndLength) / ReparseIndexEntry::Length * 3 / 4);
        const size_t perInner = std::max<size_t>(
            1, (room - IndexEntry::ChildEndLength) / (ReparseIndexEntry::Length + IndexEntry::ChildVcnSize) * 3 / 4);
        do {
            std::vector<SBuiltNode> nodes;
            SBuiltNode up;
            SplitLevel(top, top.children.empty() ? perLeaf : perInner, nodes, up);
            for (const SBuiltNode& node : nodes) {
                const uint64_t block = TakeFreeBlock(bits, old);
                WriteBlock(block, node);
                up.children.push_back(block * m_blockSize / m_vcnBytes);
            }
            top = std::move(up);
        } while (IndexRoot::HeaderSize + NodeEntries(top).size() > RootRoom());
    }
    // Old and new blocks both marked while the record switches to the new tree.
    std::vector<uint8_t> both = bits;
    both.resize(std::max(bits.size(), old.size()), 0);
    for (size_t i = 0; i < old.size(); ++i) both[i] = static_cast<uint8_t>(both[i] | old[i]);
    WriteRootAndBits(top, both);
    if (both != bits) WriteRootAndBits(top, bits);
}

}  // namespace

void AddReparseIndexEntry(const std::shared_ptr<CFileEntry>& entry, uint32_t tag, FileReference reference) {
    CReparseList list(entry, true);
    const SKey key{tag, reference};
    auto [node, place] = list.Find(key);
    if (place.found) return;
    if (node.End() + ReparseIndexEntry::Length <= list.Capacity(node)) return list.Splice(node, place.position, 0, MakeEntry(key));
    // No room where the key goes: the tree is written anew around it.
    std::vector<SKey> keys = list.AllKeys();
    keys.insert(std::upper_bound(keys.begin(), keys.end(), key, [](const SKey& a, const SKey& b) { return CompareKeys(a, b) < 0; }),
                key);
    list.Rebuild(keys);
}

void RemoveReparseIndexEntry(const std::shared_ptr<CFileEntry>& entry, uint32_t tag, FileReference reference) {
    CReparseList list(entry, false);
    if (!list.Exists()) return;
    const SKey key{tag, reference};
    auto [node, place] = list.Find(key);
    if (!place.found) return;
    // An entry of an inner node, or the last of a block, is taken out by
    // writing the tree anew.
    if (!place.child && !(node.vcn != kRootVcn && place.firstInNode && place.nextIsEnd))
        return list.Splice(node, place.position, place.length, {});
    std::vector<SKey> keys = list.AllKeys();
    std::erase_if(keys, [&](const SKey& other) { return CompareKeys(other, key) == 0; });
    list.Rebuild(keys);
}

}  // namespace volcore
