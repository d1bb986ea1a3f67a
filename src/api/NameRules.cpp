#include "api/NameRules.h"

namespace volcore {
namespace {

// Control characters, the separators of both families' paths, the stream
// separator and the wildcard and redirection characters Windows keeps for
// itself.
bool IsForbiddenUnit(char16_t unit) {
    if (unit < 0x20) return true;
    return std::u16string_view(u"\"*/:<>?\\|").find(unit) != std::u16string_view::npos;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool HasUnpairedSurrogate(std::u16string_view name) {
    for (size_t i = 0; i < name.size(); ++i) {
        if (IsLowSurrogate(name[i])) return true;
        if (!IsHighSurrogate(name[i])) continue;
        if (i + 1 == name.size() || !IsLowSurrogate(name[i + 1])) return true;
        ++i;
    }
    return false;
}

}  // namespace

const char* NewNameProblem(std::u16string_view name) noexcept {
    if (name.empty()) return "name is empty";
    if (name == u"." || name == u"..") return "name is reserved";
    if (name.size() > kMaxNameUnits) return "name is too long";
    for (char16_t unit : name)
        if (IsForbiddenUnit(unit)) return "name contains a character that is not allowed";
    if (HasUnpairedSurrogate(name)) return "name contains an unpaired surrogate";
    return nullptr;
}

}  // namespace volcore
