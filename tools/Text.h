#pragma once
// Conversions the tool needs between what a user types and what the library
// takes: UTF-8 and wide text, byte sizes with suffixes, NTFS time stamps.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace volcore::tool {

// Strict UTF-8 decoding into one code point per wchar_t where wchar_t is 32
// bits, into UTF-16 where it is 16 (Windows). Empty when the text is malformed.
std::optional<std::wstring> Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
// UTF-16 as the filesystem family stores names; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// "4096", "64K", "64M", "2G", "1T" (binary multiples). Empty when malformed or
// when the value does not fit 64 bits.
std::optional<uint64_t> ParseByteSize(std::string_view text);
std::optional<uint64_t> ParseUnsigned(std::string_view text);

// NTFS time stamps (100 ns since 1601-01-01 UTC) to and from ISO 8601 in UTC:
// "2024-05-01T12:30:00Z", with ".fffffff" when there are fractions of a second.
std::string FormatNtfsTime(uint64_t ntfsTime, bool withFraction = true);
// Accepts "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS[.f…]]" with an optional "Z"
// (the time is taken as UTC either way) and "now".
std::optional<uint64_t> ParseNtfsTime(std::string_view text);
uint64_t CurrentNtfsTime();

// The name in capitals, as NTFS compares names (beyond ASCII where the
// system knows the letters).
std::wstring FoldCase(std::string_view name);

// Whether `name` matches `pattern`, where * stands for any run of characters
// and ? for one; letters compare without regard to case, as NTFS names do.
bool MatchesWildcard(std::string_view pattern, std::string_view name);
bool HasWildcard(std::string_view text);

// The text as a JSON string, quotes included.
std::string JsonString(std::string_view text);

// "12345" as "12 KiB"-style text for the humans reading `info`.
std::string HumanSize(uint64_t bytes);

}  // namespace volcore::tool
