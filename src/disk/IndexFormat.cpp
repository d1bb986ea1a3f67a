#include "disk/IndexFormat.h"

#include <cstring>

#include "base/NumericCast.h"
#include "disk/RecordFormat.h"

namespace volcore {

namespace {

// The value's fields in a key (a $FILE_NAME value); the name stays as it is.
void WriteKeyFields(const CByteWriter& key, const SIndexEntryValue& value) {
    key.U64(FileNameValue::ParentReference, value.parentReference);
    key.U64(FileNameValue::CreationTime, value.creationTime);
    key.U64(FileNameValue::ModificationTime, value.modificationTime);
    key.U64(FileNameValue::MftChangeTime, value.mftChangeTime);
    key.U64(FileNameValue::AccessTime, value.accessTime);
    key.U64(FileNameValue::AllocatedSize, value.allocatedSize);
    key.U64(FileNameValue::DataSize, value.dataSize);
    key.U32(FileNameValue::FileAttributes, value.fileAttributes);
    key.U32(FileNameValue::EaSizeOrReparseTag, value.eaSizeOrReparseTag);
    key.U8(FileNameValue::NameSpace, value.nameSpace);
}

}  // namespace

void ThrowCorruptIndexEntry(const char* field, size_t position, uint64_t value) {
    throw CException(EErrorKind::Corrupt, "Corrupt index entry at offset %1: %2 %3", position, field, value);
}

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
    WriteKeyFields(key, value);
    key.U8(FileNameValue::NameLength, nameLength);
    key.Utf16(FileNameValue::Name, name);
    return length;
}

bool OverwriteIndexEntryValue(std::span<uint8_t> entry, const SIndexEntryValue& value) {
    constexpr size_t kFields = IndexEntry::Key + FileNameValue::Name;
    CByteWriter out(entry);
    uint8_t before[kFields];
    out.Reader().CopyTo(0, before, kFields);
    out.U64(IndexEntry::Reference, value.fileReference);
    WriteKeyFields(out.Sub(IndexEntry::Key, FileNameValue::Name), value);
    return std::memcmp(before, out.Data(), kFields) != 0;
}

std::optional<uint64_t> EntryChild(std::span<const uint8_t> entry) {
    CByteReader in(entry);
    if (!(in.U16(IndexEntry::Flags) & IndexEntry::FlagHasChild)) return std::nullopt;
    return in.U64(in.U16(IndexEntry::Length) - IndexEntry::ChildVcnSize);
}

std::vector<uint8_t> EntryWithChild(std::span<const uint8_t> entry, std::optional<uint64_t> childVcn) {
    CByteReader in(entry);
    uint16_t flags = in.U16(IndexEntry::Flags);
    uint32_t length = in.U16(IndexEntry::Length);
    uint32_t kept = length - ((flags & IndexEntry::FlagHasChild) ? IndexEntry::ChildVcnSize : 0);
    std::vector<uint8_t> copy(kept + (childVcn ? IndexEntry::ChildVcnSize : 0));
    in.CopyTo(0, copy.data(), kept);
    CByteWriter out(copy);
    out.U16(IndexEntry::Length, NumericCast<uint16_t>(copy.size()));
    if (childVcn) {
        out.U16(IndexEntry::Flags, static_cast<uint16_t>(flags | IndexEntry::FlagHasChild));
        out.U64(copy.size() - IndexEntry::ChildVcnSize, *childVcn);
    } else {
        out.U16(IndexEntry::Flags, static_cast<uint16_t>(flags & ~IndexEntry::FlagHasChild));
    }
    return copy;
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
    entry.U64(IndexEntry::ChildEndLength - IndexEntry::ChildVcnSize, childVcn);
    return IndexEntry::ChildEndLength;
}

void WriteBlockHeader(const CByteWriter& block, uint16_t usaCount, uint64_t vcn, uint32_t blockSize) {
    uint32_t entriesOffset = IndexBlock::EntriesOffset(usaCount);
    block.U32(IndexBlock::Signature, IndexBlock::SignatureValue);
    block.U16(IndexBlock::UsaOffset, IndexBlock::UsaOffsetValue);
    block.U16(IndexBlock::UsaCount, usaCount);
    block.U64(IndexBlock::Lsn, 0);
    block.U64(IndexBlock::Vcn, vcn);
    CByteWriter header = block.Sub(IndexBlock::Header, IndexHeader::Size);
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
        throw CException(EErrorKind::Corrupt, "Corrupt index entry at offset %1: length %2", position, result.length);
    CByteReader entry = node.Sub(position, result.length);
    CByteReader key = entry.Sub(IndexEntry::Key, result.length - IndexEntry::Key);
    value = MakeIndexEntryValue(entry.U64(IndexEntry::Reference), {key.Data(), key.Size()});
    result.name = key.Utf16(FileNameValue::Name, key.U8(FileNameValue::NameLength));
    return result;
}

}  // namespace volcore
