#include "format/FormatRecord.h"

#include <algorithm>

#include "base/Exception.h"
#include "disk/RecordFormat.h"
#include "disk/RecordWriter.h"
#include "disk/Runlist.h"

namespace volcore::format {
namespace {

SAttributeHeader HeaderOf(const SAttribute& attribute, uint16_t instance) {
    if (attribute.name.size() > AttrRecord::LongestNameUnits)
        throw CException(EErrorKind::Argument, "Attribute name of %1 units is too long", attribute.name.size());
    SAttributeHeader header;
    header.type = attribute.type;
    header.name = attribute.name;
    header.nonResident = attribute.nonResident;
    header.instance = instance;
    return header;
}

size_t WriteNonResident(const CByteWriter& out, const SAttribute& attribute, uint16_t instance,
                        uint32_t clusterSize) {
    SAttributeHeader header = HeaderOf(attribute, instance);
    const uint64_t clusters = RunClusters(attribute.runs);
    header.highestVcn = clusters == 0 ? 0 : clusters - 1;
    header.allocatedSize = clusters * clusterSize;
    header.dataSize = attribute.dataSize;
    header.initializedSize = attribute.initializedSize;
    return EncodeMappingPairs(attribute.runs, out, WriteNonResidentHeader(out, header));
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
                                          : WriteResidentRecord(out, HeaderOf(attribute, instance), attribute.value);
        ++instance;
    }
    record.U32(position, AttrType::End);
    record.U32(FileRecord::BytesInUse, static_cast<uint32_t>(position + FileRecord::EndMarkerSize));
    record.U16(FileRecord::NextInstance, instance);
}

}  // namespace volcore::format
