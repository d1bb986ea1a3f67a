#include "base/NameRules.h"

#include <array>
#include <cstdint>

namespace volcore {
namespace {

// Control characters, the separators of both families' paths, the stream
// separator and the wildcard and redirection characters Windows keeps for
// itself: all ASCII, one bit per unit, as every create checks each unit of
// its name.
constexpr std::array<uint64_t, 2> kForbiddenAscii = [] {
    std::array<uint64_t, 2> bits{};
    for (unsigned unit = 0; unit < 0x20; ++unit) bits[0] |= uint64_t{1} << unit;
    for (char16_t unit : std::u16string_view(u"\"*/:<>?\\|")) bits[unit >> 6] |= uint64_t{1} << (unit & 63);
    return bits;
}();

bool IsForbiddenUnit(char16_t unit) { return unit < 0x80 && ((kForbiddenAscii[unit >> 6] >> (unit & 63)) & 1) != 0; }

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
