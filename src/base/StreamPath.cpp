#include "base/StreamPath.h"

#include "base/Exception.h"

namespace volcore {

namespace {

constexpr char16_t kSeparator = u'\\';

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
    // One pass back over the last component, which every open of a path
    // makes: the last mark met going back is the component's first.
    size_t end = path.size();
    while (end > 0 && path[end - 1] == kSeparator) --end;
    size_t start = end;
    size_t mark = std::u16string_view::npos;
    for (; start > 0 && path[start - 1] != kSeparator; --start)
        if (path[start - 1] == kStreamMark) mark = start - 1;
    if (mark == std::u16string_view::npos) return result;
    mark -= start;
    std::u16string_view component = path.substr(start, end - start);
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
