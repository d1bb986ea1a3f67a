#include "index/Index.h"

#include <cstring>

#include "api/Log.h"
#include "api/NumericCast.h"
#include "entries/FileEntry.h"
#include "index/IndexFormat.h"
#include "volume/Bitmap.h"
#include "volume/Fixups.h"
#include "volume/Volume.h"

namespace volcore {

namespace {

// Larger blocks than this are not written by any NTFS implementation; a
// bigger value in a root is damage, and trusting it would size allocations.
constexpr uint32_t kMaxBlockSize = 64 * 1024;

uint32_t SmallFormSize(const IndexEntryMap& entries) {
    uint64_t size = IndexRoot::HeaderSize + IndexEntry::SmallEndLength;
    for (const auto& element : entries) size += IndexEntry::LengthForName(element.first.size());
    return NumericCast<uint32_t>(size);
}

// Bytes an attribute record of the given resident value size needs.
uint64_t ResidentRecordSize(std::u16string_view name, uint64_t valueSize) {
    return AttrRecord::ResidentHeaderSize + RoundUp(2 * name.size(), 8) + RoundUp(valueSize, 8);
}

}  // namespace

SIndexEntryValue MakeIndexEntryValue(FileReference reference, std::span<const uint8_t> fileName) {
    CByteReader key(fileName);
    SIndexEntryValue value;
    value.fileReference = reference;
    value.parentReference = key.U64(FileNameValue::ParentReference);
    value.creationTime = key.U64(FileNameValue::CreationTime);
    value.modificationTime = key.U64(FileNameValue::ModificationTime);
    value.mftChangeTime = key.U64(FileNameValue::MftChangeTime);
    value.accessTime = key.U64(FileNameValue::AccessTime);
    value.allocatedSize = key.U64(FileNameValue::AllocatedSize);
    value.dataSize = key.U64(FileNameValue::DataSize);
    value.fileAttributes = key.U32(FileNameValue::FileAttributes);
    value.eaSizeOrReparseTag = key.U32(FileNameValue::EaSizeOrReparseTag);
    value.nameSpace = key.U8(FileNameValue::NameSpace);
    return value;
}

CIndex::CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase)
    : m_upcase(&upcase), m_name(std::move(name)), m_entry(std::move(entry)), m_entries(FileNameLess{&upcase}) {
    m_root = m_entry->GetAttribute(AttrType::IndexRoot, m_name);
    Load();
}

CIndex::CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase,
               uint32_t blockSize, uint8_t clustersPerBlock)
    : m_upcase(&upcase),
      m_name(std::move(name)),
      m_entry(std::move(entry)),
      m_entries(FileNameLess{&upcase}),
      m_blockSize(blockSize),
      m_clustersPerBlock(clustersPerBlock),
      m_dirty(true) {
    m_root = m_entry->GetAttribute(AttrType::IndexRoot, m_name);
    CheckBlockSize("Invalid index block size %1, file entry %2");
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

uint16_t CIndex::BlockUsaCount() const {
    return NumericCast<uint16_t>(m_entry->GetVolume().GetIndxUsaCount());
}

void CIndex::CheckBlockSize(const char* corruptFormat) const {
    if (m_blockSize == 0 || m_blockSize % 512 != 0 || m_blockSize > kMaxBlockSize)
        throw CException(corruptFormat, m_blockSize, OwnerRecord());
    // Saving places one entry per block at least, followed by an end entry
    // with a child pointer and one spare byte.
    uint64_t needed = IndexBlock::EntriesOffset(BlockUsaCount()) + IndexEntry::LongestLength + IndexEntry::ChildEndLength;
    if (m_blockSize <= needed)
        throw CException("Index block size %1 cannot hold the longest entry, file entry %2", m_blockSize,
                         OwnerRecord());
}

bool CIndex::FindEntry(std::u16string_view name, SIndexEntryValue& value) const {
    auto found = m_entries.find(name);
    if (found == m_entries.end()) return false;
    value = found->second;
    return true;
}

const SIndexEntryValue& CIndex::GetEntry(std::u16string_view name) const {
    auto found = m_entries.find(name);
    if (found == m_entries.end()) throw CException("Entry %1 doesn't exist", name);
    return found->second;
}

void CIndex::AddEntry(const std::u16string& name, const SIndexEntryValue& value) {
    if (m_entries.find(name) != m_entries.end()) throw CException("Entry %1 is already exist", name);
    m_entries.emplace(name, value);
    m_dirty = true;
}

void CIndex::UpdateEntry(std::u16string_view name, const SIndexEntryValue& value) {
    auto found = m_entries.find(name);
    if (found == m_entries.end()) throw CException("Entry %1 doesn't exist", name);
    found->second = value;
    m_dirty = true;
}

void CIndex::RemoveEntry(std::u16string_view name) {
    m_dirty = true;
    auto found = m_entries.find(name);
    if (found != m_entries.end()) m_entries.erase(found);
}

// --- Load -----------------------------------------------------------------

void CIndex::Load() {
    // Only a resident value is bounded by the record it came from.
    if (m_root->IsNonResident()) throw CException("Corrupt index root %1, file entry %2", m_name, OwnerRecord());
    std::vector<uint8_t> rootValue = m_root->ReadAll();
    CByteReader root(rootValue);
    m_blockSize = root.U32(IndexRoot::BlockSize);
    m_clustersPerBlock = root.U8(IndexRoot::ClustersPerBlock);
    CheckBlockSize("Corrupt index block size %1, file entry %2");
    ReadEntries(root, IndexRoot::Header + root.U32(IndexRoot::Header + IndexHeader::FirstEntry));
    if ((root.U8(IndexRoot::Header + IndexHeader::Flags) & IndexHeader::FlagLarge) == 0) return;

    m_allocation = m_entry->GetAttribute(AttrType::IndexAllocation, m_name);
    AttributePtr bitmap = m_entry->GetAttribute(AttrType::Bitmap, m_name);
    // The bitmap is read whole: it cannot need more bits than the device has blocks.
    uint64_t blocksOnDevice = m_entry->GetVolume().GetDevice().GetSize() / m_blockSize;
    if (bitmap->GetSize() > blocksOnDevice / 8 + 8)
        throw CException("Corrupt index bitmap %1, file entry %2", m_name, OwnerRecord());
    m_blockBitmap = std::make_unique<CBitmap>(std::move(bitmap));
    std::vector<uint8_t> block(m_blockSize);
    for (uint64_t i = 0; i < m_blockBitmap->GetSize(); ++i) {
        if (m_blockBitmap->Test(i)) LoadBlock(i, block);
    }
}

void CIndex::LoadBlock(uint64_t blockIndex, std::vector<uint8_t>& block) {
    m_allocation->ReadData(blockIndex * m_blockSize, block.data(), m_blockSize);
    MstUnprotect(block, 1, m_blockSize);
    CByteReader reader(block);
    reader.Check(IndexBlock::Signature, 4);
    if (std::memcmp(reader.Data() + IndexBlock::Signature, "INDX", 4) != 0)
        throw CException("Corrupt index allocation block %1, file entry %2", m_name, OwnerRecord());
    uint32_t firstEntry = reader.U32(IndexBlock::Header + IndexHeader::FirstEntry);
    LogDebug(FormatText("Reading entries from block %1, offset %2 (%3)", blockIndex, firstEntry, IndexBlock::Header));
    ReadEntries(reader, IndexBlock::Header + uint64_t{firstEntry});
}

void CIndex::ReadEntries(const CByteReader& buffer, size_t position) {
    // Every step advances by at least the smallest named entry, so the walk
    // ends at the end entry, at the buffer end, or with a failure.
    while (position < buffer.Size()) {
        SIndexEntryValue value;
        SReadIndexEntry entry = ReadIndexEntry(buffer, position, value);
        if (entry.isEnd) return;
        // The first of two names equal under the collation wins.
        m_entries.try_emplace(std::move(entry.name), value);
        position += entry.length;
    }
}

// --- Save -----------------------------------------------------------------

void CIndex::Save() {
    if (!m_dirty) return;
    for (const auto& element : m_entries) NumericCast<uint8_t>(element.first.size());
    if (IsLarge() && m_entries.empty()) ReturnToSmallForm();
    if (!IsLarge()) {
        if (SaveToRoot()) return;
        CreateAllocation();
    }
    SaveToBlocks();
}

void CIndex::ReturnToSmallForm() {
    m_blockBitmap->Resize(0);
    m_blockBitmap->Flush();
    m_blockBitmap.reset();
    // Removing an attribute does not by itself give its clusters back.
    m_allocation->ReleaseClusters();
    m_allocation.reset();
    m_entry->DeleteAttribute(AttrType::Bitmap, m_name);
    m_entry->DeleteAttribute(AttrType::IndexAllocation, m_name);
}

void CIndex::CreateAllocation() {
    // A root that says small may still come with allocation attributes
    // (left by another implementation); they are taken over, not duplicated.
    m_allocation = m_entry->FindAttribute(AttrType::IndexAllocation, m_name);
    if (!m_allocation) m_allocation = m_entry->CreateAttribute(AttrType::IndexAllocation, m_name, false);
    AttributePtr bitmap = m_entry->FindAttribute(AttrType::Bitmap, m_name);
    if (!bitmap) bitmap = m_entry->CreateAttribute(AttrType::Bitmap, m_name, true);
    m_blockBitmap = std::make_unique<CBitmap>(std::move(bitmap));
}

bool CIndex::RootFits(uint32_t rootSize) const {
    uint32_t recordSize = m_entry->GetVolume().GetMftRecordSize();
    uint32_t maxResident = CAttribute::MaxResidentSize(recordSize);
    // A value of the full resident limit would be moved out of the record.
    if (rootSize >= maxResident) return false;
    // The root shares the record with the entry's other attributes; a root
    // that leaves no room for them would make the entry unsavable.
    uint64_t used = FirstAttributeOffset(recordSize) + 8 + ResidentRecordSize(m_name, rootSize);
    for (const auto& [key, attribute] : m_entry->GetAttributes()) {
        if (attribute == m_root) continue;
        used += attribute->GetSerializedSize();
    }
    return used <= recordSize;
}

bool CIndex::SaveToRoot() {
    uint32_t size = SmallFormSize(m_entries);
    if (!RootFits(size)) return false;
    std::vector<uint8_t> value(size);
    CByteWriter out(value);
    WriteRootHeader(out, m_blockSize, m_clustersPerBlock, size - IndexRoot::Header, 0);
    size_t position = IndexRoot::HeaderSize;
    for (const auto& [name, entry] : m_entries) position += WriteIndexEntry(out, position, name, entry);
    WriteEndEntry(out, position);
    m_root->SetSize(size);
    m_root->WriteData(0, value.data(), size);
    m_dirty = false;
    return true;
}

void CIndex::WriteLargeRoot() {
    constexpr uint32_t size = IndexRoot::HeaderSize + IndexEntry::ChildEndLength;
    std::vector<uint8_t> value(size);
    CByteWriter out(value);
    WriteRootHeader(out, m_blockSize, m_clustersPerBlock, size - IndexRoot::Header, IndexHeader::FlagLarge);
    WriteEndEntryWithChild(out, IndexRoot::HeaderSize, 0);
    m_root->SetSize(size);
    m_root->WriteData(0, value.data(), size);
}

// Other readers follow child pointers in clusters, or in 512-byte units when
// a block is smaller than a cluster; a plain block number only agrees with
// that when blocks and clusters are the same size.
uint64_t CIndex::BlockVcn(uint64_t blockIndex) const {
    uint32_t clusterSize = m_entry->GetVolume().GetClusterSize();
    uint32_t unit = m_blockSize >= clusterSize ? clusterSize : 512;
    return blockIndex * (m_blockSize / unit);
}

std::vector<uint8_t> CIndex::BuildBlockChain() const {
    const uint16_t usaCount = BlockUsaCount();
    std::vector<uint8_t> buffer;
    uint64_t blockStart = 0;
    size_t position = 0;
    auto startBlock = [&] {
        blockStart = buffer.size();
        buffer.resize(buffer.size() + m_blockSize);
        uint64_t blockIndex = blockStart / m_blockSize;
        LogDebug(FormatText("Saving AllocationBlock %1 for %2", blockIndex, OwnerRecord()));
        WriteBlockHeader(CByteWriter(buffer).Sub(blockStart, m_blockSize), usaCount, BlockVcn(blockIndex),
                         m_blockSize);
        position = blockStart + IndexBlock::EntriesOffset(usaCount);
    };
    auto setBytesInUse = [&](uint64_t end) {
        CByteWriter(buffer).U32(blockStart + IndexBlock::Header + IndexHeader::BytesInUse,
                                static_cast<uint32_t>(end - blockStart - IndexBlock::Header));
    };

    startBlock();
    for (const auto& [name, entry] : m_entries) {
        uint32_t length = IndexEntry::LengthForName(name.size());
        if (position + length + IndexEntry::ChildEndLength >= blockStart + m_blockSize) {
            // The block is full: close it with a pointer to the next one.
            CByteWriter out(buffer);
            position += WriteEndEntryWithChild(out, position, BlockVcn(blockStart / m_blockSize + 1));
            setBytesInUse(position);
            out.U8(blockStart + IndexBlock::Header + IndexHeader::Flags, IndexHeader::FlagLarge);
            startBlock();
        }
        position += WriteIndexEntry(CByteWriter(buffer), position, name, entry);
    }
    position += WriteEndEntry(CByteWriter(buffer), position);
    setBytesInUse(position);
    return buffer;
}

void CIndex::SaveToBlocks() {
    WriteLargeRoot();
    std::vector<uint8_t> blocks = BuildBlockChain();
    uint64_t blockCount = blocks.size() / m_blockSize;
    uint32_t byteCount = NumericCast<uint32_t>(blocks.size());
    m_allocation->SetSize(byteCount);
    MstProtect(blocks, NumericCast<uint32_t>(blockCount), m_blockSize);
    m_allocation->WriteData(0, blocks.data(), byteCount);

    m_blockBitmap->Resize(RoundUp(blockCount, 8));
    m_blockBitmap->SetRange(0, blockCount);
    if (m_blockBitmap->GetSize() > blockCount)
        m_blockBitmap->ClearRange(blockCount, m_blockBitmap->GetSize() - blockCount);
    m_blockBitmap->Flush();
    m_dirty = false;
}

}  // namespace volcore
