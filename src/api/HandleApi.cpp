#include "api/HandleApi.h"

#include <cstdint>
#include <cwchar>

#include "base/Unicode.h"

namespace volcore {

std::u16string PathArgument(const wchar_t* path) {
    if (!path) throw CException(EErrorKind::Argument, "Invalid path: null pointer");
    return WideToUtf16(path);
}

CPathArgument::CPathArgument(const wchar_t* path) {
    if (!path) throw CException(EErrorKind::Argument, "Invalid path: null pointer");
    const size_t length = std::wcslen(path);
    if (length <= kInline) {
        // As in WideToUtf16: an OR of the units proves them all plain.
        uint32_t any = 0;
        for (size_t i = 0; i < length; ++i) {
            auto unit = static_cast<uint32_t>(path[i]);
            any |= unit;
            m_inline[i] = static_cast<char16_t>(unit);
        }
        if (any < 0xD800) {
            m_view = std::u16string_view(m_inline.data(), length);
            return;
        }
    }
    m_long = WideToUtf16(std::wstring_view(path, length));
    m_view = m_long;
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

std::shared_ptr<CDirectory> ParentOfNewName(CVolume& volume, const wchar_t* path, std::u16string& name) {
    SParentAndName target = SplitLastComponent(PathArgument(path));
    name = std::move(target.name);
    return CDirectory::Open(volume, volume.ResolvePath(target.parentPath));
}

void CheckNothingGivenUp(const CFsObject& object) {
    if (object.IsAbandoned() && !object.IsDeleted()) object.CheckUsable();
}

void RaiseUnwritten(const char* kind, const CFsObject& object, const std::exception& failure,
                    std::exception_ptr earlier) {
    uint64_t record = RecordNumber(object.GetReference());
    if (!earlier)
        throw CException(KindOf(failure, EErrorKind::Io), "Changes to %1 %2 (%3) were not written: %4", kind,
                         object.GetName(), record, failure.what());
    try {
        std::rethrow_exception(earlier);
    } catch (const std::exception& first) {
        throw CException(KindOf(failure, EErrorKind::Io), "%1; changes to %2 %3 (%4) were not written: %5",
                         first.what(), kind, object.GetName(), record, failure.what());
    }
}

}  // namespace volcore
