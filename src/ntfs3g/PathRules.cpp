#include "ntfs3g/PathRules.h"

#include <algorithm>

#include "api/Exception.h"
#include "api/NameRules.h"
#include "api/Unicode.h"
#include "ntfs3g/FamilyLog.h"

namespace volkit::fsfamily {
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
struct UnicodeBuffer {
    ntfschar* units = nullptr;
    ~UnicodeBuffer() { std::free(units); }
};

}  // namespace

std::string normalizePath(const char* path) {
    if (path == nullptr) Fail("cannot normalize empty path");
    std::string normalized(path);
    std::replace(normalized.begin(), normalized.end(), '\\', '/');
    return normalized;
}

splitResult splitPath(const std::string& path) {
    std::vector<std::string> elements = ResolvedElements(path);
    if (elements.empty()) Fail("path contains no elements");
    splitResult result;
    result.name = std::move(elements.back());
    elements.pop_back();
    for (const std::string& element : elements) result.parentPath += "/" + element;
    return result;
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

std::vector<ntfschar> convertName(const std::string& name) {
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

std::vector<ntfschar> lookupName(const std::string& name) {
    UnicodeBuffer buffer;
    const int length = ntfs_mbstoucs(name.c_str(), &buffer.units);
    if (length <= 0 || buffer.units == nullptr || static_cast<size_t>(length) > volcore::kMaxNameUnits) return {};
    return std::vector<ntfschar>(buffer.units, buffer.units + length);
}

}  // namespace volkit::fsfamily
