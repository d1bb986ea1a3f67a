#pragma once
// The one rule for names given to new files and directories, shared by both
// families. NTFS itself stores almost any sequence of UTF-16 units; a name
// that Windows or the path syntax of either family cannot express would make
// an object nobody can open or remove, so it is refused before it reaches the
// volume. Existing names are never checked: whatever another system wrote can
// still be opened, listed and removed.
#include <cstddef>
#include <string_view>

namespace volcore {

constexpr size_t kMaxNameUnits = 255;

// Null when `name` may be given to a new object, otherwise a short reason
// ("name is empty", "name is reserved", "name contains a character that is
// not allowed", "name contains an unpaired surrogate", "name is too long").
const char* NewNameProblem(std::u16string_view name) noexcept;

}  // namespace volcore
