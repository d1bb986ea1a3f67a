#include "VolumePath.h"

#include "Text.h"

namespace volcore::tool {

std::optional<VolumePath> VolumePath::Parse(std::string_view text) {
    VolumePath path;
    std::string element;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '/' && text[i] != '\\') {
            element += text[i];
            continue;
        }
        if (element == "..") {
            if (path.m_elements.empty()) return std::nullopt;
            path.m_elements.pop_back();
        } else if (!element.empty() && element != ".") {
            path.m_elements.push_back(element);
        }
        element.clear();
    }
    return path;
}

VolumePath VolumePath::Parent() const {
    VolumePath parent = *this;
    if (!parent.m_elements.empty()) parent.m_elements.pop_back();
    return parent;
}

VolumePath VolumePath::Child(const std::string& name) const {
    VolumePath child = *this;
    child.m_elements.push_back(name);
    return child;
}

std::string VolumePath::Display() const {
    if (IsRoot()) return "/";
    std::string text;
    for (const std::string& element : m_elements) text += "/" + element;
    return text;
}

std::optional<std::wstring> VolumePath::Wide() const {
    std::wstring text;
    for (const std::string& element : m_elements) {
        auto wide = Utf8ToWide(element);
        if (!wide) return std::nullopt;
        text += L'\\' + *wide;
    }
    return text;
}

}  // namespace volcore::tool
