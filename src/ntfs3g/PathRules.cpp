#include "ntfs3g/PathRules.h"

#include <algorithm>

#include "base/Exception.h"
#include "base/NameRules.h"
#include "base/Unicode.h"
#include "ntfs3g/FamilyLog.h"

namespace volcore::fsfamily {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

void AddElement(std::vector<std::string>& elements, std::string element) {
    if (element.empty() || element == ".") return;
    if (element == "..") {
        if (elements.empty()) Fail("relative path points outside of the given path");
        elements.pop_back();
        return;
    }
    elements.push_back(std::move(element));
}

std::vector<std::string> ResolvedElements(const std::string& path) {
    std::vector<std::string> elements;
    for (std::string& element : PathElements(path)) AddElement(elements, std::move(element));
    return elements;
}

// Owns the buffer that ntfs_mbstoucs allocates.
struct SUnicodeBuffer {
    ntfschar* units = nullptr;
    ~SUnicodeBuffer() { std::free(units); }
};

}  // namespace

std::string NormalizePath(const char* path) {
    if (path == nullptr) Fail("cannot normalize empty path");
    std::string normalized(path);
    std::replace(normalized.begin(), normalized.end(), '\\', '/');
    return normalized;
}

SParentAndName SplitParentAndName(const std::string& path) {
    std::vector<std::string> elements = ResolvedElements(path);
    if (elements.empty()) Fail("path contains no elements");
    SParentAndName result;
    result.name = std::move(elements.back());
    elements.pop_back();
    for (const std::string& element : elements) result.parentPath += "/" + element;
    return result;
}

namespace {

// Where the last element's first ':' is, or npos.
size_t StreamMark(const std::string& normalized, size_t& start, size_t& end) {
    end = normalized.find_last_not_of('/');
    if (end == std::string::npos) return std::string::npos;
    const size_t lastSlash = normalized.rfind('/', end);
    start = lastSlash == std::string::npos ? 0 : lastSlash + 1;
    const size_t mark = normalized.find(':', start);
    return mark > end ? std::string::npos : mark;
}

}  // namespace

bool HasStreamPart(const std::string& normalized) {
    size_t start = 0, end = 0;
    return StreamMark(normalized, start, end) != std::string::npos;
}

SNamedStreamPath SplitAtStream(const std::string& normalized) {
    size_t start = 0, end = 0;
    const size_t mark = StreamMark(normalized, start, end);
    if (mark == std::string::npos) return SNamedStreamPath{false, normalized, {}};
    if (mark == start) Fail("invalid stream name");  // a stream of no file
    std::string rest = normalized.substr(mark + 1, end - mark);
    const size_t typeMark = rest.find(':');
    if (typeMark != std::string::npos) {
        std::string type = rest.substr(typeMark + 1);
        std::transform(type.begin(), type.end(), type.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
        if (type != "$DATA") Fail("invalid stream type");
        rest.resize(typeMark);
    } else if (rest.empty()) {
        Fail("invalid stream name");
    }
    return SNamedStreamPath{true, normalized.substr(0, mark), std::move(rest)};
}

std::vector<std::string> PathElements(const std::string& path) {
    std::vector<std::string> elements;
    std::string current;
    for (char c : path + '/') {
        if (!IsSeparator(c)) {
            current.push_back(c);
        } else if (!current.empty()) {
            elements.push_back(std::move(current));
            current.clear();
        }
    }
    return elements;
}

std::vector<ntfschar> ConvertNewName(const std::string& name) {
    std::u16string units;
    try {
        units = volcore::Utf8ToUtf16(name);
    } catch (const volcore::CException&) {
        Fail("failed to convert path");
    }
    if (const char* problem = volcore::NewNameProblem(units)) Fail(problem);
    std::vector<ntfschar> stored;
    for (char16_t unit : units) stored.push_back(cpu_to_le16(unit));
    return stored;
}

std::vector<ntfschar> ConvertExistingName(const std::string& name) {
    SUnicodeBuffer buffer;
    const int length = ntfs_mbstoucs(name.c_str(), &buffer.units);
    if (length <= 0 || buffer.units == nullptr || static_cast<size_t>(length) > volcore::kMaxNameUnits) return {};
    return std::vector<ntfschar>(buffer.units, buffer.units + length);
}

}  // namespace volcore::fsfamily
