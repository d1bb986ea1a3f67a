#include "Text.h"

#include <chrono>
#include <cstdio>
#include <locale>

#include "base/Utf.h"

namespace volcore::tool {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays1601 = 134'774;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct SCivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

SCivilDate CivilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2), month, day};
}

unsigned DaysInMonth(int64_t year, unsigned month) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads a fixed number of decimal digits at `pos`.
std::optional<unsigned> Digits(std::string_view text, size_t pos, size_t count) {
    if (pos + count > text.size()) return std::nullopt;
    unsigned value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<std::wstring> Utf8ToWide(std::string_view text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const std::optional<char32_t> next = utf::NextUtf8(text, i);
        if (!next) return std::nullopt;
        char32_t codePoint = *next;
        if (sizeof(wchar_t) == 2 && codePoint >= 0x10000) {  // UTF-16 (Windows): a surrogate pair
            codePoint -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
            codePoint = 0xDC00 + (codePoint & 0x3FF);
        }
        out += static_cast<wchar_t>(codePoint);
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    if (sizeof(wchar_t) == 2) return Utf16ToUtf8(std::u16string(text.begin(), text.end()));
    std::string out;
    for (wchar_t unit : text) {
        const auto codePoint = static_cast<char32_t>(unit);
        utf::AppendUtf8(out, utf::IsScalar(codePoint) ? codePoint : utf::kReplacement);
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) { return utf::Utf16ToUtf8(text); }

std::optional<uint64_t> ParseUnsigned(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<uint64_t> ParseByteSize(std::string_view text) {
    unsigned shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
            case 'k': case 'K': shift = 10; break;
            case 'm': case 'M': shift = 20; break;
            case 'g': case 'G': shift = 30; break;
            case 't': case 'T': shift = 40; break;
            default: break;
        }
    }
    if (shift != 0) text.remove_suffix(1);
    auto value = ParseUnsigned(text);
    if (!value || (shift != 0 && *value > (UINT64_MAX >> shift))) return std::nullopt;
    return *value << shift;
}

std::string FormatNtfsTime(uint64_t ntfsTime, bool withFraction) {
    const auto seconds = static_cast<int64_t>(ntfsTime / kTicksPerSecond);
    const auto fraction = static_cast<unsigned>(ntfsTime % kTicksPerSecond);
    const SCivilDate date = CivilFromDays(seconds / kSecondsPerDay - kEpochDays1601);
    const int64_t secondOfDay = seconds % kSecondsPerDay;
    char text[64];
    int length = std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                               static_cast<long long>(date.year), date.month, date.day,
                               static_cast<long long>(secondOfDay / 3600),
                               static_cast<long long>(secondOfDay / 60 % 60),
                               static_cast<long long>(secondOfDay % 60));
    if (withFraction && fraction != 0) std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ".%07u", fraction);
    return std::string(text) + "Z";
}

std::optional<uint64_t> ParseNtfsTime(std::string_view text) {
    if (text == "now") return CurrentNtfsTime();
    if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
    auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-') return std::nullopt;
    if (*year < 1601 || *month < 1 || *month > 12 || *day < 1 || *day > DaysInMonth(*year, *month))
        return std::nullopt;
    unsigned hour = 0, minute = 0, second = 0;
    uint64_t fraction = 0;
    size_t pos = 10;
    if (pos < text.size()) {
        if (text[pos] != 'T' && text[pos] != ' ') return std::nullopt;
        auto h = Digits(text, 11, 2), m = Digits(text, 14, 2);
        if (!h || !m || text.size() < 16 || text[13] != ':' || *h > 23 || *m > 59) return std::nullopt;
        hour = *h, minute = *m, pos = 16;
        if (pos < text.size()) {
            auto s = Digits(text, 17, 2);
            if (text[pos] != ':' || !s || *s > 59) return std::nullopt;
            second = *s, pos = 19;
        }
        if (pos < text.size()) {
            if (text[pos] != '.' || pos + 1 == text.size()) return std::nullopt;
            uint64_t scale = kTicksPerSecond;
            for (++pos; pos < text.size(); ++pos) {
                if (text[pos] < '0' || text[pos] > '9') return std::nullopt;
                scale /= 10;  // digits beyond 100 ns are dropped
                fraction += static_cast<uint64_t>(text[pos] - '0') * scale;
            }
        }
    }
    const int64_t days = DaysFromCivil(*year, *month, *day) + kEpochDays1601;
    const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    return static_cast<uint64_t>(seconds) * kTicksPerSecond + fraction;
}

uint64_t CurrentNtfsTime() {
    using namespace std::chrono;
    const auto sinceUnix = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<uint64_t>(sinceUnix / 100 + kEpochDays1601 * kSecondsPerDay * kTicksPerSecond);
}

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

std::wstring FoldCase(std::string_view name) {
    static const std::ctype<wchar_t>* const letters = []() -> const std::ctype<wchar_t>* {
        try {
            static const std::locale utf8("C.UTF-8");
            return &std::use_facet<std::ctype<wchar_t>>(utf8);
        } catch (const std::exception&) {
            return nullptr;
        }
    }();
    std::wstring folded = Utf8ToWide(name).value_or(L"");
    for (wchar_t& c : folded) c = letters ? letters->toupper(c) : c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c;
    return folded;
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
    const std::wstring p = FoldCase(pattern), n = FoldCase(name);
    // The last * seen and where the name stood then: on a mismatch the * takes one more character.
    size_t pi = 0, ni = 0, starAt = std::wstring::npos, starName = 0;
    while (ni < n.size()) {
        if (pi < p.size() && p[pi] == L'*') {
            starAt = pi++, starName = ni;
        } else if (pi < p.size() && (p[pi] == L'?' || p[pi] == n[ni])) {
            ++pi, ++ni;
        } else if (starAt != std::wstring::npos) {
            pi = starAt + 1, ni = ++starName;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == L'*') ++pi;
    return pi == p.size();
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string HumanSize(uint64_t bytes) {
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) value /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace volcore::tool
