#pragma once
// The NTFS boot sector as the engine reads it, and its geometry.
#include <bit>
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
// Windows formats clusters of up to 2 MiB.
inline constexpr uint32_t kLargestClusterSize = 2u << 20;

// Boot sector fields. Header-only, like the size coding below: the command-line
// tool reads boot sectors through them too.
namespace BootField {
inline constexpr size_t Jump = 0;
inline constexpr size_t OemId = 3;  // "NTFS    "
inline constexpr size_t BytesPerSector = 11;
inline constexpr size_t SectorsPerCluster = 13;
inline constexpr size_t ReservedSectors = 14;  // this and the next three stay zero
inline constexpr size_t RootEntries = 17;
inline constexpr size_t Sectors16 = 19;
inline constexpr size_t MediaDescriptor = 21;
inline constexpr size_t SectorsPerTrack = 24;
inline constexpr size_t Heads = 26;
inline constexpr size_t HiddenSectors = 28;  // where the volume starts on its disk
inline constexpr size_t Sectors32 = 32;
inline constexpr size_t PhysicalDrive = 36;
inline constexpr size_t ExtendedBootSignature = 38;
inline constexpr size_t TotalSectors = 40;
inline constexpr size_t MftLcn = 48;
inline constexpr size_t MftMirrorLcn = 56;
inline constexpr size_t ClustersPerMftRecord = 64;
inline constexpr size_t ClustersPerIndexBlock = 68;
inline constexpr size_t SerialNumber = 72;
inline constexpr size_t Checksum = 80;
inline constexpr size_t BootCode = 84;
inline constexpr size_t EndMarker = 510;
inline constexpr char OemIdValue[] = "NTFS    ";
inline constexpr size_t OemIdSize = sizeof(OemIdValue) - 1;
inline constexpr uint16_t EndMarkerValue = 0xAA55;
inline constexpr uint8_t FixedDiskMedia = 0xF8;
inline constexpr uint8_t FirstHardDisk = 0x80;
inline constexpr uint8_t ExtendedSignatureValue = 0x80;
}  // namespace BootField

// Applies the boot sector checks in order and decodes the geometry; the first
// failing check raises CException with its message.
SBootGeometry ParseBootSector(std::span<const uint8_t> sector);

// Decodes the sectors-per-cluster byte: up to 0x80 the count itself (a power of
// two), above it 2^(256 - value) sectors, which Windows writes for 256 to 4096
// sectors (0xF8 to 0xF4). 0 for a value that means neither.
inline constexpr uint32_t DecodeSectorsPerCluster(uint8_t encoded) {
    if (encoded <= 0x80) return std::has_single_bit(encoded) ? encoded : 0;
    const unsigned shift = 256u - encoded;
    return shift >= 8 && shift <= 12 ? uint32_t{1} << shift : 0;
}

// The byte for `sectors` (a power of two up to 4096).
inline constexpr uint8_t EncodeSectorsPerCluster(uint32_t sectors) {
    if (sectors <= 0x80) return static_cast<uint8_t>(sectors);
    return static_cast<uint8_t>(256 - std::countr_zero(sectors));
}

// Decodes the size byte at 64 or 68: v < 0 means 2^-v bytes, v > 0 v clusters.
inline constexpr uint32_t DecodeRecordSize(int8_t encoded, uint32_t clusterSize) {
    if (encoded < 0) return uint32_t{1} << ((-static_cast<int>(encoded)) % 32);
    return static_cast<uint32_t>(encoded) * clusterSize;
}
// The size byte for a power-of-two `size`: whole clusters when it is at least
// a cluster, otherwise the negative power of two.
inline constexpr int8_t EncodeRecordSize(uint32_t size, uint32_t clusterSize) {
    if (size >= clusterSize) return static_cast<int8_t>(size / clusterSize);
    return static_cast<int8_t>(-std::countr_zero(size));
}

}  // namespace volcore
