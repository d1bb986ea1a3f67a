#pragma once
// Byte layouts of the $INDEX_ROOT value, INDX blocks and file-name index
// entries, and the writers for the shapes this engine saves.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "disk/Fixups.h"
#include "disk/RecordFormat.h"

namespace volcore {

// What a file-name index entry says about the object it names: its reference
// and the entry's copy of the object's $FILE_NAME, the name itself aside.
struct SIndexEntryValue {
    uint64_t fileReference = 0;
    uint64_t parentReference = 0;
    uint64_t creationTime = 0;
    uint64_t modificationTime = 0;
    uint64_t mftChangeTime = 0;
    uint64_t accessTime = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint32_t fileAttributes = 0;
    uint32_t eaSizeOrReparseTag = 0;
    uint8_t nameSpace = 0;
};

// Fills a value from a file reference and a $FILE_NAME value. Inline: a
// listing decodes one per entry.
inline SIndexEntryValue MakeIndexEntryValue(uint64_t reference, std::span<const uint8_t> fileName) {
    CByteReader key(fileName);
    // Every field below lies before the name: one check covers them all and
    // lets the reads below go without checks of their own.
    key.Check(0, FileNameValue::Name);
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

// $INDEX_ROOT value.
namespace IndexRoot {
inline constexpr size_t IndexedType = 0x00;
inline constexpr size_t CollationRule = 0x04;
inline constexpr size_t BlockSize = 0x08;
inline constexpr size_t ClustersPerBlock = 0x0C;
inline constexpr size_t Header = 0x10;
inline constexpr size_t HeaderSize = 0x20;  // root header and index header
inline constexpr uint32_t FileNameCollation = 1;
inline constexpr uint32_t UlongCollation = 0x10;         // one little-endian 32-bit key
inline constexpr uint32_t SidCollation = 0x11;
inline constexpr uint32_t SecurityHashCollation = 0x12;  // hash, then security id
inline constexpr uint32_t UlongsCollation = 0x13;        // a row of 32-bit keys
}  // namespace IndexRoot

// Index header, relative to where it starts (0x10 in a root, 0x18 in a block).
namespace IndexHeader {
inline constexpr size_t FirstEntry = 0x00;
inline constexpr size_t BytesInUse = 0x04;
inline constexpr size_t BytesAllocated = 0x08;
inline constexpr size_t Flags = 0x0C;
inline constexpr uint8_t FlagLarge = 0x01;  // root: has blocks; block: entries have children
inline constexpr uint32_t Size = 0x10;      // the flags byte and three reserved bytes end it
}  // namespace IndexHeader
static_assert(IndexRoot::HeaderSize == IndexRoot::Header + IndexHeader::Size);

// INDX block.
namespace IndexBlock {
inline constexpr size_t Signature = 0x00;
inline constexpr size_t UsaOffset = 0x04;
inline constexpr size_t UsaCount = 0x06;
inline constexpr size_t Lsn = 0x08;
inline constexpr size_t Vcn = 0x10;
inline constexpr size_t Header = 0x18;
inline constexpr uint32_t SignatureValue = 0x58444E49;  // "INDX"
inline constexpr uint16_t UsaOffsetValue = 0x28;
// Where the first entry of a block starts for a given update sequence count.
inline constexpr uint32_t EntriesOffset(uint32_t usaCount) {
    return static_cast<uint32_t>(RoundUp(UsaOffsetValue + 2ull * usaCount, 8));
}
inline constexpr uint32_t UsaCountFor(uint32_t blockSize) { return UpdateSequence::CountFor(blockSize); }
}  // namespace IndexBlock
static_assert(IndexBlock::Signature == UpdateSequence::Signature && IndexBlock::UsaOffset == UpdateSequence::Offset &&
              IndexBlock::UsaCount == UpdateSequence::Count);
static_assert(IndexBlock::UsaOffsetValue >= IndexBlock::Header + IndexHeader::Size,
              "the update sequence array follows the index header");

// Index entry.
namespace IndexEntry {
inline constexpr size_t Reference = 0x00;
inline constexpr size_t DataOffset = 0x00;  // view indexes: data in place of the reference
inline constexpr size_t DataLength = 0x02;
inline constexpr size_t Length = 0x08;
inline constexpr size_t KeyLength = 0x0A;
inline constexpr size_t Flags = 0x0C;
inline constexpr size_t Key = 0x10;  // a $FILE_NAME value
inline constexpr size_t NameLength = 0x50;
inline constexpr size_t NameSpace = 0x51;
inline constexpr size_t Name = 0x52;
inline constexpr uint16_t FlagHasChild = 0x1;
inline constexpr uint16_t FlagEnd = 0x2;
inline constexpr uint32_t SmallEndLength = 16;
inline constexpr uint32_t ChildEndLength = 24;
inline constexpr uint32_t LongestNameUnits = 255;
inline constexpr uint32_t LengthForName(size_t units) { return static_cast<uint32_t>(RoundUp(Name + 2 * units, 8)); }
inline constexpr uint32_t LongestLength = LengthForName(LongestNameUnits);  // 592
inline constexpr uint32_t ChildVcnSize = 8;  // the child VCN closes an entry that has one
}  // namespace IndexEntry

// An entry of $Extend\$Reparse's index $R, which lists every reparse point
// of the volume: its key is the tag and the file reference, compared as three
// 32-bit numbers (UlongsCollation); it carries no data.
namespace ReparseIndexEntry {
inline constexpr size_t KeyTag = IndexEntry::Key;
inline constexpr size_t KeyReference = IndexEntry::Key + 4;
inline constexpr uint16_t KeyLength = 12;
inline constexpr uint16_t DataOffset = IndexEntry::Key + KeyLength;  // where its (empty) data would start
inline constexpr uint32_t Length = 32;  // the key padded to 8 bytes
}  // namespace ReparseIndexEntry

// Writes the 0x20-byte root and index header.
void WriteRootHeader(const CByteWriter& out, uint32_t blockSize, uint8_t clustersPerBlock, uint32_t bytesInUse,
                     uint8_t flags);
// Writes one entry at `position` (bytes already zeroed); returns its length.
uint32_t WriteIndexEntry(const CByteWriter& out, size_t position, std::u16string_view name,
                         const SIndexEntryValue& value);
// Writes an end entry at `position`: a child VCN makes it the 24-byte form.
uint32_t WriteEndEntry(const CByteWriter& out, size_t position);
uint32_t WriteEndEntryWithChild(const CByteWriter& out, size_t position, uint64_t childVcn);
// Writes an INDX block header at the start of `block`.
void WriteBlockHeader(const CByteWriter& block, uint16_t usaCount, uint64_t vcn, uint32_t blockSize);

// The child VCN an entry ends with, if it has one.
std::optional<uint64_t> EntryChild(std::span<const uint8_t> entry);
// A copy of an entry (named or end) with its child VCN set, replaced or
// dropped; everything else it carries is kept as it was.
std::vector<uint8_t> EntryWithChild(std::span<const uint8_t> entry, std::optional<uint64_t> childVcn);
// Writes the name and the value's fields into a named entry in place, and
// tells whether any byte changed.
bool OverwriteIndexEntryValue(std::span<uint8_t> entry, const SIndexEntryValue& value);
// Checks that the entry at `position` of a node fits it and holds the fields
// its flags promise; returns its length. Raises
// "Corrupt index entry at offset %1: length %2" or the bounds failure.
// Inline: every entry of every block read passes here.
[[noreturn]] void ThrowCorruptIndexEntry(const char* field, size_t position, uint64_t value);
inline uint32_t CheckIndexEntry(const CByteReader& node, size_t position) {
    const CByteReader header = node.Sub(position, IndexEntry::Key);
    const uint32_t length = header.U16(IndexEntry::Length);
    const uint16_t flags = header.U16(IndexEntry::Flags);
    const bool isEnd = (flags & IndexEntry::FlagEnd) != 0;
    const uint32_t childBytes = (flags & IndexEntry::FlagHasChild) ? IndexEntry::ChildVcnSize : 0;
    // Anything shorter cannot hold the fields its flags promise, and a zero
    // length would never move a walk forward.
    const uint32_t shortest = (isEnd ? IndexEntry::SmallEndLength : IndexEntry::Name) + childBytes;
    if (length < shortest || length % 8 != 0) ThrowCorruptIndexEntry("length", position, length);
    const CByteReader entry = node.Sub(position, length);
    if (isEnd) return length;
    // The $FILE_NAME value's fixed part ends where the entry's name starts.
    constexpr uint32_t fixedKey = IndexEntry::Name - IndexEntry::Key;
    const uint32_t keyLength = entry.U16(IndexEntry::KeyLength);
    if (keyLength < fixedKey || keyLength > length - IndexEntry::Key - childBytes)
        ThrowCorruptIndexEntry("key length", position, keyLength);
    const uint32_t nameLength = entry.U8(IndexEntry::NameLength);
    if (fixedKey + 2 * nameLength > keyLength) ThrowCorruptIndexEntry("name length", position, nameLength);
    return length;
}

// One entry as read from a node: the end entry carries no name.
struct SReadIndexEntry {
    bool isEnd = false;
    uint32_t length = 0;
    std::u16string name;
};
// Reads the entry at `position` of a node; `value` is filled for a named entry.
// An entry too short to hold its fields, or running past the node, raises.
SReadIndexEntry ReadIndexEntry(const CByteReader& node, size_t position, SIndexEntryValue& value);

}  // namespace volcore
