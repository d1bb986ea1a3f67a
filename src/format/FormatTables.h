#pragma once
// Fixed contents of a new volume: the upcase table with its $Info stream, and
// the boot area.
#include <cstdint>
#include <span>
#include <vector>

#include "format/FormatGeometry.h"

namespace volcore::format {

// The 65536-entry upcase table as stored in $UpCase.
inline constexpr uint64_t kUpCaseTableBytes = 65536 * 2;
std::vector<uint8_t> BuildUpCaseTable();
// Bytes [firstByte, firstByte + out.size()) of that table, both even: the
// table is written a piece at a time and never held whole.
void FillUpCaseTable(uint64_t firstByte, std::span<uint8_t> out);
// The checksum $Info keeps of the table; `previous` continues it from the
// table's bytes before these.
uint64_t UpCaseCrc64(std::span<const uint8_t> bytes, uint64_t previous = 0);
std::vector<uint8_t> BuildUpCaseInfo(uint64_t tableCrc64);

// The 8192-byte boot area: the boot image with this volume's parameters.
// `hiddenSectors` is written only when it fits its 32-bit field.
std::vector<uint8_t> BuildBootArea(const SFormatGeometry& geometry, uint64_t serialNumber, uint64_t hiddenSectors);

}  // namespace volcore::format
