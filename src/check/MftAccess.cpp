#include "check/MftAccess.h"

#include <optional>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/RecordReader.h"
#include "disk/Fixups.h"

namespace volcore::check {
namespace {

constexpr uint32_t kLargestRecord = 64 * 1024;

const SAttribute* FirstDataExtent(const SRecord& record) {
    for (const SAttribute& attribute : record.attributes)
        if (attribute.type == AttrType::Data && attribute.name.empty() && attribute.nonResident &&
            attribute.lowestVcn == 0 && attribute.runsValid)
            return &attribute;
    return nullptr;
}

}  // namespace

bool IsFileRecord(std::span<const uint8_t> record) { return ReadFileRecordHeader(record).IsFileRecord(); }

bool IsInUse(std::span<const uint8_t> record) { return ReadFileRecordHeader(record).IsInUse(); }

std::string Unprotect(std::span<uint8_t> record) {
    try {
        MstUnprotect(record, 1, static_cast<uint32_t>(record.size()));
        return {};
    } catch (const CException& e) {
        return e.what();
    }
}

CMftAccess::CMftAccess(const CVolumeReader& reader, const SGeometry& geometry)
    : m_reader(reader), m_recordSize(geometry.boot.mftRecordSize) {
    if (m_recordSize > kLargestRecord || m_recordSize % 512 != 0)
        throw CException(EErrorKind::Unsupported, "MFT record size %1 is not supported", m_recordSize);
    std::optional<SRecord> zero = RecordZeroAt(geometry, geometry.boot.mftLcn, m_recordZeroError);
    std::string mirrorError;
    if (!zero) zero = RecordZeroAt(geometry, geometry.boot.mftMirrorLcn, mirrorError);
    if (!zero) throw CException(EErrorKind::Corrupt, "%1; the mirror's copy: %2", m_recordZeroError, mirrorError);
    const SAttribute* data = FirstDataExtent(*zero);
    MapData(data->runs, data->dataSize, data->initializedSize);
    // Extension records of $MFT are found through the part record 0 maps.
    SReadBudget budget{m_recordCount, reader.DeviceSize()};
    m_file = LoadFile(std::move(*zero), *this, reader, geometry, budget);
    if (auto stream = m_file.Stream(AttrType::Data, u"", geometry.boot.clusterSize); stream && !stream->resident)
        MapData(stream->runs, stream->dataSize, stream->initializedSize);
}

std::optional<SRecord> CMftAccess::RecordZeroAt(const SGeometry& geometry, uint64_t lcn, std::string& error) const {
    std::vector<uint8_t> bytes(m_recordSize);
    m_reader.Read(lcn * geometry.boot.clusterSize, bytes);
    if (!IsInUse(bytes)) error = FormatText("no FILE record in use at cluster %1", lcn);
    else error = Unprotect(bytes);
    if (!error.empty()) return std::nullopt;
    SRecord record = ParseRecord(bytes, 0, geometry);
    if (FirstDataExtent(record)) return record;
    error = "record 0 has no usable $DATA attribute";
    return std::nullopt;
}

void CMftAccess::MapData(const RunMap& runs, uint64_t dataSize, uint64_t initializedSize) {
    m_data.runs = runs;
    m_data.dataSize = dataSize;
    m_data.initializedSize = initializedSize;
    uint64_t end = 0;
    for (const auto& [vcn, run] : runs) {
        if (vcn.value != end || run.lcn == SparseLcn) break;
        end += run.length;
    }
    m_mappedBytes = end * m_reader.ClusterSize();
    m_recordCount = std::min(dataSize, m_mappedBytes) / m_recordSize;
}

std::vector<uint8_t> CMftAccess::ReadRaw(uint64_t number) const {
    if (number >= m_recordCount)
        throw CException(EErrorKind::Corrupt, "Record %1 lies beyond the MFT (%2 records)", number, m_recordCount);
    std::vector<uint8_t> record(m_recordSize);
    ReadStreamAt(m_data, m_reader, number * m_recordSize, record);
    return record;
}

std::string CMftAccess::Read(uint64_t number, std::vector<uint8_t>& record) const {
    try {
        record = ReadRaw(number);
    } catch (const CException& e) {
        return e.what();
    }
    if (!IsFileRecord(record)) return "not a FILE record";
    return Unprotect(record);
}

}  // namespace volcore::check
