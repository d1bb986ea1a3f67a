#include "check/RecordParser.h"

#include <set>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/RecordReader.h"
#include "disk/Runlist.h"

namespace volcore::check {
namespace {

const SAttrDef* Definition(uint32_t type) {
    for (const SAttrDef& definition : AttributeDefinitions())
        if (definition.type == type) return &definition;
    return nullptr;
}

// Takes a record apart through the shared walk, noting every problem and
// going on wherever the record's layout lets it.
class CRecordParser final : public IAttributeVisitor {
public:
    CRecordParser(std::span<const uint8_t> bytes, uint64_t number, const SGeometry& geometry)
        : m_bytes(bytes.data(), bytes.size()), m_geometry(geometry) {
        m_record.number = number;
    }

    SRecord Run() {
        if (ReadHeader()) WalkAttributeRecords(m_bytes, m_header.firstAttribute, m_header.bytesInUse, *this);
        return std::move(m_record);
    }

private:
    template <typename... Args>
    void Problem(ECode code, std::string_view format, const Args&... args) {
        std::string prefix = "Record " + std::to_string(m_record.number) + ": ";
        m_record.problems.push_back(SProblem{code, m_record.number, prefix + FormatText(format, args...)});
    }

    bool ReadHeader() {
        m_header = ReadFileRecordHeader({m_bytes.Data(), m_bytes.Size()});
        m_record.flags = m_header.flags;
        m_record.sequence = m_header.sequence;
        m_record.linkCount = m_header.linkCount;
        m_record.baseReference = m_header.baseReference;
        const uint32_t first = m_header.firstAttribute, inUse = m_header.bytesInUse;
        if (m_header.bytesAllocated != m_bytes.Size())
            Problem(ECode::Record, "allocated size %1 instead of the record size %2", m_header.bytesAllocated,
                    m_bytes.Size());
        if (inUse > m_bytes.Size() || inUse % 8 != 0) {
            Problem(ECode::Record, "bytes in use %1 do not fit the record", inUse);
            return false;
        }
        if (first < m_header.UsaEnd() || first % 8 != 0 || first >= inUse) {
            Problem(ECode::Record, "first attribute at offset %1 (update sequence ends at %2, bytes in use %3)",
                    first, m_header.UsaEnd(), inUse);
            return false;
        }
        if (m_header.CarriesRecordNumber() && m_header.recordNumber != static_cast<uint32_t>(m_record.number))
            Problem(ECode::Record, "header says record %1", m_header.recordNumber);
        return true;
    }

    void NoEndMarker() override { Problem(ECode::Record, "no end marker within the bytes in use"); }

    void Fault(EAttributeFault fault, const SAttributeHeader& header) override {
        if (EndsWalk(fault))
            return Problem(ECode::Attribute, "attribute record at offset %1 (type %2) has length %3", header.offset,
                           Hex(header.type), header.length);
        CheckOrder(header.type);
        if (fault == EAttributeFault::ResidentFlag || fault == EAttributeFault::NameOutside)
            return Problem(ECode::Attribute, "attribute record at offset %1 (type %2) is malformed", header.offset,
                           Hex(header.type));
        const std::string label = AttributeLabel(header.type, header.name);
        CheckDefinition(header, label);
        if (fault == EAttributeFault::ValueOutside)
            return Problem(ECode::Attribute, "value of attribute %1 (%2 bytes at offset %3) runs past its record",
                           label, header.valueLength, header.valueOffset);
        Problem(ECode::Attribute, "non-resident attribute %1 has mapping pairs at offset %2 of %3 bytes", label,
                header.pairsOffset, header.length);
    }

    void Attribute(const SAttributeHeader& header, const CByteReader& record) override {
        CheckOrder(header.type);
        const std::string label = AttributeLabel(header.type, header.name);
        const SAttrDef* definition = CheckDefinition(header, label);
        SAttribute attribute;
        attribute.type = header.type;
        attribute.name = header.name;
        attribute.flags = header.flags;
        attribute.instance = header.instance;
        attribute.nonResident = header.nonResident;
        if (header.nonResident)
            TakeNonResident(header, record, label, attribute);
        else
            TakeResident(header, record, label, definition, attribute);
        if (!m_instances.insert(attribute.instance).second || attribute.instance >= m_header.nextInstance)
            Problem(ECode::Attribute, "attribute %1 has instance %2 (taken, or not below %3)", label,
                    attribute.instance, m_header.nextInstance);
        m_record.attributes.push_back(std::move(attribute));
    }

    void CheckOrder(uint32_t type) {
        if (type < m_previousType)
            Problem(ECode::Attribute, "attribute type %1 follows type %2", Hex(type), Hex(m_previousType));
        m_previousType = type;
    }

    // The attribute against the definition table; returns its definition.
    const SAttrDef* CheckDefinition(const SAttributeHeader& header, const std::string& label) {
        const SAttrDef* definition = Definition(header.type);
        if (!definition) Problem(ECode::Attribute, "attribute %1 has an unknown type", label);
        if (header.nonResident && definition && (definition->flags & AttrDefEntry::FlagResidentOnly))
            Problem(ECode::Attribute, "attribute %1 must be resident", label);
        return definition;
    }

    void TakeResident(const SAttributeHeader& header, const CByteReader& record, const std::string& label,
                      const SAttrDef* definition, SAttribute& attribute) {
        const uint32_t valueLength = header.valueLength;
        attribute.value = record.Bytes(header.valueOffset, valueLength);
        // An empty volume label is stored as an empty value, below the table's minimum.
        bool emptyLabel = attribute.type == AttrType::VolumeName && valueLength == 0;
        if (definition && ((valueLength < definition->minSize && !emptyLabel) || valueLength > definition->maxSize))
            Problem(ECode::Attribute, "attribute %1 has a value of %2 bytes", label, valueLength);
        if (attribute.type == AttrType::FileName) CheckFileName(attribute);
    }

    void CheckFileName(const SAttribute& attribute) {
        CByteReader value(attribute.value);
        if (value.Size() < FileNameValue::Name) return;  // already reported by its size
        uint8_t units = value.U8(FileNameValue::NameLength);
        uint8_t nameSpace = value.U8(FileNameValue::NameSpace);
        if (units == 0 || FileNameValue::Name + 2u * units > value.Size() ||
            nameSpace > FileNameValue::NameSpaceWin32AndDos)
            Problem(ECode::Attribute, "$FILE_NAME is malformed (name of %1 units in %2 bytes, namespace %3)", units,
                    value.Size(), nameSpace);
    }

    void TakeNonResident(const SAttributeHeader& header, const CByteReader& record, const std::string& label,
                         SAttribute& attribute) {
        attribute.lowestVcn = header.lowestVcn;
        attribute.highestVcn = header.highestVcn;
        attribute.allocatedSize = header.allocatedSize;
        attribute.dataSize = header.dataSize;
        attribute.initializedSize = header.initializedSize;
        attribute.compressionUnit = header.compressionUnit;
        attribute.compressedSize = header.compressedSize;
        DecodeRuns(record, label, attribute);
        if (attribute.lowestVcn == 0) CheckSizes(label, attribute);
    }

    void DecodeRuns(const CByteReader& record, const std::string& label, SAttribute& attribute) {
        try {
            DecodeMappingPairs(record, attribute.runs);
        } catch (const CException& e) {
            attribute.runs.clear();
            return Problem(ECode::Runlist, "attribute %1: %2", label, e.what());
        }
        uint64_t end = attribute.lowestVcn;
        for (const auto& [vcn, run] : attribute.runs) {
            end = vcn.value + run.length;
            const uint64_t clusters = m_geometry.clusterCount;
            if (run.lcn != SparseLcn && (run.lcn >= clusters || run.length > clusters - run.lcn))
                return Problem(ECode::Runlist,
                               "attribute %1: run at VCN %2 (LCN %3, %4 clusters) lies beyond the volume (%5 clusters)",
                               label, vcn.value, run.lcn, run.length, clusters);
        }
        bool emptyFirst = attribute.runs.empty() && attribute.lowestVcn == 0 && attribute.highestVcn == 0;
        if (!emptyFirst && attribute.highestVcn + 1 != end)
            return Problem(ECode::Runlist, "attribute %1: highest VCN %2, but its runs end at VCN %3", label,
                           attribute.highestVcn, end);
        attribute.runsValid = true;
    }

    void CheckSizes(const std::string& label, const SAttribute& attribute) {
        if (attribute.allocatedSize % m_geometry.boot.clusterSize != 0 ||
            attribute.dataSize > attribute.allocatedSize || attribute.initializedSize > attribute.dataSize)
            Problem(ECode::Attribute, "attribute %1: allocated size %2, data size %3, initialized size %4", label,
                    attribute.allocatedSize, attribute.dataSize, attribute.initializedSize);
    }

    CByteReader m_bytes;
    const SGeometry& m_geometry;
    SRecord m_record;
    SFileRecordHeader m_header;
    uint32_t m_previousType = 0;
    std::set<uint16_t> m_instances;
};

}  // namespace

bool SRecord::IsDirectory() const { return (flags & FileRecord::FlagDirectory) != 0; }

const SAttribute* SRecord::Find(uint32_t type, std::u16string_view name) const {
    for (const SAttribute& attribute : attributes)
        if (attribute.type == type && attribute.name == name) return &attribute;
    return nullptr;
}

std::string AttributeLabel(uint32_t type, std::u16string_view name) {
    const SAttrDef* definition = Definition(type);
    std::string label = definition ? Utf16ToUtf8(definition->name) : "type " + Hex(type);
    if (!name.empty()) label += ":" + Utf16ToUtf8(name);
    return label;
}

SRecord ParseRecord(std::span<const uint8_t> bytes, uint64_t number, const SGeometry& geometry) {
    return CRecordParser(bytes, number, geometry).Run();
}

}  // namespace volcore::check
