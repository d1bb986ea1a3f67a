#include "base/Unicode.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/Utf.h"

namespace volcore {

using namespace utf;

std::string Utf16ToUtf8(std::u16string_view text) { return utf::Utf16ToUtf8(text); }

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        std::optional<char32_t> cp = NextUtf8(text, i);
        if (!cp) throw CException(EErrorKind::Argument, "Invalid UTF-8 text");
        AppendUtf16(out, *cp);
    }
    return out;
}

std::u16string WideToUtf16(std::wstring_view text) {
    // Below the surrogates both forms are the same unit for unit: most paths
    // are copied whole in one pass, and only one that holds a higher unit
    // goes through the loop below.
    std::u16string out(text.size(), u'\0');
    char16_t* units = out.data();
    // An OR of the units, unlike their maximum, vectorizes on every x86-64:
    // below 0xD800 it proves every unit is; above, the units are looked at
    // one by one.
    uint32_t any = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        auto unit = static_cast<uint32_t>(text[i]);
        any |= unit;
        units[i] = static_cast<char16_t>(unit);
    }
    if (any < 0xD800) return out;
    size_t plain = 0;
    while (plain < text.size() && static_cast<uint32_t>(text[plain]) < 0xD800) ++plain;
    if (plain == text.size()) return out;
    out.resize(plain);
    out.reserve(text.size());
    for (size_t i = plain; i < text.size(); ++i) {
        auto cp = static_cast<uint32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            // Already UTF-16: a surrogate is kept only as half of a pair.
            if (IsHighSurrogate(cp) && i + 1 < text.size() && IsLowSurrogate(static_cast<uint32_t>(text[i + 1]))) {
                out.push_back(static_cast<char16_t>(cp));
                out.push_back(static_cast<char16_t>(text[++i]));
                continue;
            }
            if (IsSurrogate(cp)) throw CException(EErrorKind::Argument, "Invalid code point: %1", cp);
            out.push_back(static_cast<char16_t>(cp));
        } else {
            if (!IsScalar(cp)) throw CException(EErrorKind::Argument, "Invalid code point: %1", cp);
            AppendUtf16(out, cp);
        }
    }
    return out;
}

std::wstring Utf16ToWide(std::u16string_view text) {
    std::wstring out;
    Utf16ToWide(text, out);
    return out;
}

void Utf16ToWide(std::u16string_view text, std::wstring& out) {
    out.resize(text.size() + 1);
    out.resize(Utf16ToWide(text, out.data()));
}

// Listings call this for every entry: no string operations, one pass.
size_t Utf16ToWide(std::u16string_view text, wchar_t* out) {
    wchar_t* to = out;
    if constexpr (sizeof(wchar_t) == 2) {
        for (char16_t unit : text) *to++ = static_cast<wchar_t>(unit);
    } else {
        // Names without surrogates (nearly all) widen unit by unit; the rest
        // pairs their surrogates from the first one on.
        size_t i = 0;
        for (const size_t size = text.size(); i < size && !IsSurrogate(text[i]); ++i)
            to[i] = static_cast<wchar_t>(text[i]);
        to += i;
        while (i < text.size()) *to++ = static_cast<wchar_t>(NextUtf16(text, i));
    }
    *to = 0;
    return static_cast<size_t>(to - out);
}

}  // namespace volcore
