#include "format/FormatIndex.h"

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/IndexFormat.h"

namespace volcore::format {
namespace {

// The entries laid end to end, then the end entry.
std::vector<uint8_t> Concatenate(const std::vector<std::vector<uint8_t>>& entries, bool endWithChild) {
    std::vector<uint8_t> all;
    for (const auto& entry : entries) all.insert(all.end(), entry.begin(), entry.end());
    size_t end = all.size();
    all.resize(end + (endWithChild ? IndexEntry::ChildEndLength : IndexEntry::SmallEndLength), 0);
    if (endWithChild) WriteEndEntryWithChild(CByteWriter(all), end, 0);
    else WriteEndEntry(CByteWriter(all), end);
    return all;
}

void WriteIndexHeader(const CByteWriter& header, uint32_t firstEntry, uint32_t bytesInUse, uint32_t bytesAllocated,
                      uint8_t flags) {
    header.U32(IndexHeader::FirstEntry, firstEntry);
    header.U32(IndexHeader::BytesInUse, bytesInUse);
    header.U32(IndexHeader::BytesAllocated, bytesAllocated);
    header.U8(IndexHeader::Flags, flags);
}

std::vector<uint8_t> IndexRootValue(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry,
                                    const std::vector<uint8_t>& entries, bool large) {
    std::vector<uint8_t> root(IndexRoot::HeaderSize + entries.size(), 0);
    CByteWriter out(root);
    out.U32(IndexRoot::IndexedType, indexedType);
    out.U32(IndexRoot::CollationRule, collation);
    out.U32(IndexRoot::BlockSize, geometry.blockSize);
    out.U8(IndexRoot::ClustersPerBlock, geometry.clustersPerBlock);
    uint32_t inUse = static_cast<uint32_t>(IndexHeader::Size + entries.size());
    WriteIndexHeader(out.Sub(IndexRoot::Header, IndexHeader::Size), IndexHeader::Size, inUse, inUse,
                     large ? IndexHeader::FlagLarge : 0);
    out.CopyFrom(IndexRoot::HeaderSize, entries.data(), entries.size());
    return root;
}

}  // namespace

std::vector<uint8_t> FileNameValue(const SFileNameInfo& info) {
    if (info.name.size() > IndexEntry::LongestNameUnits)
        throw CException(EErrorKind::Argument, "File name of %1 units is too long", info.name.size());
    std::vector<uint8_t> value(FileNameValue::Name + 2 * info.name.size(), 0);
    CByteWriter out(value);
    out.U64(FileNameValue::ParentReference, info.parent);
    for (size_t time : {FileNameValue::CreationTime, FileNameValue::ModificationTime, FileNameValue::MftChangeTime,
                        FileNameValue::AccessTime})
        out.U64(time, info.time);
    out.U64(FileNameValue::AllocatedSize, info.allocatedSize);
    out.U64(FileNameValue::DataSize, info.dataSize);
    out.U32(FileNameValue::FileAttributes, info.flags);
    out.U8(FileNameValue::NameLength, static_cast<uint8_t>(info.name.size()));
    out.U8(FileNameValue::NameSpace, FileNameValue::NameSpaceWin32AndDos);
    out.Utf16(FileNameValue::Name, info.name);
    return value;
}

std::vector<uint8_t> FileNameIndexEntry(uint64_t reference, const std::vector<uint8_t>& fileName) {
    std::vector<uint8_t> entry(RoundUp(IndexEntry::Key + fileName.size(), 8), 0);
    CByteWriter out(entry);
    out.U64(IndexEntry::Reference, reference);
    out.U16(IndexEntry::Length, static_cast<uint16_t>(entry.size()));
    out.U16(IndexEntry::KeyLength, static_cast<uint16_t>(fileName.size()));
    out.CopyFrom(IndexEntry::Key, fileName.data(), fileName.size());
    return entry;
}

std::vector<uint8_t> ViewIndexEntry(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data,
                                    const std::vector<uint8_t>& padding) {
    size_t dataOffset = IndexEntry::Key + key.size();
    std::vector<uint8_t> entry(RoundUp(dataOffset + data.size() + padding.size(), 8), 0);
    CByteWriter out(entry);
    out.U16(IndexEntry::DataOffset, static_cast<uint16_t>(dataOffset));
    out.U16(IndexEntry::DataLength, static_cast<uint16_t>(data.size()));
    out.U16(IndexEntry::Length, static_cast<uint16_t>(entry.size()));
    out.U16(IndexEntry::KeyLength, static_cast<uint16_t>(key.size()));
    out.CopyFrom(IndexEntry::Key, key.data(), key.size());
    out.CopyFrom(dataOffset, data.data(), data.size());
    out.CopyFrom(dataOffset + data.size(), padding.data(), padding.size());
    return entry;
}

SIndexGeometry IndexGeometry(uint32_t blockSize, uint32_t clusterSize) {
    uint32_t unit = blockSize >= clusterSize ? clusterSize : 512;
    return {blockSize, static_cast<uint8_t>(blockSize / unit)};
}

std::vector<uint8_t> SmallIndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry,
                                    const std::vector<std::vector<uint8_t>>& entries) {
    return IndexRootValue(indexedType, collation, geometry, Concatenate(entries, false), false);
}

std::vector<uint8_t> LargeIndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry) {
    return IndexRootValue(indexedType, collation, geometry, Concatenate({}, true), true);
}

std::vector<uint8_t> LeafIndexBlock(const SIndexGeometry& geometry, const std::vector<std::vector<uint8_t>>& entries) {
    std::vector<uint8_t> block(geometry.blockSize, 0);
    CByteWriter out(block);
    uint16_t usaCount = static_cast<uint16_t>(IndexBlock::UsaCountFor(geometry.blockSize));
    uint32_t firstEntry = IndexBlock::EntriesOffset(usaCount);
    std::vector<uint8_t> all = Concatenate(entries, false);
    if (firstEntry + all.size() > block.size())
        throw CException(EErrorKind::Argument, "Index entries overflow their block");
    WriteBlockHeader(out, usaCount, 0, geometry.blockSize);
    uint32_t inUse = static_cast<uint32_t>(firstEntry + all.size() - IndexBlock::Header);
    out.U32(IndexBlock::Header + IndexHeader::BytesInUse, inUse);
    out.CopyFrom(firstEntry, all.data(), all.size());
    return block;
}

}  // namespace volcore::format
