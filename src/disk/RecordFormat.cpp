#include "disk/RecordFormat.h"

#include "base/Exception.h"
#include "base/NumericCast.h"

namespace volcore {

bool SAttributeKey::operator<(const SAttributeKey& other) const {
    if (type != other.type) return type < other.type;
    // char16_t is unsigned, so this compares code units as unsigned 16-bit
    // values; one pass over the names, not one for != and another for <.
    if (int order = name.compare(other.name); order != 0) return order < 0;
    return occurrence < other.occurrence;
}

// The engine's error for a damaged attribute record: it reads no further.
[[noreturn]] void RefuseAttributeRecord(EAttributeFault fault, const SAttributeHeader& header) {
    const size_t at = header.offset;
    const uint32_t type = header.type;
    switch (fault) {
    case EAttributeFault::EmptyLength:
        throw CException(EErrorKind::Corrupt, "Attribute length cannot be empty. Offset: %1, type: ", at);
    case EAttributeFault::PastLimit:
        throw CException(EErrorKind::Corrupt,
                         "Attribute record at offset %1 (type %2) runs past the record: length %3", at, type,
                         header.length);
    case EAttributeFault::ShortLength:
    case EAttributeFault::HeaderCut:
        throw CException(EErrorKind::Corrupt, "Attribute record at offset %1 (type %2) is too short: length %3", at,
                         type, header.length);
    case EAttributeFault::UnalignedLength:
        throw CException(EErrorKind::Corrupt,
                         "Attribute record at offset %1 (type %2) has length %3, not a multiple of 8", at, type,
                         header.length);
    case EAttributeFault::ResidentFlag:
        throw CException(EErrorKind::Corrupt, "Attribute record at offset %1 (type %2) has an unknown form", at,
                         type);
    case EAttributeFault::NameOutside:
        throw CException(EErrorKind::Corrupt, "Attribute name at offset %1 (type %2) runs past its record", at, type);
    case EAttributeFault::PairsOutside:
        throw CException(EErrorKind::Corrupt, "Mapping pairs of attribute at offset %1 (type %2) lie past its record",
                         at, type);
    case EAttributeFault::ValueOutside:
        throw CException(EErrorKind::Corrupt,
                         "Resident value of attribute at offset %1 (type %2) runs past its record", at, type);
    }
    throw CException(EErrorKind::Corrupt, "Attribute record at offset %1 (type %2) is damaged", at, type);
}

bool JoinExtent(AttributeLocations& extents, const SAttributeLocation& location) {
    if (extents.empty() || !extents.front().IsNonResident()) return false;
    uint64_t vcn = location.LowestVcn();
    auto position = extents.begin();
    while (position != extents.end() && position->LowestVcn() < vcn) ++position;
    if (position == extents.end() || position->LowestVcn() != vcn) extents.insert(position, location);
    return true;
}

namespace {

// The next free occurrence number for (type, name), and where it goes in the map.
uint32_t NextOccurrence(const ParseMap& parsed, const SAttributeKey& key, ParseMap::const_iterator& position) {
    uint32_t next = 0;
    for (position = parsed.lower_bound(key);
         position != parsed.end() && position->first.type == key.type && position->first.name == key.name; ++position)
        next = position->first.occurrence + 1;
    return next;
}

bool AddExtent(ParseMap& parsed, const SAttributeKey& key, const SAttributeLocation& location) {
    for (auto it = parsed.lower_bound(key);
         it != parsed.end() && it->first.type == key.type && it->first.name == key.name; ++it)
        if (JoinExtent(it->second, location)) return true;
    return false;
}

void RecordLocation(ParseMap& parsed, SAttributeKey key, const SAttributeLocation& location) {
    if (location.IsNonResident() && AddExtent(parsed, key, location)) return;
    ParseMap::const_iterator position;
    key.occurrence = NextOccurrence(parsed, key, position);
    parsed.emplace_hint(position, std::move(key), AttributeLocations{location});
}

// Collects the attribute records of one buffer, refusing the first damaged one.
class CLocationCollector final : public IAttributeVisitor {
public:
    CLocationCollector(const MftRecBufferPtr& buffer, ParseMap& parsed) : m_buffer(buffer), m_parsed(parsed) {}

    void Attribute(const SAttributeHeader& header, const CByteReader&) override {
        RecordLocation(m_parsed, SAttributeKey{header.type, header.name, 0},
                       SAttributeLocation{m_buffer, static_cast<uint32_t>(header.offset)});
    }
    void Fault(EAttributeFault fault, const SAttributeHeader& header) override { RefuseAttributeRecord(fault, header); }

private:
    const MftRecBufferPtr& m_buffer;
    ParseMap& m_parsed;
};

}  // namespace

CByteReader SAttributeLocation::Record() const {
    CByteReader whole(buffer->bytes);
    uint32_t length = whole.U32(offset + AttrRecord::Length);
    return whole.Sub(offset, length);
}

SAttributeHeader SAttributeLocation::Header() const {
    SAttributeHeader header;
    if (auto fault = ReadAttributeHeader(Record(), header)) {
        header.offset = offset;
        RefuseAttributeRecord(*fault, header);
    }
    header.offset = offset;
    return header;
}

bool SAttributeLocation::IsNonResident() const {
    return CByteReader(buffer->bytes).U8(offset + AttrRecord::NonResident) != 0;
}

uint64_t SAttributeLocation::LowestVcn() const {
    return IsNonResident() ? Record().U64(AttrRecord::LowestVcn) : 0;
}

// A record may end at its last byte without an end marker; the walk then
// stops there.
void ParseAttributeRecords(const MftRecBufferPtr& buffer, ParseMap& parsed) {
    CByteReader bytes(buffer->bytes);
    CLocationCollector collector(buffer, parsed);
    WalkAttributeRecords(bytes, bytes.U16(FileRecord::FirstAttribute), bytes.Size(), collector);
}

uint16_t FreshSequenceNumber(uint64_t recordNumber) {
    // Records 1 to 15 carry their own number; record 0 wraps to a huge value here.
    return recordNumber - 1 <= 14 ? static_cast<uint16_t>(recordNumber) : 1;
}

uint32_t FirstAttributeOffset(uint32_t recordSize) {
    uint32_t usaCount = UpdateSequence::CountFor(recordSize);
    return static_cast<uint32_t>(RoundUp(FileRecord::HeaderSize + 2ull * usaCount, 8));
}

void WriteRecordHeader(const CByteWriter& record, uint64_t recordNumber, uint16_t sequence,
                       FileReference baseReference, uint16_t flags, uint16_t linkCount) {
    uint32_t recordSize = NumericCast<uint32_t>(record.Size());
    uint32_t firstAttribute = FirstAttributeOffset(recordSize);
    if (recordSize % UpdateSequence::Stride != 0 || firstAttribute + FileRecord::EndMarkerSize > recordSize)
        throw CException(EErrorKind::Corrupt, "Invalid MFT record size: %1", recordSize);
    uint32_t recordNumber32 = NumericCast<uint32_t>(recordNumber);
    record.U32(FileRecord::Signature, FileRecord::SignatureValue);
    record.U16(FileRecord::UsaOffset, FileRecord::HeaderSize);
    record.U16(FileRecord::UsaCount, static_cast<uint16_t>(UpdateSequence::CountFor(recordSize)));
    record.U16(FileRecord::SequenceNumber, sequence);
    record.U16(FileRecord::LinkCount, linkCount);
    record.U16(FileRecord::FirstAttribute, static_cast<uint16_t>(firstAttribute));
    record.U16(FileRecord::Flags, flags);
    record.U32(FileRecord::BytesInUse, firstAttribute);
    record.U32(FileRecord::BytesAllocated, recordSize);
    record.U64(FileRecord::BaseReference, baseReference);
    record.U32(FileRecord::RecordNumber, recordNumber32);
}

MftRecBufferPtr BuildRecordHeader(uint32_t recordSize, FileReference reference, FileReference baseReference,
                                  uint16_t flags, uint16_t linkCount) {
    if (recordSize % UpdateSequence::Stride != 0 || FirstAttributeOffset(recordSize) + FileRecord::EndMarkerSize > recordSize)
        throw CException(EErrorKind::Corrupt, "Invalid MFT record size: %1", recordSize);
    uint64_t recordNumber = RecordNumber(reference);
    auto buffer = CMftRecBuffer::Zeroed(recordSize);
    WriteRecordHeader(CByteWriter(buffer->bytes), recordNumber, FreshSequenceNumber(recordNumber), baseReference,
                      flags, linkCount);
    return buffer;
}

const std::vector<SAttrDef>& AttributeDefinitions() {
    constexpr uint64_t unlimited = ~uint64_t{0};
    static const std::vector<SAttrDef> definitions = {
        {u"$STANDARD_INFORMATION", AttrType::StandardInformation, AttrDefEntry::FlagResidentOnly, 48, 72},
        {u"$ATTRIBUTE_LIST", AttrType::AttributeList, AttrDefEntry::FlagAlwaysLogged, 0, unlimited},
        {u"$FILE_NAME", AttrType::FileName, AttrDefEntry::FlagResidentOnly | AttrDefEntry::FlagIndexable, 68, 578},
        {u"$OBJECT_ID", AttrType::ObjectId, AttrDefEntry::FlagResidentOnly, 0, 256},
        {u"$SECURITY_DESCRIPTOR", AttrType::SecurityDescriptor, AttrDefEntry::FlagAlwaysLogged, 0, unlimited},
        {u"$VOLUME_NAME", AttrType::VolumeName, AttrDefEntry::FlagResidentOnly, 2, 256},
        {u"$VOLUME_INFORMATION", AttrType::VolumeInformation, AttrDefEntry::FlagResidentOnly, 12, 12},
        {u"$DATA", AttrType::Data, 0, 0, unlimited},
        {u"$INDEX_ROOT", AttrType::IndexRoot, AttrDefEntry::FlagResidentOnly, 0, unlimited},
        {u"$INDEX_ALLOCATION", AttrType::IndexAllocation, AttrDefEntry::FlagAlwaysLogged, 0, unlimited},
        {u"$BITMAP", AttrType::Bitmap, AttrDefEntry::FlagAlwaysLogged, 0, unlimited},
        {u"$REPARSE_POINT", AttrType::ReparsePoint, AttrDefEntry::FlagAlwaysLogged, 0, 16384},
        {u"$EA_INFORMATION", AttrType::EaInformation, AttrDefEntry::FlagResidentOnly, 8, 8},
        {u"$EA", AttrType::Ea, 0, 0, 65536},
        {u"$LOGGED_UTILITY_STREAM", AttrType::LoggedUtilityStream, AttrDefEntry::FlagAlwaysLogged, 0, 65536},
    };
    return definitions;
}

bool MayBeNonResident(uint32_t type) {
    for (const SAttrDef& definition : AttributeDefinitions())
        if (definition.type == type) return (definition.flags & AttrDefEntry::FlagResidentOnly) == 0;
    return false;
}

std::vector<uint8_t> BuildAttrDefTable() {
    const auto& definitions = AttributeDefinitions();
    std::vector<uint8_t> table((definitions.size() + 1) * AttrDefEntry::Size, 0);  // the last entry stays zero
    CByteWriter writer(table);
    size_t position = 0;
    for (const SAttrDef& definition : definitions) {
        CByteWriter entry = writer.Sub(position, AttrDefEntry::Size);
        entry.Utf16(AttrDefEntry::Name, definition.name);
        entry.U32(AttrDefEntry::Type, definition.type);
        entry.U32(AttrDefEntry::Flags, definition.flags);
        entry.U64(AttrDefEntry::MinimumSize, definition.minSize);
        entry.U64(AttrDefEntry::MaximumSize, definition.maxSize);
        position += AttrDefEntry::Size;
    }
    return table;
}

}  // namespace volcore
