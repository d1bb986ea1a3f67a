#include "CommandSupport.h"

#include <cstdio>
#include <utility>

#include "Commands.h"
#include "Diagnostics.h"
#include "Session.h"
#include "Text.h"
#include "Transfer.h"

namespace volcore::tool {

CVolumePath PathOperand(const SCommandLine& line, size_t index) {
    const std::string& text = line.operands.at(index);
    auto path = CVolumePath::Parse(text);
    if (!path) throw SUsageError{"path '" + text + "' climbs above the root"};
    if (!path->Wide()) throw SUsageError{"path '" + text + "' is not valid UTF-8"};
    return *path;
}

std::filesystem::path HostPath(const std::string& utf8) { return std::u8string(utf8.begin(), utf8.end()); }

std::string HostText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string FlagLetters(const SEntryInfo& info) {
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

bool IsSystemName(const CVolumePath& parent, const std::string& name) {
    return parent.IsRoot() && !name.empty() && name[0] == '$';
}

bool StatOrReport(IEngine& engine, const std::string& command, const CVolumePath& path, SEntryInfo& info) {
    CDiagnostics::Clear();
    if (engine.Stat(path, info)) return true;
    ReportFailure(command + " " + path.Display());
    return false;
}

}  // namespace volcore::tool

namespace volcore::tool {

bool IEngine::MakeSymlink(const CVolumePath& path, const std::string& target, bool directory) {
    (void)path, (void)target, (void)directory;
    CDiagnostics::Note(std::string("symbolic links cannot be made by the ") + Name() + " engine (use --engine native)");
    return false;
}

SEntryInfo OwnFacts(IEngine& engine, const CVolumePath& path, const SEntryInfo& listed) {
    SEntryInfo own;
    CDiagnostics::CQuiet quiet;
    if (!engine.Stat(path, own)) return listed;
    own.name = listed.name;
    return own;
}

int FinishCopy(CSession& session, const std::string& command, const CCopier& copier, bool ok) {
    ok = session.Close() && ok;
    if (copier.WasInterrupted()) {
        BreakProgressLine();
        std::fprintf(stderr, "volkit: %s: copy interrupted; the files copied before it are complete\n", command.c_str());
        return kExitInterrupted;
    }
    return ok && !copier.SkippedSome() ? kExitDone : kExitFailed;
}

bool Resolve(IEngine& engine, const std::string& command, const CVolumePath& path, bool withSystem,
             std::vector<SMatch>& matches) {
    matches.clear();
    if (!HasWildcard(path.Name())) {
        SEntryInfo info;
        if (!StatOrReport(engine, command, path, info)) return false;
        matches.push_back({path, info});
        return true;
    }
    const CVolumePath parent = path.Parent();
    CDiagnostics::Clear();
    bool listed = engine.List(parent, [&](const SEntryInfo& entry) {
        if (entry.name == "." || entry.name == ".." || (!withSystem && IsSystemName(parent, entry.name))) return;
        if (MatchesWildcard(path.Name(), entry.name)) matches.push_back({parent.Child(entry.name), entry});
    });
    if (!listed) {
        ReportFailure(command + " " + path.Display());
        return false;
    }
    if (matches.empty()) ReportFailure(command + " " + path.Display(), "no match");
    return !matches.empty();
}

std::string EntryJson(const CVolumePath& path, const SEntryInfo& info) {
    auto time = [](uint64_t ntfsTime) { return ntfsTime == 0 ? std::string("null") : JsonString(FormatNtfsTime(ntfsTime)); };
    return "{\"path\": " + JsonString(path.Display()) + ", \"name\": " + JsonString(path.IsRoot() ? "/" : info.name) +
           ", \"type\": \"" + (info.isDirectory ? "directory" : "file") + "\", \"size\": " + std::to_string(info.size) +
           ", \"links\": " + std::to_string(info.links) + ", \"attributes\": " + std::to_string(info.attributes) +
           ", \"flags\": " + JsonString(FlagLetters(info)) +
           ", \"created\": " + time(info.creationTime) + ", \"modified\": " + time(info.lastWriteTime) +
           ", \"accessed\": " + time(info.lastAccessTime) + "}";
}

}  // namespace volcore::tool
