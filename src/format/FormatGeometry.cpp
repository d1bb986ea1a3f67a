#include "format/FormatGeometry.h"

#include <algorithm>
#include <bit>

#include "base/Exception.h"

namespace volcore::format {
namespace {

constexpr uint64_t kMinimumVolumeSize = 0x100000;
constexpr uint32_t kLargestAutomaticClusterSize = 65536;
// Windows 10 formats clusters up to 2 MiB; beyond 64 KiB only when asked for.
constexpr uint32_t kLargestGivenClusterSize = 2u << 20;
constexpr uint64_t kMinimumLogSize = 256 * 1024;

uint32_t AutomaticClusterSize(uint64_t volumeSize) {
    uint64_t clusterSize = std::max<uint32_t>(4096, kSectorSize);
    // Keep the cluster count within 32 bits.
    while (volumeSize >= (clusterSize << 32)) clusterSize *= 2;
    if (clusterSize >= kLargestAutomaticClusterSize)
        throw CException(EErrorKind::Argument, "Volume of %1 bytes is too large for NTFS", volumeSize);
    return static_cast<uint32_t>(clusterSize);
}

void CheckGivenClusterSize(uint32_t clusterSize) {
    bool usable = std::has_single_bit(clusterSize) && clusterSize >= kSectorSize && clusterSize <= kLargestGivenClusterSize;
    if (!usable) throw CException(EErrorKind::Argument, "Invalid cluster size: %1", clusterSize);
}

uint64_t JournalSizeFor(uint64_t volumeSize, uint32_t clusterSize) {
    if (volumeSize < 0x200000) return 256 * 1024;
    if (volumeSize < 4000000) return 512 * 1024;
    if (volumeSize <= 0xC800000) return 2 * 1024 * 1024;
    if (volumeSize < 0x300000000) return volumeSize / 200 / clusterSize * clusterSize;
    return 64 * 1024 * 1024;
}

void PlaceJournal(SFormatGeometry& g) {
    g.logLcn = g.mirrorLcn + g.mirrorClusters;
    uint64_t size = JournalSizeFor(g.clusterCount * g.clusterSize, g.clusterSize);
    // The journal must end before the last cluster of the volume.
    while (size > 0 && g.logLcn + CeilDiv(size, g.clusterSize) >= g.clusterCount) size /= 2;
    size = CeilDiv(size, g.clusterSize) * g.clusterSize;
    if (size < kMinimumLogSize)
        throw CException(EErrorKind::Argument, "Volume has no room for a journal of %1 bytes", kMinimumLogSize);
    g.logSize = size;
}

}  // namespace

uint64_t CeilDiv(uint64_t value, uint64_t divisor) { return (value + divisor - 1) / divisor; }

uint64_t SFormatGeometry::ClusterBitmapBytes() const { return CeilDiv(CeilDiv(clusterCount, 8), 8) * 8; }

uint64_t SFormatGeometry::MftBitmapBytes() const { return CeilDiv(CeilDiv(MftRecordCount(), 8), 8) * 8; }

SFormatGeometry DecideGeometry(uint64_t deviceSize, uint32_t requestedClusterSize) {
    // The last sector holds the backup boot sector.
    if (deviceSize < kMinimumVolumeSize + kSectorSize)
        throw CException(EErrorKind::Argument, "Device of %1 bytes is too small: NTFS needs at least %2", deviceSize,
                         kMinimumVolumeSize + kSectorSize);
    SFormatGeometry g;
    g.sectorCount = deviceSize / kSectorSize - 1;
    g.volumeSize = g.sectorCount * kSectorSize;

    if (requestedClusterSize == 0) {
        g.clusterSize = AutomaticClusterSize(g.volumeSize);
    } else {
        CheckGivenClusterSize(requestedClusterSize);
        g.clusterSize = requestedClusterSize;
    }
    g.clusterCount = g.volumeSize / g.clusterSize;
    if (g.clusterCount > 0xFFFFFFFFull)
        throw CException(EErrorKind::Argument, "Too many clusters: %1 (use clusters larger than %2 bytes)",
                         g.clusterCount, g.clusterSize);

    g.mftSize = std::max<uint64_t>(uint64_t{kSystemRecordCount} * kMftRecordSize, g.clusterSize);
    g.bootClusters = CeilDiv(kBootAreaSize, g.clusterSize);
    g.mftBitmapLcn = g.bootClusters;
    g.mftLcn = std::max<uint64_t>(g.mftBitmapLcn + 1, CeilDiv(16384, g.clusterSize));
    g.mftClusters = CeilDiv(g.mftSize, g.clusterSize);
    g.mirrorLcn = g.sectorCount * kSectorSize / 2 / g.clusterSize;
    g.mirrorClusters = CeilDiv(uint64_t{kMirroredRecordCount} * kMftRecordSize, g.clusterSize);
    PlaceJournal(g);
    return g;
}

}  // namespace volcore::format
