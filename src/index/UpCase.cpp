#include "index/UpCase.h"

#include "api/NotYet.h"

namespace volcore {
UpCaseTable BuildUpCaseTable(std::span<const uint8_t>) { NotYet("BuildUpCaseTable"); }
ECollation CompareIgnoreCase(std::u16string_view, std::u16string_view, const UpCaseTable&) { NotYet("CompareIgnoreCase"); }
}  // namespace volcore
