#include "disk/UpCase.h"

#include <bit>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "base/NumericCast.h"

namespace volcore {

UpCaseTable BuildUpCaseTable(std::span<const uint8_t> bytes) {
    uint32_t byteCount = NumericCast<uint32_t>(bytes.size());
    if (byteCount % 2 != 0) throw CException(EErrorKind::Corrupt, "Invalid UpCase data size %1", byteCount);
    UpCaseTable table(byteCount / 2);
    CByteReader(bytes).U16Array(0, table.data(), table.size());
    return table;
}

void UpCaseToHostOrder(UpCaseTable& table) {
    if constexpr (std::endian::native != std::endian::little)
        for (uint16_t& unit : table) unit = static_cast<uint16_t>(unit << 8 | unit >> 8);
}

ECollation CompareIgnoreCase(std::u16string_view a, std::u16string_view b, const UpCaseTable& table) {
    size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        char16_t left = ToUpper(table, a[i]);
        char16_t right = ToUpper(table, b[i]);
        if (left != right) return left < right ? ECollation::Less : ECollation::Greater;
    }
    if (a.size() == b.size()) return ECollation::Equal;
    return a.size() < b.size() ? ECollation::Less : ECollation::Greater;
}

ECollation CompareFileNames(std::u16string_view a, std::u16string_view b, const UpCaseTable& table) {
    // Units that are the same are the same in upper case too: both
    // comparisons start where the names first differ (an index search
    // compares names that share ever longer beginnings).
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    size_t same = 0;
    while (same < common && a[same] == b[same]) ++same;
    a.remove_prefix(same);
    b.remove_prefix(same);
    ECollation ignoringCase = CompareIgnoreCase(a, b, table);
    if (ignoringCase != ECollation::Equal) return ignoringCase;
    int exact = a.compare(b);
    if (exact == 0) return ECollation::Equal;
    return exact < 0 ? ECollation::Less : ECollation::Greater;
}

}  // namespace volcore
