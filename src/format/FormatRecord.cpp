#include "format/FormatRecord.h"

#include <algorithm>

#include "base/Exception.h"
#include "disk/RecordFormat.h"
#include "disk/Runlist.h"

namespace volcore::format {
namespace {

size_t NameBytes(const SAttribute& attribute) { return RoundUp(attribute.name.size() * 2, 8); }

size_t WriteCommonHeader(const CByteWriter& out, const SAttribute& attribute, uint16_t instance) {
    size_t headerSize = attribute.nonResident ? AttrRecord::NonResidentHeaderSize : AttrRecord::ResidentHeaderSize;
    if (attribute.name.size() > AttrRecord::LongestNameUnits)
        throw CException(EErrorKind::Argument, "Attribute name of %1 units is too long", attribute.name.size());
    out.U32(AttrRecord::Type, attribute.type);
    out.U8(AttrRecord::NonResident, attribute.nonResident ? 1 : 0);
    out.U8(AttrRecord::NameLength, static_cast<uint8_t>(attribute.name.size()));
    out.U16(AttrRecord::NameOffset, static_cast<uint16_t>(headerSize));
    out.U16(AttrRecord::Flags, 0);
    out.U16(AttrRecord::Instance, instance);
    out.Utf16(headerSize, attribute.name);
    return headerSize + NameBytes(attribute);
}

size_t WriteResident(const CByteWriter& out, const SAttribute& attribute, uint16_t instance) {
    size_t valueOffset = WriteCommonHeader(out, attribute, instance);
    out.U32(AttrRecord::ValueLength, static_cast<uint32_t>(attribute.value.size()));
    out.U16(AttrRecord::ValueOffset, static_cast<uint16_t>(valueOffset));
    out.U8(AttrRecord::IndexedFlag, attribute.type == AttrType::FileName ? 1 : 0);
    out.CopyFrom(valueOffset, attribute.value.data(), attribute.value.size());
    size_t valueEnd = valueOffset + attribute.value.size(), length = RoundUp(valueEnd, 8);
    out.Fill(valueEnd, 0, length - valueEnd);  // raises when the padding does not fit either
    out.U32(AttrRecord::Length, static_cast<uint32_t>(length));
    return length;
}

size_t WriteNonResident(const CByteWriter& out, const SAttribute& attribute, uint16_t instance,
                        uint32_t clusterSize) {
    size_t pairsOffset = WriteCommonHeader(out, attribute, instance);
    uint64_t clusters = RunClusters(attribute.runs);
    out.U64(AttrRecord::LowestVcn, 0);
    out.U64(AttrRecord::HighestVcn, clusters == 0 ? 0 : clusters - 1);
    out.U16(AttrRecord::MappingPairsOffset, static_cast<uint16_t>(pairsOffset));
    out.U64(AttrRecord::AllocatedSize, clusters * clusterSize);
    out.U64(AttrRecord::DataSize, attribute.dataSize);
    out.U64(AttrRecord::InitializedSize, attribute.initializedSize);
    return EncodeMappingPairs(attribute.runs, out, static_cast<uint32_t>(pairsOffset));
}

bool SortsBefore(const SAttribute& a, const SAttribute& b) {
    if (a.type != b.type) return a.type < b.type;
    return a.name < b.name;
}

}  // namespace

uint64_t RunClusters(const RunMap& runs) {
    uint64_t total = 0;
    for (const auto& [vcn, run] : runs) total += run.length;
    return total;
}

SAttribute SAttribute::Resident(uint32_t type, std::vector<uint8_t> value, std::u16string name) {
    SAttribute attribute;
    attribute.type = type;
    attribute.name = std::move(name);
    attribute.value = std::move(value);
    return attribute;
}

SAttribute SAttribute::NonResident(uint32_t type, RunMap runs, uint64_t dataSize, std::u16string name) {
    SAttribute attribute;
    attribute.type = type;
    attribute.name = std::move(name);
    attribute.nonResident = true;
    attribute.runs = std::move(runs);
    attribute.dataSize = dataSize;
    attribute.initializedSize = dataSize;
    return attribute;
}

void WriteFileRecord(const CByteWriter& record, const SRecordHeader& header, std::vector<SAttribute> attributes,
                     uint32_t clusterSize) {
    std::stable_sort(attributes.begin(), attributes.end(), SortsBefore);
    record.Fill(0, 0, record.Size());
    WriteRecordHeader(record, header.number, header.sequence, 0, header.flags, header.linkCount);
    size_t position = FirstAttributeOffset(static_cast<uint32_t>(record.Size()));
    uint16_t instance = 0;
    for (const SAttribute& attribute : attributes) {
        // The end marker must still fit after this attribute.
        size_t room = record.Size() - position;
        if (room < FileRecord::EndMarkerSize)
            throw CException(EErrorKind::Argument, "Attributes overflow MFT record %1", header.number);
        CByteWriter out = record.Sub(position, room - FileRecord::EndMarkerSize);
        position += attribute.nonResident ? WriteNonResident(out, attribute, instance, clusterSize)
                                          : WriteResident(out, attribute, instance);
        ++instance;
    }
    record.U32(position, AttrType::End);
    record.U32(FileRecord::BytesInUse, static_cast<uint32_t>(position + FileRecord::EndMarkerSize));
    record.U16(FileRecord::NextInstance, instance);
}

}  // namespace volcore::format
