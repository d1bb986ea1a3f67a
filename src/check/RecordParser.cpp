#include "check/RecordParser.h"

#include <set>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/Runlist.h"

namespace volcore::check {
namespace {

constexpr size_t kOldHeaderWithoutNumber = 0x2A;  // records of NTFS 3.0 and older end their header here

const SAttrDef* Definition(uint32_t type) {
    for (const SAttrDef& definition : AttributeDefinitions())
        if (definition.type == type) return &definition;
    return nullptr;
}

class CRecordParser {
public:
    CRecordParser(std::span<const uint8_t> bytes, uint64_t number, const SGeometry& geometry)
        : m_bytes(bytes.data(), bytes.size()), m_geometry(geometry) {
        m_record.number = number;
    }

    SRecord Run() {
        if (ReadHeader()) WalkAttributes();
        return std::move(m_record);
    }

private:
    template <typename... Args>
    void Problem(ECode code, std::string_view format, const Args&... args) {
        std::string prefix = "Record " + std::to_string(m_record.number) + ": ";
        m_record.problems.push_back(SProblem{code, m_record.number, prefix + FormatText(format, args...)});
    }

    bool ReadHeader() {
        m_record.flags = m_bytes.U16(FileRecord::Flags);
        m_record.sequence = m_bytes.U16(FileRecord::SequenceNumber);
        m_record.linkCount = m_bytes.U16(FileRecord::LinkCount);
        m_record.baseReference = m_bytes.U64(FileRecord::BaseReference);
        uint32_t usaEnd = m_bytes.U16(FileRecord::UsaOffset) + 2u * m_bytes.U16(FileRecord::UsaCount);
        m_first = m_bytes.U16(FileRecord::FirstAttribute);
        m_inUse = m_bytes.U32(FileRecord::BytesInUse);
        uint32_t allocated = m_bytes.U32(FileRecord::BytesAllocated);
        if (allocated != m_bytes.Size())
            Problem(ECode::Record, "allocated size %1 instead of the record size %2", allocated, m_bytes.Size());
        if (m_inUse > m_bytes.Size() || m_inUse % 8 != 0) {
            Problem(ECode::Record, "bytes in use %1 do not fit the record", m_inUse);
            return false;
        }
        if (m_first < usaEnd || m_first % 8 != 0 || m_first >= m_inUse) {
            Problem(ECode::Record, "first attribute at offset %1 (update sequence ends at %2, bytes in use %3)",
                    m_first, usaEnd, m_inUse);
            return false;
        }
        if (m_bytes.U16(FileRecord::UsaOffset) > kOldHeaderWithoutNumber &&
            m_bytes.U32(FileRecord::RecordNumber) != static_cast<uint32_t>(m_record.number))
            Problem(ECode::Record, "header says record %1", m_bytes.U32(FileRecord::RecordNumber));
        return true;
    }

    void WalkAttributes() {
        uint32_t previousType = 0;
        std::set<uint16_t> instances;
        uint16_t nextInstance = m_bytes.U16(FileRecord::NextInstance);
        for (size_t position = m_first;;) {
            if (position + AttrRecord::Length > m_inUse) return Problem(ECode::Record, "no end marker within the bytes in use");
            uint32_t type = m_bytes.U32(position);
            if (type == AttrType::End) return;
            uint32_t length = position + AttrRecord::NonResident <= m_inUse ? m_bytes.U32(position + AttrRecord::Length) : 0;
            if (length < AttrRecord::ResidentHeaderSize || length % 8 != 0 || length > m_inUse - position)
                return Problem(ECode::Attribute, "attribute record at offset %1 (type %2) has length %3", position,
                               Hex(type), length);
            if (type < previousType)
                Problem(ECode::Attribute, "attribute type %1 follows type %2", Hex(type), Hex(previousType));
            previousType = type;
            SAttribute attribute;
            if (ParseAttribute(m_bytes.Sub(position, length), position, attribute)) {
                if (!instances.insert(attribute.instance).second || attribute.instance >= nextInstance)
                    Problem(ECode::Attribute, "attribute %1 has instance %2 (taken, or not below %3)",
                            AttributeLabel(type, attribute.name), attribute.instance, nextInstance);
                m_record.attributes.push_back(std::move(attribute));
            }
            position += length;
        }
    }

    bool ParseAttribute(const CByteReader& record, size_t position, SAttribute& attribute) {
        attribute.type = record.U32(AttrRecord::Type);
        uint8_t nonResident = record.U8(AttrRecord::NonResident);
        uint64_t nameEnd = record.U16(AttrRecord::NameOffset) + 2ull * record.U8(AttrRecord::NameLength);
        if (nonResident > 1 || nameEnd > record.Size()) {
            Problem(ECode::Attribute, "attribute record at offset %1 (type %2) is malformed", position,
                    Hex(attribute.type));
            return false;
        }
        attribute.name = record.Utf16(record.U16(AttrRecord::NameOffset), record.U8(AttrRecord::NameLength));
        attribute.flags = record.U16(AttrRecord::Flags);
        attribute.instance = record.U16(AttrRecord::Instance);
        attribute.nonResident = nonResident != 0;
        const SAttrDef* definition = Definition(attribute.type);
        std::string label = AttributeLabel(attribute.type, attribute.name);
        if (!definition) Problem(ECode::Attribute, "attribute %1 has an unknown type", label);
        if (!attribute.nonResident) return ParseResident(record, label, definition, attribute);
        if (definition && (definition->flags & AttrDefEntry::FlagResidentOnly))
            Problem(ECode::Attribute, "attribute %1 must be resident", label);
        return ParseNonResident(record, label, attribute);
    }

    bool ParseResident(const CByteReader& record, const std::string& label, const SAttrDef* definition,
                       SAttribute& attribute) {
        uint32_t valueLength = record.U32(AttrRecord::ValueLength);
        uint16_t valueOffset = record.U16(AttrRecord::ValueOffset);
        if (uint64_t{valueOffset} + valueLength > record.Size()) {
            Problem(ECode::Attribute, "value of attribute %1 (%2 bytes at offset %3) runs past its record", label,
                    valueLength, valueOffset);
            return false;
        }
        attribute.value = record.Bytes(valueOffset, valueLength);
        // An empty volume label is stored as an empty value, below the table's minimum.
        bool emptyLabel = attribute.type == AttrType::VolumeName && valueLength == 0;
        if (definition && ((valueLength < definition->minSize && !emptyLabel) || valueLength > definition->maxSize))
            Problem(ECode::Attribute, "attribute %1 has a value of %2 bytes", label, valueLength);
        if (attribute.type == AttrType::FileName) CheckFileName(attribute);
        return true;
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

    bool ParseNonResident(const CByteReader& record, const std::string& label, SAttribute& attribute) {
        uint16_t pairsOffset = record.U16(AttrRecord::MappingPairsOffset);
        if (record.Size() < AttrRecord::NonResidentHeaderSize || pairsOffset < AttrRecord::NonResidentHeaderSize ||
            pairsOffset >= record.Size()) {
            Problem(ECode::Attribute, "non-resident attribute %1 has mapping pairs at offset %2 of %3 bytes", label,
                    pairsOffset, record.Size());
            return false;
        }
        attribute.lowestVcn = record.U64(AttrRecord::LowestVcn);
        attribute.highestVcn = record.U64(AttrRecord::HighestVcn);
        attribute.allocatedSize = record.U64(AttrRecord::AllocatedSize);
        attribute.dataSize = record.U64(AttrRecord::DataSize);
        attribute.initializedSize = record.U64(AttrRecord::InitializedSize);
        attribute.compressionUnit = record.U16(AttrRecord::CompressionUnit);
        const bool compressedForm = (record.U16(AttrRecord::Flags) & (AttrRecord::FlagCompressedMask | AttrRecord::FlagSparse)) != 0;
        if (compressedForm && pairsOffset >= AttrRecord::CompressedHeaderSize)
            attribute.compressedSize = record.U64(AttrRecord::CompressedSize);
        DecodeRuns(record, label, attribute);
        if (attribute.lowestVcn == 0) CheckSizes(label, attribute);
        return true;
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
    uint32_t m_first = 0;
    uint32_t m_inUse = 0;
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
