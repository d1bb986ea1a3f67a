#include "VolumeFacts.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "ImageDevice.h"
#include "PartitionTable.h"
#include "volume/BootSector.h"

namespace volcore::tool {
namespace {

using BootSector = std::array<uint8_t, kBootSectorSize>;

uint64_t LittleEndian(const BootSector& sector, size_t field, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) value = value << 8 | sector[field + i];
    return value;
}

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

uint32_t RecordSize(const BootSector& sector, size_t field, uint32_t clusterSize) {
    return DecodeRecordSize(static_cast<int8_t>(sector[field]), clusterSize);
}

struct Signature {
    uint64_t offset;
    std::string_view bytes;
    const char* content;
};

constexpr Signature kSignatures[] = {
    {BootField::OemId, BootField::OemIdValue, "an NTFS file system"},
    {3, "EXFAT   ", "an exFAT file system"},
    {54, "FAT1", "a FAT file system"},
    {82, "FAT32   ", "a FAT file system"},
    {1080, "\x53\xEF", "an ext2/3/4 file system"},
    {0, "XFSB", "an XFS file system"},
    {65600, "_BHRfS_M", "a Btrfs file system"},
    {0, "LUKS\xBA\xBE", "a LUKS container"},
    {4086, "SWAPSPACE2", "swap space"},
    {32769, "CD001", "an ISO 9660 file system"},
    {512, "EFI PART", "a partition table"},
};

}  // namespace

std::string RecognisedContent(const ImageDevice& device) {
    for (const Signature& signature : kSignatures) {
        std::string found(signature.bytes.size(), '\0');
        if (device.Read(signature.offset, found.data(), found.size()) && found == signature.bytes)
            return signature.content;
    }
    return HasPartitionTable(device) ? "a partition table" : "";
}

bool ReadBootSector(const ImageDevice& device, BootSectorFacts& facts, std::string& error) {
    BootSector sector{};
    if (!device.Read(0, sector.data(), sector.size())) {
        error = "the volume is smaller than a boot sector";
        return false;
    }
    if (std::memcmp(&sector[BootField::OemId], BootField::OemIdValue, BootField::OemIdSize) != 0 ||
        LittleEndian(sector, BootField::EndMarker, 2) != BootField::EndMarkerValue) {
        error = "not an NTFS volume";
        return false;
    }
    BootSectorFacts read;
    read.bytesPerSector = static_cast<uint32_t>(LittleEndian(sector, BootField::BytesPerSector, 2));
    const uint8_t sectorsPerCluster = sector[BootField::SectorsPerCluster];
    // Above 0x80 the byte is a negative power of two (large clusters).
    const uint64_t clusterSectors = sectorsPerCluster <= 0x80 ? sectorsPerCluster : 1ull << (256 - sectorsPerCluster);
    read.clusterSize = static_cast<uint32_t>(std::min<uint64_t>(clusterSectors * read.bytesPerSector, 1ull << 31));
    read.totalSectors = LittleEndian(sector, BootField::TotalSectors, 8);
    read.mftCluster = LittleEndian(sector, BootField::MftLcn, 8);
    read.mftMirrorCluster = LittleEndian(sector, BootField::MftMirrorLcn, 8);
    read.mftRecordSize = RecordSize(sector, BootField::ClustersPerMftRecord, read.clusterSize);
    read.indexBlockSize = RecordSize(sector, BootField::ClustersPerIndexBlock, read.clusterSize);
    read.serialNumber = LittleEndian(sector, BootField::SerialNumber, 8);
    if (read.bytesPerSector < 256 || read.bytesPerSector > 4096 || !IsPowerOfTwo(read.bytesPerSector) ||
        !IsPowerOfTwo(clusterSectors) || read.totalSectors == 0) {
        error = "the NTFS boot sector is damaged";
        return false;
    }
    facts = read;
    return true;
}

bool QueryVolumeInfo(ImageDevice& device, volkit::filesystem::volumeInfo& info) {
    volkit::filesystem::device callbacks = device.FilesystemFamilyDevice();
    volkit::filesystem::handle volume;
    if (!volkit::filesystem::open(volume, callbacks)) return false;
    bool ok = volkit::filesystem::getInfo(volume, info);
    return volkit::filesystem::close(volume) && ok;
}

}  // namespace volcore::tool
