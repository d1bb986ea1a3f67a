#include "api/HandleApi.h"

#include <cwchar>

#include "api/Unicode.h"

namespace volcore {

std::u16string PathArgument(const wchar_t* path) {
    if (!path) throw CException("Invalid path: null pointer");
    return WideToUtf16(path);
}

std::string PathForMessage(const wchar_t* path) noexcept {
    try {
        if (!path) return {};
        std::u16string text;
        for (const wchar_t* unit = path; *unit; ++unit) {
            if constexpr (sizeof(wchar_t) == 2) {
                text += static_cast<char16_t>(*unit);  // Utf16ToUtf8 replaces unpaired surrogates
                continue;
            }
            try {
                text += WideToUtf16(std::wstring_view(unit, 1));
            } catch (const CException&) {
                text += u'\uFFFD';
            }
        }
        return Utf16ToUtf8(text);
    } catch (...) {
        return {};
    }
}

}  // namespace volcore
