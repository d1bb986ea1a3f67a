#include "VolumeFacts.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "Diagnostics.h"
#include "ImageDevice.h"
#include "PartitionTable.h"
#include "Text.h"
#ifdef VOLKIT_TOOL_WITH_NTFS3G
#include "volkit/filesystem.h"
#else
#include <bit>

#include "volkit/api.h"
#endif
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

#ifdef VOLKIT_TOOL_WITH_NTFS3G

bool QueryVolumeInfo(ImageDevice& device, VolumeInfo& info) {
    volkit::filesystem::device callbacks = device.FilesystemFamilyDevice();
    volkit::filesystem::handle volume;
    if (!volkit::filesystem::open(volume, callbacks)) return false;
    volkit::filesystem::volumeInfo facts;
    const bool ok = volkit::filesystem::getInfo(volume, facts);
    info = {facts.label, facts.majorVersion, facts.minorVersion, facts.clusterSize, facts.totalClusters,
            facts.freeClusters};
    return volkit::filesystem::close(volume) && ok;
}

#else

namespace {

constexpr uint64_t kFixupStride = 512;
constexpr uint64_t kVolumeRecord = 3;
constexpr uint64_t kVolumeNameType = 0x60;
constexpr uint64_t kVolumeInformationType = 0x70;
constexpr uint64_t kEndOfAttributes = 0xFFFFFFFF;
constexpr uint64_t kAttributeHeader = 24;  // a resident attribute's header

uint64_t LittleEndian(const uint8_t* bytes, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// Puts back the bytes the update sequence moved out of each stride's end.
bool ApplyFixups(std::vector<uint8_t>& record) {
    if (std::memcmp(record.data(), "FILE", 4) != 0) return false;
    const uint64_t at = LittleEndian(&record[4], 2), count = LittleEndian(&record[6], 2);
    if (count == 0 || (count - 1) * kFixupStride > record.size() || at + 2 * count > record.size()) return false;
    for (uint64_t i = 1; i < count; ++i) {
        uint8_t* end = &record[i * kFixupStride - 2];
        if (std::memcmp(end, &record[at], 2) != 0) return false;
        std::memcpy(end, &record[at + 2 * i], 2);
    }
    return true;
}

// The label and the NTFS version live in attributes of the $Volume record,
// which the handle family does not hand out.
bool ReadVolumeRecord(const ImageDevice& device, const BootSectorFacts& boot, VolumeInfo& info) {
    if (boot.mftRecordSize < 256 || boot.mftRecordSize > 65536 || boot.mftCluster > device.WindowSize() / boot.clusterSize)
        return false;
    std::vector<uint8_t> record(boot.mftRecordSize);
    // The first records of the MFT lie at its start, in its first run.
    const uint64_t offset = boot.mftCluster * boot.clusterSize + kVolumeRecord * boot.mftRecordSize;
    if (!device.Read(offset, record.data(), record.size()) || !ApplyFixups(record)) return false;
    for (uint64_t at = LittleEndian(&record[20], 2); at + kAttributeHeader <= record.size();) {
        const uint64_t type = LittleEndian(&record[at], 4), length = LittleEndian(&record[at + 4], 4);
        if (type == kEndOfAttributes || length < kAttributeHeader || length > record.size() - at) break;
        const uint64_t valueLength = LittleEndian(&record[at + 16], 4);
        const uint64_t valueAt = at + LittleEndian(&record[at + 20], 2);
        const bool resident = record[at + 8] == 0 && valueAt <= at + length && valueLength <= at + length - valueAt;
        if (resident && type == kVolumeNameType) {
            std::u16string label;
            for (uint64_t i = 0; i + 1 < valueLength; i += 2)
                label += static_cast<char16_t>(LittleEndian(&record[valueAt + i], 2));
            info.label = Utf16ToUtf8(label);
        }
        if (resident && type == kVolumeInformationType && valueLength >= 10) {
            info.majorVersion = record[valueAt + 8];
            info.minorVersion = record[valueAt + 9];
        }
        at += length;
    }
    return info.majorVersion != 0;
}

// Counts the clusters $Bitmap marks in use, reading it through the handle family.
bool CountFreeClusters(ImageDevice& device, VolumeInfo& info) {
    using namespace volkit::api;
    NtfsVolumeHandle volume;
    if (!NtfsOpenVolume(device.HandleFamilyDevice(), volume)) return false;
    NtfsFileHandle bitmap;
    bool ok = NtfsOpenFile(L"$Bitmap", bitmap, volume);
    std::vector<uint8_t> chunk(1u << 20);
    uint64_t used = 0;
    for (uint64_t cluster = 0; ok && cluster < info.totalClusters; cluster += chunk.size() * 8) {
        const uint64_t clusters = std::min<uint64_t>(chunk.size() * 8, info.totalClusters - cluster);
        const auto bytes = static_cast<uint32_t>((clusters + 7) / 8);
        ok = NtfsReadFile(cluster / 8, chunk.data(), bytes, bitmap);
        // Bits past the last cluster are not clusters.
        if (clusters % 8 != 0) chunk[bytes - 1] &= static_cast<uint8_t>((1u << (clusters % 8)) - 1);
        for (uint32_t i = 0; ok && i < bytes; ++i) used += static_cast<uint64_t>(std::popcount(chunk[i]));
    }
    if (bitmap.ptr) ok = NtfsCloseFile(bitmap) && ok;
    ok = NtfsCloseVolume(volume) && ok;
    info.freeClusters = info.totalClusters - std::min(used, info.totalClusters);
    return ok;
}

}  // namespace

bool QueryVolumeInfo(ImageDevice& device, VolumeInfo& info) {
    BootSectorFacts boot;
    std::string error;
    if (!ReadBootSector(device, boot, error)) {
        Diagnostics::Note(error);
        return false;
    }
    info.clusterSize = boot.clusterSize;
    info.totalClusters = boot.totalSectors * boot.bytesPerSector / boot.clusterSize;
    if (!ReadVolumeRecord(device, boot, info)) {
        Diagnostics::Note("the $Volume record is damaged");
        return false;
    }
    return CountFreeClusters(device, info);
}

#endif

}  // namespace volcore::tool
