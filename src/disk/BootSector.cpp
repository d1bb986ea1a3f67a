#include "disk/BootSector.h"

#include <cstring>

#include "base/Bytes.h"

namespace volcore {
namespace {

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// Records and index blocks come in whole clusters only while clusters are at
// most 64 KiB; beyond that they are smaller than a cluster and use the
// negative form, which also keeps a hostile byte from asking for 254 MiB.
bool ValidSizeByte(int8_t encoded, uint32_t clusterSize) {
    if (encoded > 0 && clusterSize > 65536) return false;
    return encoded < 0 || (encoded > 0 && IsPowerOfTwo(static_cast<uint32_t>(encoded)));
}

}  // namespace

SBootGeometry ParseBootSector(std::span<const uint8_t> sector) {
    CByteReader boot(sector);
    boot.Check(0, kBootSectorSize);
    if (std::memcmp(boot.Data() + BootField::OemId, BootField::OemIdValue, BootField::OemIdSize) != 0)
        throw CException(EErrorKind::Corrupt, "Invalid OEM ID: %1", boot.U32(BootField::OemId));

    uint16_t bytesPerSector = boot.U16(BootField::BytesPerSector);
    if (bytesPerSector != 512 && bytesPerSector != 4096)
        throw CException(EErrorKind::Corrupt, "Invalid sector size: %1", bytesPerSector);

    const uint8_t sectorsPerClusterByte = boot.U8(BootField::SectorsPerCluster);
    const uint32_t sectorsPerCluster = DecodeSectorsPerCluster(sectorsPerClusterByte);
    if (sectorsPerCluster == 0 || uint64_t{bytesPerSector} * sectorsPerCluster > kLargestClusterSize)
        throw CException(EErrorKind::Corrupt, "Invalid cluster size: %1", sectorsPerClusterByte);

    uint16_t reserved = boot.U16(BootField::ReservedSectors), rootEntries = boot.U16(BootField::RootEntries);
    uint16_t sectors16 = boot.U16(BootField::Sectors16);
    uint32_t sectors32 = boot.U32(BootField::Sectors32);
    if (reserved || rootEntries || sectors16 || sectors32)
        throw CException(EErrorKind::Corrupt, "Reserved fields are not zero: %1 %2 %3 %4", reserved, rootEntries,
                         sectors16, sectors32);

    SBootGeometry geometry;
    geometry.sectorSize = bytesPerSector;
    geometry.clusterSize = uint32_t{bytesPerSector} * sectorsPerCluster;

    int8_t mftEncoded = boot.S8(BootField::ClustersPerMftRecord);
    if (!ValidSizeByte(mftEncoded, geometry.clusterSize))
        throw CException(EErrorKind::Corrupt, "Invalid MFT record size: %1", int{mftEncoded});
    geometry.mftRecordSize = DecodeRecordSize(mftEncoded, geometry.clusterSize);
    if (geometry.mftRecordSize < bytesPerSector)
        throw CException(EErrorKind::Corrupt, "MFT record size %1 is less than sector size %2", geometry.mftRecordSize,
                         bytesPerSector);

    int8_t indxEncoded = boot.S8(BootField::ClustersPerIndexBlock);
    if (!ValidSizeByte(indxEncoded, geometry.clusterSize))
        throw CException(EErrorKind::Corrupt, "Invalid INDX record size: %1", int{indxEncoded});
    geometry.indxRecordSize = DecodeRecordSize(indxEncoded, geometry.clusterSize);

    geometry.mftLcn = boot.U64(BootField::MftLcn);
    geometry.mftMirrorLcn = boot.U64(BootField::MftMirrorLcn);
    return geometry;
}

}  // namespace volcore
