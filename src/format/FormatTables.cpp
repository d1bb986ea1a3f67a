#include "format/FormatTables.h"

#include <array>
#include <string_view>

#include "api/Bytes.h"
#include "format/FormatBootCode.h"

namespace volcore::format {
namespace {

constexpr size_t kAttrDefEntrySize = 160;

struct SAttrDefEntry {
    std::u16string_view name;
    uint32_t type;
    uint32_t flags;
    int64_t minimumSize;
    int64_t maximumSize;
};

constexpr SAttrDefEntry kAttrDefEntries[] = {
    {u"$STANDARD_INFORMATION", 0x10, 0x40, 48, 72},
    {u"$ATTRIBUTE_LIST", 0x20, 0x80, 0, -1},
    {u"$FILE_NAME", 0x30, 0x42, 68, 578},
    {u"$OBJECT_ID", 0x40, 0x40, 0, 256},
    {u"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, -1},
    {u"$VOLUME_NAME", 0x60, 0x40, 2, 256},
    {u"$VOLUME_INFORMATION", 0x70, 0x40, 12, 12},
    {u"$DATA", 0x80, 0x00, 0, -1},
    {u"$INDEX_ROOT", 0x90, 0x40, 0, -1},
    {u"$INDEX_ALLOCATION", 0xA0, 0x80, 0, -1},
    {u"$BITMAP", 0xB0, 0x80, 0, -1},
    {u"$REPARSE_POINT", 0xC0, 0x80, 0, 16384},
    {u"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
    {u"$EA", 0xE0, 0x00, 0, 65536},
    {u"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 65536},
};

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

void WriteBootParameters(const CByteWriter& out, const SFormatGeometry& g, uint64_t serialNumber, uint64_t hiddenSectors) {
    out.U16(11, kSectorSize);
    out.U8(13, static_cast<uint8_t>(g.clusterSize / kSectorSize));
    out.U8(21, 0xF8);  // fixed disk
    out.U16(24, 0);    // sectors per track
    out.U16(26, 0);    // heads
    out.U32(28, hiddenSectors <= UINT32_MAX ? static_cast<uint32_t>(hiddenSectors) : 0);
    out.U8(36, 0x80);  // physical drive
    out.U8(38, 0x80);  // extended boot signature
    out.U64(40, g.sectorCount);
    out.U64(48, g.mftLcn);
    out.U64(56, g.mirrorLcn);
    out.U8(64, static_cast<uint8_t>(EncodeClustersPerRecord(kMftRecordSize, g.clusterSize)));
    out.U8(68, static_cast<uint8_t>(EncodeClustersPerRecord(kIndexBlockSize, g.clusterSize)));
    out.U64(72, serialNumber);
    out.U32(80, 0);  // checksum
}

}  // namespace

std::vector<uint8_t> BuildAttrDef() {
    std::vector<uint8_t> table((std::size(kAttrDefEntries) + 1) * kAttrDefEntrySize, 0);
    CByteWriter out(table);
    size_t offset = 0;
    for (const SAttrDefEntry& entry : kAttrDefEntries) {
        out.Utf16(offset, entry.name);
        out.U32(offset + 128, entry.type);
        out.U32(offset + 140, entry.flags);
        out.U64(offset + 144, static_cast<uint64_t>(entry.minimumSize));
        out.U64(offset + 152, static_cast<uint64_t>(entry.maximumSize));
        offset += kAttrDefEntrySize;
    }
    return table;
}

uint64_t UpCaseCrc64(const std::vector<uint8_t>& table) {
    uint64_t crc = ~uint64_t{0};
    for (uint8_t byte : table) crc = kCrc64Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::vector<uint8_t> BuildUpCaseInfo(const std::vector<uint8_t>& table) {
    std::vector<uint8_t> info(32, 0);
    CByteWriter out(info);
    out.U32(0, static_cast<uint32_t>(info.size()));
    out.U64(8, UpCaseCrc64(table));
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
