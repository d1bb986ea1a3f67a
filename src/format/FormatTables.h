#pragma once
// Fixed contents of a new volume: the attribute definition table, the upcase
// table with its $Info stream, and the boot sector.
#include <cstdint>
#include <vector>

#include "format/FormatGeometry.h"

namespace volcore::format {

std::vector<uint8_t> BuildAttrDef();

// The 65536-entry upcase table as stored in $UpCase.
std::vector<uint8_t> BuildUpCaseTable();
uint64_t UpCaseCrc64(const std::vector<uint8_t>& table);
std::vector<uint8_t> BuildUpCaseInfo(const std::vector<uint8_t>& table);

// The 8192-byte boot area: the boot image with this volume's parameters.
std::vector<uint8_t> BuildBootArea(const SFormatGeometry& geometry, uint64_t serialNumber, uint64_t hiddenSectors);

}  // namespace volcore::format
