#pragma once
// The MFT as the checker reads it: located through record 0 alone, so that
// a volume the engine refuses can still be examined record by record.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check/FileModel.h"

namespace volcore::check {

bool IsFileRecord(std::span<const uint8_t> record);
bool IsInUse(std::span<const uint8_t> record);
// Applies the update sequence in place; returns why it failed, "" if it did not.
std::string Unprotect(std::span<uint8_t> record);

class CMftAccess {
public:
    // Locates the MFT through record 0 at the geometry's MFT cluster, else
    // through the mirror's copy; raises CException when neither is a usable
    // FILE record with a $DATA attribute.
    CMftAccess(const CVolumeReader& reader, const SGeometry& geometry);

    // Why record 0 itself could not be used, "" when it could.
    const std::string& RecordZeroError() const { return m_recordZeroError; }
    uint32_t RecordSize() const { return m_recordSize; }
    uint64_t RecordCount() const { return m_recordCount; }
    // What the runs of $DATA map from VCN 0 on without a gap, in bytes.
    uint64_t MappedBytes() const { return m_mappedBytes; }
    const SFile& File() const { return m_file; }
    const SStream& Data() const { return m_data; }

    // The record as stored; raises CException when the runs cannot reach it.
    std::vector<uint8_t> ReadRaw(uint64_t number) const;
    // The record with its fixups applied; returns why it could not be had.
    std::string Read(uint64_t number, std::vector<uint8_t>& record) const;

private:
    std::optional<SRecord> RecordZeroAt(const SGeometry& geometry, uint64_t lcn, std::string& error) const;
    void MapData(const RunMap& runs, uint64_t dataSize, uint64_t initializedSize);

    const CVolumeReader& m_reader;
    uint32_t m_recordSize = 0;
    uint64_t m_recordCount = 0;
    uint64_t m_mappedBytes = 0;
    SStream m_data;
    SFile m_file;
    std::string m_recordZeroError;
};

}  // namespace volcore::check
