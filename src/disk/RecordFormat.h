#pragma once
// Byte layouts of FILE records and attribute records, the attribute type codes
// and their definition table, and the value layouts the engine interprets.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "disk/Fixups.h"
#include "disk/MftRecBuffer.h"
#include "disk/RecordReader.h"
#include "disk/Types.h"

namespace volcore {

namespace AttrType {
inline constexpr uint32_t StandardInformation = 0x10;
inline constexpr uint32_t AttributeList = 0x20;
inline constexpr uint32_t FileName = 0x30;
inline constexpr uint32_t ObjectId = 0x40;
inline constexpr uint32_t SecurityDescriptor = 0x50;
inline constexpr uint32_t VolumeName = 0x60;
inline constexpr uint32_t VolumeInformation = 0x70;
inline constexpr uint32_t Data = 0x80;
inline constexpr uint32_t IndexRoot = 0x90;
inline constexpr uint32_t IndexAllocation = 0xA0;
inline constexpr uint32_t Bitmap = 0xB0;
inline constexpr uint32_t ReparsePoint = 0xC0;
inline constexpr uint32_t EaInformation = 0xD0;
inline constexpr uint32_t Ea = 0xE0;
inline constexpr uint32_t LoggedUtilityStream = 0x100;
inline constexpr uint32_t End = 0xFFFFFFFF;
}  // namespace AttrType

// FILE record header fields (offsets from the record start).
namespace FileRecord {
inline constexpr size_t Signature = 0;
inline constexpr size_t UsaOffset = 4;
inline constexpr size_t UsaCount = 6;
inline constexpr size_t Lsn = 8;
inline constexpr size_t SequenceNumber = 16;
inline constexpr size_t LinkCount = 18;
inline constexpr size_t FirstAttribute = 20;
inline constexpr size_t Flags = 22;
inline constexpr size_t BytesInUse = 24;
inline constexpr size_t BytesAllocated = 28;
inline constexpr size_t BaseReference = 32;
inline constexpr size_t NextInstance = 40;
inline constexpr size_t RecordNumber = 44;
inline constexpr size_t HeaderSize = 48;
inline constexpr uint32_t SignatureValue = 0x454C4946;  // "FILE"
inline constexpr uint16_t FlagInUse = 0x0001;
inline constexpr uint16_t FlagDirectory = 0x0002;
inline constexpr uint16_t FlagExtendMember = 0x0004;  // a system file under $Extend
inline constexpr uint16_t FlagViewIndex = 0x0008;     // holds an index of something other than names
inline constexpr uint32_t EndMarkerSize = 8;          // the end type code and four zero bytes
}  // namespace FileRecord
static_assert(FileRecord::Signature == UpdateSequence::Signature && FileRecord::UsaOffset == UpdateSequence::Offset &&
              FileRecord::UsaCount == UpdateSequence::Count);

// Attribute record header fields (offsets from the attribute record start).
namespace AttrRecord {
inline constexpr size_t Type = 0;
inline constexpr size_t Length = 4;
inline constexpr size_t NonResident = 8;
inline constexpr size_t NameLength = 9;
inline constexpr size_t NameOffset = 10;
inline constexpr size_t Flags = 12;
inline constexpr size_t Instance = 14;
inline constexpr size_t LongestNameUnits = 255;  // the name length is one byte
// Resident part.
inline constexpr size_t ValueLength = 16;
inline constexpr size_t ValueOffset = 20;
inline constexpr size_t IndexedFlag = 22;
inline constexpr size_t ResidentHeaderSize = 24;
// Non-resident part.
inline constexpr size_t LowestVcn = 16;
inline constexpr size_t HighestVcn = 24;
inline constexpr size_t MappingPairsOffset = 32;
inline constexpr size_t CompressionUnit = 34;
inline constexpr size_t AllocatedSize = 40;
inline constexpr size_t DataSize = 48;
inline constexpr size_t InitializedSize = 56;
inline constexpr size_t NonResidentHeaderSize = 64;
// Compressed and sparse attributes add the bytes actually allocated.
inline constexpr size_t CompressedSize = 64;
inline constexpr size_t CompressedHeaderSize = 72;
inline constexpr uint16_t FlagCompressedMask = 0x00FF;
inline constexpr uint16_t FlagCompressedLznt1 = 0x0001;  // the only compression method NTFS defines
inline constexpr uint16_t FlagEncrypted = 0x4000;
inline constexpr uint16_t FlagSparse = 0x8000;
}  // namespace AttrRecord

// $STANDARD_INFORMATION value fields; the engine reads and writes the first 72 bytes.
namespace StdInfo {
inline constexpr size_t CreationTime = 0;
inline constexpr size_t ModificationTime = 8;
inline constexpr size_t MftChangeTime = 16;
inline constexpr size_t AccessTime = 24;
inline constexpr size_t FileAttributes = 32;
inline constexpr size_t OwnerId = 48;
inline constexpr size_t SecurityId = 52;
inline constexpr size_t Size = 72;
inline constexpr size_t ShortSize = 48;  // the older short form
}  // namespace StdInfo

// $FILE_NAME value fields (also the key of a directory index entry).
namespace FileNameValue {
inline constexpr size_t ParentReference = 0;
inline constexpr size_t CreationTime = 8;
inline constexpr size_t ModificationTime = 16;
inline constexpr size_t MftChangeTime = 24;
inline constexpr size_t AccessTime = 32;
inline constexpr size_t AllocatedSize = 40;
inline constexpr size_t DataSize = 48;
inline constexpr size_t FileAttributes = 56;
inline constexpr size_t EaSizeOrReparseTag = 60;
inline constexpr size_t NameLength = 64;
inline constexpr size_t NameSpace = 65;
inline constexpr size_t Name = 66;
inline constexpr uint8_t NameSpacePosix = 0;
inline constexpr uint8_t NameSpaceWin32 = 1;
inline constexpr uint8_t NameSpaceDos = 2;
inline constexpr uint8_t NameSpaceWin32AndDos = 3;
}  // namespace FileNameValue

// $ATTRIBUTE_LIST entry fields.
namespace AttrListEntry {
inline constexpr size_t Type = 0;
inline constexpr size_t Length = 4;
inline constexpr size_t NameLength = 6;
inline constexpr size_t NameOffset = 7;
inline constexpr size_t LowestVcn = 8;
inline constexpr size_t Reference = 16;
inline constexpr size_t Instance = 24;
inline constexpr size_t Name = 26;
inline constexpr uint32_t LengthForName(size_t units) { return static_cast<uint32_t>(RoundUp(Name + 2 * units, 8)); }
}  // namespace AttrListEntry

// $REPARSE_POINT value fields.
namespace ReparseValue {
inline constexpr size_t Tag = 0;
inline constexpr size_t DataLength = 4;
inline constexpr size_t Data = 8;  // a Microsoft tag's data follows the 8-byte header
inline constexpr uint32_t TagSymlink = 0xA000000C;
inline constexpr uint32_t TagMountPoint = 0xA0000003;  // a junction
}  // namespace ReparseValue

// The data of a symbolic link's or a junction's reparse point, from
// ReparseValue::Data on: where its two names lie in the path buffer (offsets
// relative to the buffer, lengths in bytes), then, for a symbolic link only,
// its flags.
namespace LinkReparse {
inline constexpr size_t SubstituteOffset = 0;
inline constexpr size_t SubstituteLength = 2;
inline constexpr size_t PrintOffset = 4;
inline constexpr size_t PrintLength = 6;
inline constexpr size_t SymlinkFlags = 8;
inline constexpr size_t SymlinkPathBuffer = 12;
inline constexpr size_t JunctionPathBuffer = 8;
inline constexpr uint32_t FlagRelative = 0x1;
// Reparse data is at most 16 KiB, the largest value Windows stores.
inline constexpr size_t LargestData = 16384 - ReparseValue::Data;
}  // namespace LinkReparse

// A symbolic link as Interix (and libntfs-3g by default) keeps it: a file
// with the system attribute whose data is this magic, then the target in
// UTF-16 without a terminator.
namespace InterixLink {
inline constexpr uint8_t Magic[8] = {'I', 'n', 't', 'x', 'L', 'N', 'K', 1};
inline constexpr size_t Target = 8;
inline constexpr uint64_t LargestSize = Target + 2 * 4096;  // a longer one is taken as ordinary data
}  // namespace InterixLink

inline constexpr uint32_t kFileAttributeHidden = 0x2;
inline constexpr uint32_t kFileAttributeSystem = 0x4;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;  // reported for directories, not stored
inline constexpr uint32_t kFileAttributeArchive = 0x20;
inline constexpr uint32_t kFileAttributeReparsePoint = 0x400;
inline constexpr uint32_t kFileAttributeSparse = 0x200;
inline constexpr uint32_t kFileAttributeCompressed = 0x800;
inline constexpr uint32_t kFileAttributeDirectoryIndex = 0x10000000;  // "has a file name index"
inline constexpr uint32_t kFileAttributeViewIndex = 0x20000000;       // has an index of something else
inline constexpr uint32_t kFileAttributeNormal = 0x80;

// $VOLUME_INFORMATION value.
namespace VolumeInformation {
inline constexpr size_t MajorVersion = 8;
inline constexpr size_t MinorVersion = 9;
inline constexpr size_t Flags = 10;
inline constexpr size_t Size = 12;
inline constexpr uint16_t FlagDirty = 0x0001;
}  // namespace VolumeInformation

// $UpCase:$Info, the stream that identifies the upcase table.
namespace UpCaseInfo {
inline constexpr size_t Length = 0;
inline constexpr size_t Crc64 = 8;
inline constexpr size_t Size = 32;
}  // namespace UpCaseInfo

// One entry of $AttrDef.
namespace AttrDefEntry {
inline constexpr size_t Name = 0;  // up to 64 UTF-16 units, zero-padded
inline constexpr size_t Type = 128;
inline constexpr size_t DisplayRule = 132;
inline constexpr size_t CollationRule = 136;
inline constexpr size_t Flags = 140;
inline constexpr size_t MinimumSize = 144;
inline constexpr size_t MaximumSize = 152;
inline constexpr size_t Size = 160;
inline constexpr uint32_t FlagIndexable = 0x02;
inline constexpr uint32_t FlagResidentOnly = 0x40;
inline constexpr uint32_t FlagAlwaysLogged = 0x80;
}  // namespace AttrDefEntry

// (type, name) under which a file entry holds one attribute. `occurrence`
// numbers further records of the same type and name in one entry (a long and
// a DOS $FILE_NAME, hard links), so that a save keeps all of them in their
// original order; lookups by (type, name) mean occurrence 0.
struct SAttributeKey {
    uint32_t type = 0;
    std::u16string name;
    uint32_t occurrence = 0;

    bool operator<(const SAttributeKey& other) const;
    bool operator==(const SAttributeKey& other) const = default;
};

// One attribute record inside a loaded record buffer.
struct SAttributeLocation {
    MftRecBufferPtr buffer;
    uint32_t offset = 0;

    CByteReader Record() const;  // the attribute record's bytes (bounded by its length)
    // Its header fields; raises CException when they break the record's bounds.
    SAttributeHeader Header() const;
    bool IsNonResident() const;
    uint64_t LowestVcn() const;  // 0 for a resident record
};

// The occurrences of one key found while loading, in extent order.
using AttributeLocations = std::vector<SAttributeLocation>;
using ParseMap = std::map<SAttributeKey, AttributeLocations>;

// Raises the error for a damaged attribute record, one text per fault.
[[noreturn]] void RefuseAttributeRecord(EAttributeFault fault, const SAttributeHeader& header);

// Non-resident records of one (type, name) are the extents of one attribute:
// one that finds an occurrence holding non-resident extents joins it, in
// lowest VCN order (a second extent with the same lowest VCN is dropped: the
// first one read wins), and the result is true; false leaves `location` to
// start an occurrence of its own.
bool JoinExtent(AttributeLocations& extents, const SAttributeLocation& location);

// Walks the attribute records of one record buffer (base or extension) into
// `parsed`, grouping extents of one attribute and numbering same-key resident
// occurrences. Raises CException at the first damaged attribute record.
void ParseAttributeRecords(const MftRecBufferPtr& buffer, ParseMap& parsed);

// Writes the header of a fresh record over the zeroed bytes of `record`: no
// attributes yet (bytes in use end at the first attribute).
void WriteRecordHeader(const CByteWriter& record, uint64_t recordNumber, uint16_t sequence,
                       FileReference baseReference, uint16_t flags, uint16_t linkCount);

// A fresh, zero-filled record of `recordSize` bytes with its header filled in.
MftRecBufferPtr BuildRecordHeader(uint32_t recordSize, FileReference reference, FileReference baseReference,
                                  uint16_t flags, uint16_t linkCount);

// The sequence number a fresh header gets for a record number.
uint16_t FreshSequenceNumber(uint64_t recordNumber);

// First-attribute offset of a fresh header: 48 + 2 x usa count, rounded to 8.
uint32_t FirstAttributeOffset(uint32_t recordSize);

// One entry of the attribute definition table ($AttrDef).
struct SAttrDef {
    const char16_t* name;
    uint32_t type;
    uint32_t flags;
    uint64_t minSize;
    uint64_t maxSize;  // ~0 for no limit
};
const std::vector<SAttrDef>& AttributeDefinitions();
// Whether the definition table lets attributes of this type live outside
// their record; unknown types stay where they are.
bool MayBeNonResident(uint32_t type);
// The 2560-byte $AttrDef content: 15 definitions and an all-zero entry.
std::vector<uint8_t> BuildAttrDefTable();

}  // namespace volcore
