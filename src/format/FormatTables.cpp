#include "format/FormatTables.h"

#include <array>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "format/FormatBootCode.h"
#include "disk/BootSector.h"

namespace volcore::format {
namespace {

constexpr uint64_t kCrc64Polynomial = 0x9A6C9329AC4BC9B5ull;  // reflected form

constexpr std::array<uint64_t, 256> MakeCrc64Table() {
    std::array<uint64_t, 256> table{};
    for (uint64_t i = 0; i < 256; ++i) {
        uint64_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kCrc64Polynomial : crc >> 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint64_t, 256> kCrc64Table = MakeCrc64Table();

void WriteBootParameters(const CByteWriter& out, const SFormatGeometry& g, uint64_t serialNumber,
                         uint64_t hiddenSectors) {
    out.U16(BootField::BytesPerSector, kSectorSize);
    out.U8(BootField::SectorsPerCluster, EncodeSectorsPerCluster(g.clusterSize / kSectorSize));
    out.U8(BootField::MediaDescriptor, BootField::FixedDiskMedia);
    out.U16(BootField::SectorsPerTrack, 0);
    out.U16(BootField::Heads, 0);
    out.U32(BootField::HiddenSectors, hiddenSectors <= UINT32_MAX ? static_cast<uint32_t>(hiddenSectors) : 0);
    out.U8(BootField::PhysicalDrive, BootField::FirstHardDisk);
    out.U8(BootField::ExtendedBootSignature, BootField::ExtendedSignatureValue);
    out.U64(BootField::TotalSectors, g.sectorCount);
    out.U64(BootField::MftLcn, g.mftLcn);
    out.U64(BootField::MftMirrorLcn, g.mirrorLcn);
    out.U8(BootField::ClustersPerMftRecord, static_cast<uint8_t>(EncodeRecordSize(kMftRecordSize, g.clusterSize)));
    out.U8(BootField::ClustersPerIndexBlock, static_cast<uint8_t>(EncodeRecordSize(kIndexBlockSize, g.clusterSize)));
    out.U64(BootField::SerialNumber, serialNumber);
    out.U32(BootField::Checksum, 0);
}

}  // namespace

uint64_t UpCaseCrc64(std::span<const uint8_t> bytes, uint64_t previous) {
    uint64_t crc = ~previous;
    for (uint8_t byte : bytes) crc = kCrc64Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::vector<uint8_t> BuildUpCaseInfo(uint64_t tableCrc64) {
    std::vector<uint8_t> info(UpCaseInfo::Size, 0);
    CByteWriter out(info);
    out.U32(UpCaseInfo::Length, static_cast<uint32_t>(info.size()));
    out.U64(UpCaseInfo::Crc64, tableCrc64);
    return info;
}

std::vector<uint8_t> BuildBootArea(const SFormatGeometry& geometry, uint64_t serialNumber, uint64_t hiddenSectors) {
    std::vector<uint8_t> area(kBootAreaSize, 0);
    CByteWriter out(area);
    out.CopyFrom(0, BootImage().data(), BootImage().size());
    WriteBootParameters(out, geometry, serialNumber, hiddenSectors);
    return area;
}

}  // namespace volcore::format
