// ls, stat, cat and get: the commands that only read the volume.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "Session.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace volkit::tool {
namespace {

void PrintEntry(const EntryInfo& entry, bool longForm) {
    if (!longForm) {
        std::printf("%s\n", entry.name.c_str());
        return;
    }
    // Whole seconds keep the columns aligned; stat shows the full stamps.
    std::printf("%s %12llu  %-20s  %-20s  %-20s  %s\n", FlagLetters(entry).c_str(),
                static_cast<unsigned long long>(entry.size), TimeText(entry.creationTime, false).c_str(),
                TimeText(entry.lastWriteTime, false).c_str(), TimeText(entry.lastAccessTime, false).c_str(),
                entry.name.c_str());
}

bool ListDirectory(Engine& engine, const VolumePath& directory, bool longForm, bool recursive, bool heading) {
    std::vector<EntryInfo> entries;
    Diagnostics::Clear();
    if (!engine.List(directory, [&](const EntryInfo& entry) { entries.push_back(entry); })) {
        ReportFailure("ls " + directory.Display());
        return false;
    }
    if (heading) std::printf("%s:\n", directory.Display().c_str());
    for (const EntryInfo& entry : entries) PrintEntry(entry, longForm);
    if (!recursive) return true;
    bool ok = true;
    for (const EntryInfo& entry : entries) {
        if (!entry.isDirectory || entry.name == "." || entry.name == "..") continue;
        std::printf("\n");
        ok = ListDirectory(engine, directory.Child(entry.name), longForm, true, true) && ok;
    }
    return ok;
}

int Finish(Session& session, bool ok) {
    ok = session.Close() && ok;
    return ok ? kExitDone : kExitFailed;
}

}  // namespace

int RunLs(const CommandLine& line) {
    const VolumePath path = line.operands.size() > 1 ? PathOperand(line, 1) : VolumePath();
    Session session;
    if (!session.Open(line, true)) return kExitFailed;
    EntryInfo info;
    if (!StatOrReport(session.Volume(), "ls", path, info)) return Finish(session, false);
    if (!info.isDirectory) {
        PrintEntry(info, line.Has("-l"));
        return Finish(session, true);
    }
    bool ok = ListDirectory(session.Volume(), path, line.Has("-l"), line.Has("-R"), line.Has("-R"));
    return Finish(session, ok);
}

int RunStat(const CommandLine& line) {
    const VolumePath path = PathOperand(line, 1);
    Session session;
    if (!session.Open(line, true)) return kExitFailed;
    EntryInfo info;
    if (!StatOrReport(session.Volume(), "stat", path, info)) return Finish(session, false);
    std::printf("path:       %s\n", path.Display().c_str());
    std::printf("type:       %s\n", info.isDirectory ? "directory" : "file");
    if (!info.isDirectory) std::printf("size:       %llu\n", static_cast<unsigned long long>(info.size));
    std::printf("attributes: 0x%08x (%s)\n", info.attributes, AttributeNames(info.attributes).c_str());
    std::printf("created:    %s\n", TimeText(info.creationTime).c_str());
    std::printf("modified:   %s\n", TimeText(info.lastWriteTime).c_str());
    std::printf("accessed:   %s\n", TimeText(info.lastAccessTime).c_str());
    return Finish(session, true);
}

int RunCat(const CommandLine& line) {
    const VolumePath path = PathOperand(line, 1);
    Session session;
    if (!session.Open(line, true)) return kExitFailed;
    EntryInfo info;
    if (!StatOrReport(session.Volume(), "cat", path, info)) return Finish(session, false);
    if (info.isDirectory) {
        ReportFailure("cat " + path.Display(), "is a directory");
        return Finish(session, false);
    }
    // Text on a terminal is its own progress display.
    ProgressBar none("", 0, false);
    bool ok = CopyFileToStream(session.Volume(), path, stdout, "standard output", none, "cat");
    ok = std::fflush(stdout) == 0 && ok;
    return Finish(session, ok);
}

int RunGet(const CommandLine& line) {
    const VolumePath path = PathOperand(line, 1);
    if (path.IsRoot() && line.operands.size() < 3) throw UsageError{"get of the root needs a DEST"};
    Session session;
    if (!session.Open(line, true)) return kExitFailed;
    Engine& engine = session.Volume();
    EntryInfo info;
    if (!StatOrReport(engine, "get", path, info)) return Finish(session, false);
    if (info.isDirectory && !line.Has("-r")) {
        ReportFailure("get " + path.Display(), "is a directory (use -r)");
        return Finish(session, false);
    }
    fs::path target = line.operands.size() > 2 ? fs::path(line.operands[2]) : fs::path(path.Name());
    std::error_code error;
    if (fs::is_directory(target, error) && !path.IsRoot()) target /= path.Name();
    ProgressBar progress("get", MeasureVolumeTree(engine, path, info));
    bool ok = info.isDirectory ? CopyTreeOut(engine, path, target, progress)
                               : CopyFileOut(engine, path, target, progress);
    return Finish(session, ok);
}

}  // namespace volkit::tool
