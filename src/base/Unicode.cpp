#include "base/Unicode.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/Utf.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// The rare name holding a surrogate is widened again from its units, pairs joined.
size_t WidenWithSurrogates(const wchar_t* units, size_t count, wchar_t* out) {
    std::u16string text(count, u'\0');
    for (size_t i = 0; i < count; ++i) text[i] = static_cast<char16_t>(units[i]);
    return Utf16ToWide(text, out);
}

}  // namespace

// A listing widens every name with this. Where wchar_t holds UTF-16 it is a
// copy; elsewhere eight units at a time where SSE2 is there, noting
// surrogates on the way (the name is widened again when it has one).
size_t LittleEndianUtf16ToWide(std::span<const uint8_t> bytes, size_t units, wchar_t* out) {
    if (units > bytes.size() / 2)
        throw CException(EErrorKind::Corrupt, "Name of %1 units in %2 bytes", units, bytes.size());
    const uint8_t* from = bytes.data();
    if constexpr (sizeof(wchar_t) == 2) {
        for (size_t i = 0; i < units; ++i) out[i] = static_cast<wchar_t>(from[2 * i] | from[2 * i + 1] << 8);
    } else {
        size_t i = 0;
        unsigned surrogates = 0;
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        for (; i < units && 2 * i + 16 <= bytes.size(); i += 8) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 2 * i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi16(chunk, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 4), _mm_unpackhi_epi16(chunk, zero));
            const __m128i high = _mm_and_si128(chunk, _mm_set1_epi16(static_cast<short>(0xF800)));
            // Two bits per unit; units past the name, read with the last chunk, do not count.
            unsigned lanes = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_set1_epi16(static_cast<short>(0xD800)))));
            if (units - i < 8) lanes &= (1u << (2 * (units - i))) - 1;
            surrogates |= lanes;
        }
        if (i > units) i = units;
#endif
        for (; i < units; ++i) {
            const unsigned unit = from[2 * i] | unsigned{from[2 * i + 1]} << 8;
            out[i] = static_cast<wchar_t>(unit);
            surrogates |= (unit & 0xF800) == 0xD800;
        }
        if (surrogates != 0) return WidenWithSurrogates(out, units, out);
    }
    out[units] = 0;
    return units;
}

}  // namespace volcore
