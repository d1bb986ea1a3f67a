#pragma once
// A path inside the volume as the user typed it (/ or \ between elements),
// and the form each family takes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace volcore::tool {

class CVolumePath {
public:
    CVolumePath() = default;  // the root
    // Splits at / and \; empty and "." elements go, ".." takes one back.
    // Empty when ".." climbs above the root.
    static std::optional<CVolumePath> Parse(std::string_view text);

    bool IsRoot() const { return m_elements.empty(); }
    const std::vector<std::string>& Elements() const { return m_elements; }
    std::string Name() const { return IsRoot() ? std::string() : m_elements.back(); }
    CVolumePath Parent() const;
    CVolumePath Child(const std::string& name) const;

    // "/a/b" for the user and for the filesystem family ("/" for the root).
    std::string Display() const;
    // "\a\b" as wide text for the handle family; empty when an element is not UTF-8.
    std::optional<std::wstring> Wide() const;

private:
    std::vector<std::string> m_elements;
};

}  // namespace volcore::tool
