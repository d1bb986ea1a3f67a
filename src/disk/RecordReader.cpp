#include "disk/RecordReader.h"

#include "disk/RecordFormat.h"

namespace volcore {
namespace {

constexpr uint16_t kOldHeaderWithoutNumber = 0x2A;  // where NTFS 3.0 and older put the update sequence

std::optional<EAttributeFault> LengthFault(uint32_t length, size_t room) {
    if (length == 0) return EAttributeFault::EmptyLength;
    if (length > room) return EAttributeFault::PastLimit;
    if (length < AttrRecord::ResidentHeaderSize) return EAttributeFault::ShortLength;
    if (length % 8 != 0) return EAttributeFault::UnalignedLength;
    return std::nullopt;
}

void ReadCommon(const CByteReader& record, SAttributeHeader& header) {
    header.nameLength = record.U8(AttrRecord::NameLength);
    header.nameOffset = record.U16(AttrRecord::NameOffset);
    header.flags = record.U16(AttrRecord::Flags);
    header.instance = record.U16(AttrRecord::Instance);
}

std::optional<EAttributeFault> ReadNonResident(const CByteReader& record, SAttributeHeader& header) {
    if (header.length < AttrRecord::NonResidentHeaderSize) {
        if (header.length >= AttrRecord::MappingPairsOffset + 2)
            header.pairsOffset = record.U16(AttrRecord::MappingPairsOffset);
        return EAttributeFault::HeaderCut;
    }
    header.pairsOffset = record.U16(AttrRecord::MappingPairsOffset);
    if (header.pairsOffset < AttrRecord::NonResidentHeaderSize || header.pairsOffset >= header.length)
        return EAttributeFault::PairsOutside;
    header.lowestVcn = record.U64(AttrRecord::LowestVcn);
    header.highestVcn = record.U64(AttrRecord::HighestVcn);
    header.compressionUnit = record.U16(AttrRecord::CompressionUnit);
    header.allocatedSize = record.U64(AttrRecord::AllocatedSize);
    header.dataSize = record.U64(AttrRecord::DataSize);
    header.initializedSize = record.U64(AttrRecord::InitializedSize);
    if (header.IsCompressedForm() && header.pairsOffset >= AttrRecord::CompressedHeaderSize)
        header.compressedSize = record.U64(AttrRecord::CompressedSize);
    return std::nullopt;
}

std::optional<EAttributeFault> ReadResident(const CByteReader& record, SAttributeHeader& header) {
    header.valueLength = record.U32(AttrRecord::ValueLength);
    header.valueOffset = record.U16(AttrRecord::ValueOffset);
    if (uint64_t{header.valueOffset} + header.valueLength > header.length) return EAttributeFault::ValueOutside;
    return std::nullopt;
}

}  // namespace

std::optional<EAttributeFault> ReadAttributeHeader(const CByteReader& record, SAttributeHeader& header,
                                                   EHeaderName name) {
    header.type = record.U32(AttrRecord::Type);
    header.length = static_cast<uint32_t>(record.Size());
    ReadCommon(record, header);
    uint8_t nonResident = record.U8(AttrRecord::NonResident);
    if (nonResident > 1) return EAttributeFault::ResidentFlag;
    header.nonResident = nonResident != 0;
    if (header.nameOffset + 2ull * header.nameLength > header.length) return EAttributeFault::NameOutside;
    if (name == EHeaderName::Copy) header.name = record.Utf16(header.nameOffset, header.nameLength);
    return header.nonResident ? ReadNonResident(record, header) : ReadResident(record, header);
}

bool SFileRecordHeader::IsFileRecord() const { return signature == FileRecord::SignatureValue; }

bool SFileRecordHeader::IsInUse() const { return IsFileRecord() && (flags & FileRecord::FlagInUse) != 0; }

bool SFileRecordHeader::CarriesRecordNumber() const { return usaOffset > kOldHeaderWithoutNumber; }

SFileRecordHeader ReadFileRecordHeader(std::span<const uint8_t> bytes) {
    CByteReader record(bytes);
    SFileRecordHeader header;
    header.signature = record.U32(FileRecord::Signature);
    header.usaOffset = record.U16(FileRecord::UsaOffset);
    header.usaCount = record.U16(FileRecord::UsaCount);
    header.sequence = record.U16(FileRecord::SequenceNumber);
    header.linkCount = record.U16(FileRecord::LinkCount);
    header.firstAttribute = record.U16(FileRecord::FirstAttribute);
    header.flags = record.U16(FileRecord::Flags);
    header.bytesInUse = record.U32(FileRecord::BytesInUse);
    header.bytesAllocated = record.U32(FileRecord::BytesAllocated);
    header.baseReference = record.U64(FileRecord::BaseReference);
    header.nextInstance = record.U16(FileRecord::NextInstance);
    header.recordNumber = record.U32(FileRecord::RecordNumber);
    return header;
}

bool SAttributeHeader::IsCompressedForm() const { return volcore::IsCompressedForm(flags); }

bool IsCompressedForm(uint16_t flags) {
    return (flags & (AttrRecord::FlagCompressedMask | AttrRecord::FlagSparse)) != 0;
}

bool EndsWalk(EAttributeFault fault) {
    return fault == EAttributeFault::EmptyLength || fault == EAttributeFault::PastLimit ||
           fault == EAttributeFault::ShortLength || fault == EAttributeFault::UnalignedLength;
}

void WalkAttributeRecords(const CByteReader& record, size_t first, size_t limit, IAttributeVisitor& visitor,
                          EHeaderName names) {
    if (limit > record.Size()) limit = record.Size();
    // Every step advances by a length checked to be non-zero and inside the
    // limit, so the walk ends.
    for (size_t position = first;;) {
        if (position >= limit) return visitor.NoEndMarker();
        SAttributeHeader header;
        header.offset = position;
        header.type = record.U32(position + AttrRecord::Type);
        if (header.type == AttrType::End) return;
        header.length = record.U32(position + AttrRecord::Length);
        if (auto fault = LengthFault(header.length, limit - position)) return visitor.Fault(*fault, header);
        CByteReader attribute = record.Sub(position, header.length);
        if (auto fault = ReadAttributeHeader(attribute, header, names))
            visitor.Fault(*fault, header);
        else
            visitor.Attribute(header, attribute);
        position += header.length;
    }
}

EListEntryFault ReadAttributeListEntry(const CByteReader& list, size_t position, SAttributeListEntry& entry) {
    constexpr size_t kSmallestEntry = AttrListEntry::Instance + 2;
    const size_t room = list.Size() - position;
    entry.length = room >= kSmallestEntry ? list.U16(position + AttrListEntry::Length) : 0;
    if (entry.length < kSmallestEntry || entry.length > room) return EListEntryFault::Length;
    CByteReader bytes = list.Sub(position, entry.length);
    const uint8_t nameOffset = bytes.U8(AttrListEntry::NameOffset), nameLength = bytes.U8(AttrListEntry::NameLength);
    if (nameOffset + 2ull * nameLength > entry.length) return EListEntryFault::NameOutside;
    entry.type = bytes.U32(AttrListEntry::Type);
    entry.name = bytes.Utf16(nameOffset, nameLength);
    entry.lowestVcn = bytes.U64(AttrListEntry::LowestVcn);
    entry.reference = bytes.U64(AttrListEntry::Reference);
    entry.instance = bytes.U16(AttrListEntry::Instance);
    return EListEntryFault::None;
}

}  // namespace volcore
