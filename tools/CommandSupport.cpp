#include "CommandSupport.h"

#include <utility>

#include "Diagnostics.h"
#include "Text.h"

namespace volkit::tool {

VolumePath PathOperand(const CommandLine& line, size_t index) {
    const std::string& text = line.operands.at(index);
    auto path = VolumePath::Parse(text);
    if (!path) throw UsageError{"path '" + text + "' climbs above the root"};
    if (!path->Wide()) throw UsageError{"path '" + text + "' is not valid UTF-8"};
    return *path;
}

std::string FlagLetters(const EntryInfo& info) {
    std::string letters = info.isDirectory ? "d" : "-";
    letters += info.attributes & kAttributeReadOnly ? 'r' : '-';
    letters += info.attributes & kAttributeHidden ? 'h' : '-';
    letters += info.attributes & kAttributeSystem ? 's' : '-';
    letters += info.attributes & kAttributeArchive ? 'a' : '-';
    return letters;
}

std::string AttributeNames(uint32_t attributes) {
    static const std::pair<uint32_t, const char*> kNames[] = {
        {0x1, "read-only"},  {0x2, "hidden"},     {0x4, "system"},          {0x10, "directory"},
        {0x20, "archive"},   {0x80, "normal"},    {0x100, "temporary"},     {0x200, "sparse"},
        {0x400, "reparse-point"}, {0x800, "compressed"}, {0x1000, "offline"}, {0x2000, "not-indexed"},
        {0x4000, "encrypted"}, {kAttributeIndexed, "indexed"}};
    std::string names;
    for (const auto& [bit, name] : kNames) {
        if ((attributes & bit) == 0) continue;
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names.empty() ? "none" : names;
}

std::string TimeText(uint64_t ntfsTime, bool withFraction) {
    return ntfsTime == 0 ? "-" : FormatNtfsTime(ntfsTime, withFraction);
}

bool IsSystemName(const VolumePath& parent, const std::string& name) {
    return parent.IsRoot() && !name.empty() && name[0] == '$';
}

bool StatOrReport(Engine& engine, const std::string& command, const VolumePath& path, EntryInfo& info) {
    Diagnostics::Clear();
    if (engine.Stat(path, info)) return true;
    ReportFailure(command + " " + path.Display());
    return false;
}

}  // namespace volkit::tool
