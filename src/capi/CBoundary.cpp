#include "capi/CBoundary.h"

#include <algorithm>

#include "api/Boundary.h"
#include "base/Exception.h"
#include "base/Unicode.h"
#include "base/Utf.h"

namespace volcore::capi {

void ReportUnexpected(const char* name, const char* reason) noexcept {
    try {
        LogError(FormatText("Unexpected failure in %1: %2", name, reason));
    } catch (...) {
        // No memory even for the line: false alone says it.
    }
}

bool NullArgument(const char* name) {
    LogError(FormatText("Invalid argument of %1: null pointer", name));
    return false;
}

std::wstring WideFromUtf16(const uint16_t* text) {
    std::wstring wide;
    for (const uint16_t* unit = text; *unit; ++unit) {
        const char32_t first = *unit;
        if constexpr (sizeof(wchar_t) == 4) {
            if (utf::IsHighSurrogate(first) && utf::IsLowSurrogate(unit[1])) {
                const char32_t second = *++unit;
                wide.push_back(static_cast<wchar_t>(0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00)));
                continue;
            }
        }
        wide.push_back(static_cast<wchar_t>(first));
    }
    return wide;
}

std::wstring WideFromUtf8(const char* text) { return Utf16ToWide(Utf8ToUtf16(text)); }

bool Utf8PathArgument(const char* path, const char* failureText, std::wstring& wide) {
    return RunExportedDescribed([&] { wide = WideFromUtf8(path); },
                                [&](const char* reason) {
                                    std::string shown;
                                    std::string_view text(path);
                                    for (size_t i = 0; i < text.size();) {
                                        std::optional<char32_t> cp = utf::NextUtf8(text, i);
                                        if (!cp) ++i;
                                        utf::AppendUtf8(shown, cp.value_or(utf::kReplacement));
                                    }
                                    return FormatText(failureText, shown, reason);
                                });
}

void NameForCaller(std::wstring_view name, std::vector<uint16_t>& units, std::string& utf8) {
    // Plain ASCII names (most) fill both forms directly, in buffers that keep
    // their memory from one entry of a listing to the next.
    if (std::all_of(name.begin(), name.end(), [](wchar_t unit) { return static_cast<char32_t>(unit) < 0x80; })) {
        units.assign(name.begin(), name.end());
        units.push_back(0);
        utf8.assign(name.begin(), name.end());
        return;
    }
    std::u16string text;
    for (wchar_t unit : name) {
        const auto cp = static_cast<char32_t>(unit);
        if (sizeof(wchar_t) == 2 || cp <= 0xFFFF || cp > utf::kLargest)
            text.push_back(static_cast<char16_t>(cp <= 0xFFFF ? cp : utf::kReplacement));
        else
            utf::AppendUtf16(text, cp);
    }
    units.assign(text.begin(), text.end());
    units.push_back(0);
    utf8 = utf::Utf16ToUtf8(text);
}

volkit::api::NtfsAttributesAndTime TimesFromCaller(const volkit_times& times) {
    volkit::api::NtfsAttributesAndTime values;
    values.creationTime = times.creation_time;
    values.lastAccessTime = times.last_access_time;
    values.lastWriteTime = times.last_write_time;
    values.attributes = times.attributes;
    return values;
}

volkit_times TimesForCaller(const volkit::api::NtfsAttributesAndTime& values) {
    volkit_times times{};
    times.creation_time = values.creationTime;
    times.last_access_time = values.lastAccessTime;
    times.last_write_time = values.lastWriteTime;
    times.attributes = values.attributes;
    return times;
}

}  // namespace volcore::capi
