#pragma once
// The NTFS boot sector as the engine reads it, and its geometry.
#include <cstddef>
#include <cstdint>
#include <span>

namespace volcore {

struct SBootGeometry {
    uint32_t sectorSize = 0;
    uint32_t clusterSize = 0;
    uint32_t mftRecordSize = 0;
    uint32_t indxRecordSize = 0;
    uint64_t mftLcn = 0;
    uint64_t mftMirrorLcn = 0;
};

inline constexpr uint32_t kBootSectorSize = 512;

// Boot sector fields beyond the geometry.
namespace BootField {
inline constexpr size_t TotalSectors = 40;
inline constexpr size_t EndMarker = 510;
inline constexpr uint16_t EndMarkerValue = 0xAA55;
}  // namespace BootField

// Applies the boot sector checks in order and decodes the geometry; the first
// failing check raises CException with its message.
SBootGeometry ParseBootSector(std::span<const uint8_t> sector);

// Decodes the size byte at 64 or 68: v < 0 means 2^-v bytes, v > 0 v clusters.
uint32_t DecodeRecordSize(int8_t encoded, uint32_t clusterSize);

}  // namespace volcore
