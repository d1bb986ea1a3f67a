#pragma once
// Byte layouts of the $INDEX_ROOT value, INDX blocks and file-name index
// entries, and the writers for the shapes this engine saves.
#include <cstdint>
#include <string>
#include <string_view>

#include "api/Bytes.h"

namespace volcore {

struct SIndexEntryValue;

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
}  // namespace IndexHeader

// INDX block.
namespace IndexBlock {
inline constexpr size_t Signature = 0x00;
inline constexpr size_t UsaOffset = 0x04;
inline constexpr size_t UsaCount = 0x06;
inline constexpr size_t Lsn = 0x08;
inline constexpr size_t Vcn = 0x10;
inline constexpr size_t Header = 0x18;
inline constexpr uint16_t UsaOffsetValue = 0x28;
// Where the first entry of a block starts for a given update sequence count.
inline constexpr uint32_t EntriesOffset(uint32_t usaCount) {
    return static_cast<uint32_t>(RoundUp(UsaOffsetValue + 2ull * usaCount, 8));
}
}  // namespace IndexBlock

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
}  // namespace IndexEntry

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
