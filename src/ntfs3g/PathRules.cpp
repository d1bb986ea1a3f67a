#include "ntfs3g/PathRules.h"

#include <algorithm>

#include "ntfs3g/FamilyLog.h"

namespace volkit::fsfamily {
namespace {

constexpr size_t kMaxNameUnits = 255;

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

std::vector<std::string> PathElements(const std::string& path) {
    std::vector<std::string> elements;
    std::string current;
    for (char c : path) {
        if (IsSeparator(c)) {
            AddElement(elements, std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    AddElement(elements, std::move(current));
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
    std::vector<std::string> elements = PathElements(path);
    if (elements.empty()) Fail("path contains no elements");
    splitResult result;
    result.name = std::move(elements.back());
    elements.pop_back();
    for (const std::string& element : elements) result.parentPath += "/" + element;
    return result;
}

std::vector<ntfschar> convertName(const std::string& name) {
    UnicodeBuffer buffer;
    const int length = ntfs_mbstoucs(name.c_str(), &buffer.units);
    if (length < 0 || buffer.units == nullptr) Fail("failed to convert path");
    if (static_cast<size_t>(length) > kMaxNameUnits) Fail("name is too long");
    return std::vector<ntfschar>(buffer.units, buffer.units + length);
}

}  // namespace volkit::fsfamily
