#pragma once
// Fixed contents of a new volume: the upcase table with its $Info stream, and
// the boot area.
#include <cstdint>
#include <vector>

#include "format/FormatGeometry.h"

namespace volcore::format {

// The 65536-entry upcase table as stored in $UpCase.
std::vector<uint8_t> BuildUpCaseTable();
uint64_t UpCaseCrc64(const std::vector<uint8_t>& table);
std::vector<uint8_t> BuildUpCaseInfo(const std::vector<uint8_t>& table);

// The 8192-byte boot area: the boot image with this volume's parameters.
// `hiddenSectors` is written only when it fits its 32-bit field.
std::vector<uint8_t> BuildBootArea(const SFormatGeometry& geometry, uint64_t serialNumber, uint64_t hiddenSectors);

}  // namespace volcore::format
