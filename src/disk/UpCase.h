#pragma once
// File-name collation through the volume's upcase table.
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/UnzeroedAllocator.h"

namespace volcore {

using UpCaseTable = std::vector<uint16_t, SUnzeroedAllocator<uint16_t>>;

enum class ECollation : int { Greater = 0, Less = 1, Equal = 2 };

// The table from the raw bytes of $UpCase (little-endian 16-bit units); an odd
// byte count raises "Invalid UpCase data size %1".
UpCaseTable BuildUpCaseTable(std::span<const uint8_t> bytes);
// A table whose storage was filled with the raw bytes of $UpCase, put into
// this host's byte order (nothing to do on a little-endian host).
void UpCaseToHostOrder(UpCaseTable& table);

inline char16_t ToUpper(const UpCaseTable& table, char16_t unit) {
    return unit < table.size() ? static_cast<char16_t>(table[unit]) : unit;
}

ECollation CompareIgnoreCase(std::u16string_view a, std::u16string_view b, const UpCaseTable& table);

// The order of a file-name index: ignoring case first; names equal that way
// follow their exact code units, so that names differing only in case (as
// POSIX systems create them) are distinct and each has its place.
ECollation CompareFileNames(std::u16string_view a, std::u16string_view b, const UpCaseTable& table);

}  // namespace volcore
