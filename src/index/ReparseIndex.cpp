#include "index/ReparseIndex.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "entries/RecordFormat.h"
#include "index/IndexFormat.h"
#include "volume/Fixups.h"
#include "volume/Volume.h"

namespace volcore {
namespace {

constexpr char16_t kReparsePath[] = u"$Extend\\$Reparse";
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
    explicit CReparseList(CVolume& volume, bool mustExist) : m_volume(volume) {
        FileReference reference = 0;
        try {
            reference = volume.ResolvePath(kReparsePath);
        } catch (const CException&) {
            if (mustExist)
                throw CException(EErrorKind::Unsupported,
                                 "The volume's list of reparse points ($Extend\\$Reparse) is missing: it cannot hold one");
            return;
        }
        m_entry = volume.OpenEntry(reference);
        m_root = m_entry->FindAttribute(AttrType::IndexRoot, kIndexName);
        if (!m_root || m_root->IsNonResident() || m_root->GetSize() < IndexRoot::HeaderSize) ThrowCorrupt(kRootVcn);
        m_allocation = m_entry->FindAttribute(AttrType::IndexAllocation, kIndexName);
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
        const int64_t recordSize = m_volume.GetMftRecordSize();
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
        m_volume.BeginWrite();
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

private:
    SNode Root() {
        SNode node;
        node.bytes = m_root->ReadAll();
        node.header = IndexRoot::Header;
        const CByteReader reader(node.bytes);
        if (reader.U32(IndexRoot::CollationRule) != IndexRoot::UlongsCollation) ThrowCorrupt(kRootVcn);
        m_blockSize = reader.U32(IndexRoot::BlockSize);
        const uint32_t clusterSize = m_volume.GetClusterSize();
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

    CVolume& m_volume;
    std::shared_ptr<CFileEntry> m_entry;
    AttributePtr m_root;
    AttributePtr m_allocation;
    uint32_t m_blockSize = 0;
    uint64_t m_vcnBytes = 512;
};

}  // namespace

void AddReparseIndexEntry(CVolume& volume, uint32_t tag, FileReference reference) {
    CReparseList list(volume, true);
    const SKey key{tag, reference};
    auto [node, place] = list.Find(key);
    if (place.found) return;
    if (node.End() + ReparseIndexEntry::Length > list.Capacity(node))
        throw CException(EErrorKind::Unsupported,
                         "The volume's list of reparse points ($Extend\\$Reparse) has no room left where record %1 "
                         "goes: this engine does not split its nodes",
                         RecordNumber(reference));
    list.Splice(node, place.position, 0, MakeEntry(key));
}

void RemoveReparseIndexEntry(CVolume& volume, uint32_t tag, FileReference reference) {
    CReparseList list(volume, false);
    if (!list.Exists()) return;
    auto [node, place] = list.Find({tag, reference});
    if (!place.found) return;
    // Taking an entry out of an inner node, or emptying a block, reshapes the tree.
    if (place.child || (node.vcn != kRootVcn && place.firstInNode && place.nextIsEnd)) {
        LogWarning(FormatText("Record %1: its entry in the list of reparse points ($Extend\\$Reparse) stays behind",
                              RecordNumber(reference)));
        return;
    }
    list.Splice(node, place.position, place.length, {});
}

}  // namespace volcore
