#pragma once
// The size decisions of a new volume: cluster size, the fixed positions of the
// boot area, MFT, MFT mirror and journal, and the sizes of the system bitmaps.
#include <cstdint>

namespace volcore::format {

inline constexpr uint32_t kSectorSize = 512;
inline constexpr uint32_t kMftRecordSize = 1024;
inline constexpr uint32_t kIndexBlockSize = 4096;
inline constexpr uint32_t kBootAreaSize = 8192;
inline constexpr uint32_t kSystemRecordCount = 27;
inline constexpr uint32_t kMirroredRecordCount = 4;

struct SFormatGeometry {
    uint64_t sectorCount = 0;  // the last device sector is kept for the backup boot sector
    uint64_t volumeSize = 0;
    uint32_t clusterSize = 0;
    uint64_t clusterCount = 0;
    uint64_t mftSize = 0;  // bytes

    uint64_t bootClusters = 0;  // the boot area always starts at LCN 0
    uint64_t mftBitmapLcn = 0;
    uint64_t mftLcn = 0;
    uint64_t mftClusters = 0;
    uint64_t mirrorLcn = 0;
    uint64_t mirrorClusters = 0;
    uint64_t logLcn = 0;
    uint64_t logSize = 0;  // bytes, whole clusters

    uint64_t MftRecordCount() const { return mftSize / kMftRecordSize; }
    uint64_t ClusterBitmapBytes() const;
    uint64_t MftBitmapBytes() const;
    // Where system data other than the fixed ranges goes first: past the MFT zone.
    uint64_t DataZoneStart() const { return mftLcn + clusterCount / 8; }
};

uint64_t CeilDiv(uint64_t value, uint64_t divisor);

// Throws the format failure when the device cannot carry a volume or the
// requested cluster size (0 = automatic) is not usable.
SFormatGeometry DecideGeometry(uint64_t deviceSize, uint32_t requestedClusterSize);

}  // namespace volcore::format
