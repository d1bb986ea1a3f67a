#include "base/StreamPath.h"

#include "base/Exception.h"

namespace volcore {

namespace {

constexpr char16_t kSeparator = u'\\';
constexpr char16_t kStreamMark = u':';

bool IsDataType(std::u16string_view type) {
    constexpr std::u16string_view kData = u"$DATA";
    if (type.size() != kData.size()) return false;
    for (size_t i = 0; i < type.size(); ++i) {
        char16_t unit = type[i] >= u'a' && type[i] <= u'z' ? static_cast<char16_t>(type[i] - u'a' + u'A') : type[i];
        if (unit != kData[i]) return false;
    }
    return true;
}

}  // namespace

SStreamPath SplitStreamPath(std::u16string_view path) {
    SStreamPath result;
    result.filePath = path;
    size_t end = path.find_last_not_of(kSeparator);
    if (end == std::u16string_view::npos) return result;
    size_t start = path.find_last_of(kSeparator, end);
    start = start == std::u16string_view::npos ? 0 : start + 1;
    std::u16string_view component = path.substr(start, end + 1 - start);
    size_t mark = component.find(kStreamMark);
    if (mark == std::u16string_view::npos) return result;
    result.hasStream = true;
    result.filePath = path.substr(0, start + mark);
    std::u16string_view rest = component.substr(mark + 1);
    size_t typeMark = rest.find(kStreamMark);
    if (typeMark != std::u16string_view::npos) {
        if (!IsDataType(rest.substr(typeMark + 1)))
            throw CException(EErrorKind::Argument, "Invalid stream type %1", rest.substr(typeMark + 1));
        rest = rest.substr(0, typeMark);
    } else if (rest.empty()) {
        throw CException(EErrorKind::Argument, "Invalid stream name %1", component);
    }
    result.stream = rest;
    return result;
}

}  // namespace volcore
