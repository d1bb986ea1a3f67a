#pragma once
// Paths that name a named $DATA stream of a file, as Windows spells them:
// "dir\file:stream", "dir\file:stream:$DATA", and "dir\file::$DATA" for the
// unnamed stream. Only the last component may carry the stream part.
#include <string>
#include <string_view>

namespace volcore {

inline constexpr char16_t kStreamMark = u':';

// Whether the last component (trailing separators aside) holds a stream mark:
// the test every open makes, without building the split.
inline bool MayNameStream(std::u16string_view path) {
    size_t end = path.size();
    while (end > 0 && path[end - 1] == u'\\') --end;
    for (; end > 0 && path[end - 1] != u'\\'; --end)
        if (path[end - 1] == kStreamMark) return true;
    return false;
}

struct SStreamPath {
    std::u16string_view filePath;  // the path up to the stream part
    std::u16string stream;         // empty: the unnamed $DATA
    bool hasStream = false;        // the last component carries a ':'
};

// Splits off the stream part; raises "Invalid stream name %1" for an empty
// name ("file:") and "Invalid stream type %1" for a type other than $DATA.
SStreamPath SplitStreamPath(std::u16string_view path);

}  // namespace volcore
