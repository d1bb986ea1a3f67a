#pragma once
// The one reader of FILE records: the header fields, and the walk over the
// attribute records with every offset and length checked against the record
// before a field behind it is read. The engine and the checker both read
// records through it; what each does with a damaged attribute record (stop
// at the first, or note it and go on) is the visitor's choice.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/Bytes.h"
#include "disk/Types.h"

namespace volcore {

struct SFileRecordHeader {
    uint32_t signature = 0;
    uint16_t usaOffset = 0;
    uint16_t usaCount = 0;
    uint16_t sequence = 0;
    uint16_t linkCount = 0;
    uint16_t firstAttribute = 0;
    uint16_t flags = 0;
    uint32_t bytesInUse = 0;
    uint32_t bytesAllocated = 0;
    FileReference baseReference = 0;
    uint16_t nextInstance = 0;
    uint32_t recordNumber = 0;

    bool IsFileRecord() const;
    bool IsInUse() const;  // a FILE record with the in-use flag
    bool IsBase() const { return baseReference == 0; }
    // Where the update sequence array ends: no attribute may start before.
    uint32_t UsaEnd() const { return usaOffset + 2u * usaCount; }
    // Records of NTFS 3.0 and older end their header before the record number.
    bool CarriesRecordNumber() const;
};

// Reads the header fields of a FILE record; `record` spans the whole record.
SFileRecordHeader ReadFileRecordHeader(std::span<const uint8_t> record);

// One attribute record's header fields, as far as the walk read them: type,
// length and the common fields always; the name once it is known to lie
// inside; the resident or non-resident part once that is.
struct SAttributeHeader {
    size_t offset = 0;  // of the attribute record in its FILE record
    uint32_t type = 0;
    uint32_t length = 0;
    bool nonResident = false;
    uint8_t nameLength = 0;
    uint16_t nameOffset = 0;
    std::u16string name;
    uint16_t flags = 0;
    uint16_t instance = 0;
    // Resident part.
    uint32_t valueLength = 0;
    uint16_t valueOffset = 0;
    // Non-resident part.
    uint64_t lowestVcn = 0;
    uint64_t highestVcn = 0;
    uint16_t pairsOffset = 0;
    uint16_t compressionUnit = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;
    std::optional<uint64_t> compressedSize;  // compressed and sparse data whose header has room for it

    bool IsCompressedForm() const;  // compressed or sparse
};

// Whether attribute flags make the compressed (or sparse) form.
bool IsCompressedForm(uint16_t flags);

// What can be wrong with one attribute record. The first four leave no way
// to the next record and end the walk; after the others the walk goes on.
enum class EAttributeFault {
    EmptyLength,
    PastLimit,       // the record runs past the walk's limit
    ShortLength,     // shorter than a resident header
    UnalignedLength, // not a multiple of 8
    ResidentFlag,    // the non-resident flag is neither 0 nor 1
    NameOutside,     // the name runs past the attribute record
    HeaderCut,       // a non-resident record shorter than its header
    PairsOutside,    // the mapping pairs start inside the header or past the record
    ValueOutside,    // the resident value runs past the attribute record
};
bool EndsWalk(EAttributeFault fault);

class IAttributeVisitor {
public:
    // An attribute record whose name, value or mapping pairs lie inside it;
    // `record` is bounded by its length.
    virtual void Attribute(const SAttributeHeader& header, const CByteReader& record) = 0;
    // A damaged one, with the fields read before the damage was found.
    virtual void Fault(EAttributeFault fault, const SAttributeHeader& header) = 0;
    // The limit came before an end marker.
    virtual void NoEndMarker() {}

protected:
    ~IAttributeVisitor() = default;
};

// Whether a header read copies the attribute's name out. Its bounds are
// checked either way; a walk that only notes where records lie skips the copy.
enum class EHeaderName { Copy, Skip };

// Reads the header of one attribute record; `record` is bounded by the
// length the walk checked. Returns what is wrong with it, if anything.
std::optional<EAttributeFault> ReadAttributeHeader(const CByteReader& record, SAttributeHeader& header,
                                                   EHeaderName name = EHeaderName::Copy);

// Walks the attribute records of a FILE record (fixups applied) from `first`
// to the end marker; no attribute record may reach past `limit` (the record
// size, or its bytes in use when the header is trusted).
void WalkAttributeRecords(const CByteReader& record, size_t first, size_t limit, IAttributeVisitor& visitor,
                          EHeaderName names = EHeaderName::Copy);

// One entry of an $ATTRIBUTE_LIST value: where one attribute record of a
// file lives.
struct SAttributeListEntry {
    uint32_t type = 0;
    uint16_t length = 0;
    std::u16string name;
    uint64_t lowestVcn = 0;
    FileReference reference = 0;
    uint16_t instance = 0;
};

enum class EListEntryFault {
    None,
    Length,       // too short for an entry, or past the list's end (`length` is 0 when no length fits)
    NameOutside,  // the name runs past the entry
};

// Reads the entry at `position` of a list value (position < the list's size).
EListEntryFault ReadAttributeListEntry(const CByteReader& list, size_t position, SAttributeListEntry& entry);

}  // namespace volcore
