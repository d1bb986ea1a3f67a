#pragma once
// Conversions between the encodings the library meets: UTF-16 inside the
// engine, wchar_t at the exported boundary, UTF-8 in messages.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace volcore {

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// UTF-8 to UTF-16. Malformed sequences raise CException "Invalid UTF-8 text".
std::u16string Utf8ToUtf16(std::string_view text);

// wchar_t text to UTF-16. Where wchar_t is 16 bits the text is UTF-16 already
// and is copied unchanged, but a surrogate outside a high-low pair raises
// CException "Invalid code point: %1"; where it is 32 bits each unit is one
// code point, and a surrogate or a value above U+10FFFF raises the same.
std::u16string WideToUtf16(std::wstring_view text);

// UTF-16 to wchar_t text (the inverse of WideToUtf16). Unpaired surrogates
// become U+FFFD where wchar_t is 32 bits.
std::wstring Utf16ToWide(std::u16string_view text);
// The same into `out`, whose capacity is reused.
void Utf16ToWide(std::u16string_view text, std::wstring& out);
// The same into `out`, which holds at least text.size() + 1 units: the units
// written, then a terminating zero. Returns the count without the zero.
size_t Utf16ToWide(std::u16string_view text, wchar_t* out);
// The same for `units` units as stored on disk, two little-endian bytes each,
// at the start of `bytes`, which may run on past them: whole 16-byte chunks
// are read while they fit there, so that a short name costs one. `out` holds
// at least units + 8 units (chunks are written whole). Raises when the units
// do not fit in `bytes`.
size_t LittleEndianUtf16ToWide(std::span<const uint8_t> bytes, size_t units, wchar_t* out);

}  // namespace volcore
