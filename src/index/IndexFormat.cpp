#include "index/IndexFormat.h"

#include "api/NumericCast.h"
#include "entries/RecordFormat.h"
#include "index/Index.h"

namespace volcore {

void WriteRootHeader(const CByteWriter& out, uint32_t blockSize, uint8_t clustersPerBlock, uint32_t bytesInUse,
                     uint8_t flags) {
    out.U32(IndexRoot::IndexedType, AttrType::FileName);
    out.U32(IndexRoot::CollationRule, IndexRoot::FileNameCollation);
    out.U32(IndexRoot::BlockSize, blockSize);
    out.U8(IndexRoot::ClustersPerBlock, clustersPerBlock);
    CByteWriter header = out.Sub(IndexRoot::Header, IndexRoot::HeaderSize - IndexRoot::Header);
    header.U32(IndexHeader::FirstEntry, static_cast<uint32_t>(IndexRoot::HeaderSize - IndexRoot::Header));
    header.U32(IndexHeader::BytesInUse, bytesInUse);
    header.U32(IndexHeader::BytesAllocated, bytesInUse);
    header.U8(IndexHeader::Flags, flags);
}

uint32_t WriteIndexEntry(const CByteWriter& out, size_t position, std::u16string_view name,
                         const SIndexEntryValue& value) {
    uint8_t nameLength = NumericCast<uint8_t>(name.size());
    uint32_t length = IndexEntry::LengthForName(name.size());
    CByteWriter entry = out.Sub(position, length);
    entry.U64(IndexEntry::Reference, value.fileReference);
    entry.U16(IndexEntry::Length, NumericCast<uint16_t>(length));
    entry.U16(IndexEntry::KeyLength, NumericCast<uint16_t>(FileNameValue::Name + 2 * name.size()));
    entry.U16(IndexEntry::Flags, 0);
    CByteWriter key = entry.Sub(IndexEntry::Key, length - IndexEntry::Key);
    key.U64(FileNameValue::ParentReference, value.parentReference);
    key.U64(FileNameValue::CreationTime, value.creationTime);
    key.U64(FileNameValue::ModificationTime, value.modificationTime);
    key.U64(FileNameValue::MftChangeTime, value.mftChangeTime);
    key.U64(FileNameValue::AccessTime, value.accessTime);
    key.U64(FileNameValue::AllocatedSize, value.allocatedSize);
    key.U64(FileNameValue::DataSize, value.dataSize);
    key.U32(FileNameValue::FileAttributes, value.fileAttributes);
    key.U32(FileNameValue::EaSizeOrReparseTag, value.eaSizeOrReparseTag);
    key.U8(FileNameValue::NameLength, nameLength);
    key.U8(FileNameValue::NameSpace, value.nameSpace);
    key.Utf16(FileNameValue::Name, name);
    return length;
}

uint32_t WriteEndEntry(const CByteWriter& out, size_t position) {
    CByteWriter entry = out.Sub(position, IndexEntry::SmallEndLength);
    entry.U16(IndexEntry::Length, IndexEntry::SmallEndLength);
    entry.U16(IndexEntry::Flags, IndexEntry::FlagEnd);
    return IndexEntry::SmallEndLength;
}

uint32_t WriteEndEntryWithChild(const CByteWriter& out, size_t position, uint64_t childVcn) {
    CByteWriter entry = out.Sub(position, IndexEntry::ChildEndLength);
    entry.U16(IndexEntry::Length, IndexEntry::ChildEndLength);
    entry.U16(IndexEntry::Flags, IndexEntry::FlagEnd | IndexEntry::FlagHasChild);
    entry.U64(IndexEntry::ChildEndLength - 8, childVcn);
    return IndexEntry::ChildEndLength;
}

void WriteBlockHeader(const CByteWriter& block, uint16_t usaCount, uint64_t vcn, uint32_t blockSize) {
    uint32_t entriesOffset = IndexBlock::EntriesOffset(usaCount);
    block.CopyFrom(IndexBlock::Signature, "INDX", 4);
    block.U16(IndexBlock::UsaOffset, IndexBlock::UsaOffsetValue);
    block.U16(IndexBlock::UsaCount, usaCount);
    block.U64(IndexBlock::Lsn, 0);
    block.U64(IndexBlock::Vcn, vcn);
    CByteWriter header = block.Sub(IndexBlock::Header, IndexHeader::Flags + 4);
    header.U32(IndexHeader::FirstEntry, entriesOffset - IndexBlock::Header);
    header.U32(IndexHeader::BytesInUse, entriesOffset - IndexBlock::Header);
    header.U32(IndexHeader::BytesAllocated, blockSize - IndexBlock::Header);
    header.U8(IndexHeader::Flags, 0);
}

SReadIndexEntry ReadIndexEntry(const CByteReader& node, size_t position, SIndexEntryValue& value) {
    SReadIndexEntry result;
    CByteReader header = node.Sub(position, IndexEntry::Key);
    result.length = header.U16(IndexEntry::Length);
    if (header.U16(IndexEntry::Flags) & IndexEntry::FlagEnd) {
        result.isEnd = true;
        return result;
    }
    // Anything shorter cannot hold the name-length byte, and a zero length
    // would never move the walk forward.
    if (result.length < IndexEntry::Name)
        throw CException("Corrupt index entry at offset %1: length %2", position, result.length);
    CByteReader entry = node.Sub(position, result.length);
    CByteReader key = entry.Sub(IndexEntry::Key, result.length - IndexEntry::Key);
    value = MakeIndexEntryValue(entry.U64(IndexEntry::Reference), {key.Data(), key.Size()});
    result.name = key.Utf16(FileNameValue::Name, key.U8(FileNameValue::NameLength));
    return result;
}

}  // namespace volcore
