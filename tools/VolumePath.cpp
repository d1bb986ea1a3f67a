#include "VolumePath.h"

#include "Text.h"

namespace volcore::tool {

std::optional<CVolumePath> CVolumePath::Parse(std::string_view text) {
    CVolumePath path;
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

CVolumePath CVolumePath::Parent() const {
    CVolumePath parent = *this;
    if (!parent.m_elements.empty()) parent.m_elements.pop_back();
    return parent;
}

CVolumePath CVolumePath::Child(const std::string& name) const {
    CVolumePath child = *this;
    child.m_elements.push_back(name);
    return child;
}

std::string CVolumePath::Display() const {
    if (IsRoot()) return "/";
    std::string text;
    for (const std::string& element : m_elements) text += "/" + element;
    return text;
}

std::optional<std::wstring> CVolumePath::Wide() const {
    std::wstring text;
    for (const std::string& element : m_elements) {
        auto wide = Utf8ToWide(element);
        if (!wide) return std::nullopt;
        text += L'\\' + *wide;
    }
    return text;
}

}  // namespace volcore::tool
