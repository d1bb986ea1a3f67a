#include "check/BootCheck.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "base/Bytes.h"

namespace volcore::check {
namespace {

using Sector = std::array<uint8_t, kBootSectorSize>;

struct SCopy {
    uint64_t offset = 0;
    Sector bytes{};
    std::optional<SGeometry> geometry;
    std::string error;
};

// Decodes one copy; a copy whose geometry cannot describe the device is no
// use to the rest of the check and keeps the reason instead.
SCopy ReadCopy(const CVolumeReader& reader, uint64_t offset) {
    SCopy copy;
    copy.offset = offset;
    try {
        reader.Read(offset, copy.bytes);
        SGeometry geometry;
        geometry.boot = ParseBootSector(copy.bytes);
        geometry.totalSectors = CByteReader(copy.bytes.data(), copy.bytes.size()).U64(BootField::TotalSectors);
        uint64_t deviceSectors = reader.DeviceSize() / geometry.boot.sectorSize;
        uint64_t sectors = std::min(geometry.totalSectors, deviceSectors);
        geometry.clusterCount = sectors / (geometry.boot.clusterSize / geometry.boot.sectorSize);
        if (geometry.clusterCount == 0)
            throw CException(EErrorKind::Corrupt, "Invalid number of sectors: %1", geometry.totalSectors);
        if (geometry.boot.mftLcn >= geometry.clusterCount || geometry.boot.mftMirrorLcn >= geometry.clusterCount)
            throw CException(EErrorKind::Corrupt,
                             "MFT cluster %1 or its mirror's %2 lies beyond the volume (%3 clusters)",
                             geometry.boot.mftLcn, geometry.boot.mftMirrorLcn, geometry.clusterCount);
        copy.geometry = geometry;
    } catch (const CException& e) {
        copy.error = e.what();
    }
    return copy;
}

uint16_t EndMarker(const SCopy& copy) {
    return CByteReader(copy.bytes.data(), copy.bytes.size()).U16(BootField::EndMarker);
}

// Where the backup may be: after the sectors the boot sector counts, else
// the last sector of the device for either sector size.
std::vector<uint64_t> BackupOffsets(const CVolumeReader& reader, const SCopy& primary) {
    std::vector<uint64_t> offsets;
    uint64_t size = reader.DeviceSize();
    if (primary.geometry) {
        uint64_t sectorSize = primary.geometry->boot.sectorSize;
        if (primary.geometry->totalSectors < size / sectorSize)
            offsets.push_back(primary.geometry->totalSectors * sectorSize);
    }
    for (uint64_t sectorSize : {512u, 4096u})
        if (size >= 2 * sectorSize && std::find(offsets.begin(), offsets.end(), size - sectorSize) == offsets.end())
            offsets.push_back(size - sectorSize);
    return offsets;
}

SCopy FindBackup(const CVolumeReader& reader, const SCopy& primary) {
    SCopy first;
    bool tried = false;
    for (uint64_t offset : BackupOffsets(reader, primary)) {
        SCopy copy = ReadCopy(reader, offset);
        if (copy.geometry) return copy;
        if (!tried) {
            first = std::move(copy);
            tried = true;
        }
    }
    if (!tried) first.error = "the device has no room for it";
    return first;
}

void ReportCopies(const CVolumeReader& reader, const SCopy& primary, const SCopy& backup, CReport& report) {
    if (!primary.geometry) report.Add(ECode::BootSector, kNoRecord, "Boot sector: %1", primary.error);
    else if (EndMarker(primary) != BootField::EndMarkerValue)
        report.Add(ECode::BootSector, kNoRecord, "Boot sector: end marker %1 instead of 0xAA55",
                   Hex(EndMarker(primary)));
    if (primary.geometry && primary.geometry->totalSectors >= reader.DeviceSize() / primary.geometry->boot.sectorSize)
        report.Add(ECode::BootSector, kNoRecord,
                   "Boot sector: the volume's %1 sectors and backup do not fit the device (%2 bytes)",
                   primary.geometry->totalSectors, reader.DeviceSize());
    if (!backup.geometry) report.Add(ECode::BootSector, kNoRecord, "Backup boot sector: %1", backup.error);
    else if (primary.geometry && std::memcmp(primary.bytes.data(), backup.bytes.data(), kBootSectorSize) != 0)
        report.Add(ECode::BootSector, kNoRecord, "Backup boot sector at byte %1 differs from the boot sector",
                   backup.offset);
}

}  // namespace

std::vector<SGeometry> CheckBootSectors(const CVolumeReader& reader, CReport& report) {
    if (reader.DeviceSize() < kBootSectorSize) throw CCannotCheck("The device is too small to hold a boot sector");
    SCopy primary = ReadCopy(reader, 0);
    SCopy backup = FindBackup(reader, primary);
    if (!primary.geometry && !backup.geometry)
        throw CCannotCheck("No NTFS boot sector: " + primary.error);
    ReportCopies(reader, primary, backup, report);
    std::vector<SGeometry> candidates;
    if (primary.geometry) candidates.push_back(*primary.geometry);
    bool sameCopies = primary.geometry && std::memcmp(primary.bytes.data(), backup.bytes.data(), kBootSectorSize) == 0;
    if (backup.geometry && !sameCopies) candidates.push_back(*backup.geometry);
    return candidates;
}

}  // namespace volcore::check
