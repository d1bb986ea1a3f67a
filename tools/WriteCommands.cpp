// put, mkdir, rm, touch and attrib: the commands that change the volume.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "Session.h"
#include "Text.h"
#include "Transfer.h"
#include "VolumeFacts.h"

namespace fs = std::filesystem;

namespace volcore::tool {
namespace {

int Finish(CSession& session, bool ok) {
    ok = session.Close() && ok;
    return ok ? kExitDone : kExitFailed;
}

// Refuses a copy that cannot fit before anything is written.
bool CheckFreeSpace(CSession& session, const SHostTreeSize& size, bool holesKept) {
    SVolumeInfo info;
    CDiagnostics::Clear();
    if (!QueryVolumeInfo(session.Device(), info)) {
        ReportFailure(session.ImagePath());
        return false;
    }
    SBootSectorFacts boot;
    std::string error;
    ReadBootSector(session.Device(), boot, error);  // a volume that mounted has one
    const uint64_t needed = SpaceNeeded(size, info.clusterSize, boot.mftRecordSize, holesKept);
    const uint64_t available = info.freeClusters * info.clusterSize;
    if (needed <= available) return true;
    ReportFailure("put", "not enough free space on the volume (" + std::to_string(needed) + " bytes needed, " +
                             std::to_string(available) + " free)");
    return false;
}

// Where a copy of `source` lands: inside `path` when that is a directory.
// The last element of a host path, also for "dir/" and ".".
std::string HostName(const fs::path& path) {
    std::error_code error;
    const fs::path normal = fs::absolute(path, error).lexically_normal();
    return HostText(normal.has_filename() ? normal.filename() : normal.parent_path().filename());
}

CVolumePath PutTarget(IEngine& engine, const fs::path& source, const CVolumePath& path) {
    SEntryInfo info;
    CDiagnostics::CQuiet quiet;
    const bool intoDirectory = engine.Stat(path, info) && info.isDirectory;
    return intoDirectory ? path.Child(HostName(source)) : path;
}

bool RemoveTree(IEngine& engine, const CVolumePath& path, const SEntryInfo& info) {
    if (info.isDirectory) {
        std::vector<SEntryInfo> children;
        CDiagnostics::Clear();
        if (!engine.List(path, [&](const SEntryInfo& child) { children.push_back(child); })) {
            ReportFailure("rm " + path.Display());
            return false;
        }
        for (const SEntryInfo& child : children)
            if (child.name != "." && child.name != ".." && !RemoveTree(engine, path.Child(child.name), child))
                return false;
    }
    CDiagnostics::Clear();
    if (engine.Remove(path, info.isDirectory)) return true;
    ReportFailure("rm " + path.Display());
    return false;
}

bool IsEmptyDirectory(IEngine& engine, const CVolumePath& path) {
    bool empty = true;
    CDiagnostics::CQuiet quiet;
    engine.List(path, [&](const SEntryInfo& entry) { empty = empty && (entry.name == "." || entry.name == ".."); });
    return empty;
}

// A new object's three times are now, whichever engine made it.
bool StampNew(IEngine& engine, const CVolumePath& path, bool isDirectory) {
    SEntryInfo info;
    if (!engine.Stat(path, info)) return false;
    info.creationTime = info.lastWriteTime = info.lastAccessTime = CurrentNtfsTime();
    return engine.SetAttributesAndTimes(path, isDirectory, info);
}

bool MakeParents(IEngine& engine, const CVolumePath& path) {
    CVolumePath prefix;
    for (const std::string& element : path.Elements()) {
        prefix = prefix.Child(element);
        SEntryInfo info;
        bool exists;
        {
            CDiagnostics::CQuiet quiet;
            exists = engine.Stat(prefix, info);
        }
        CDiagnostics::Clear();
        if (exists && !info.isDirectory) {
            ReportFailure("mkdir " + prefix.Display(), "exists and is not a directory");
            return false;
        }
        if (!exists && !(engine.MakeDirectory(prefix) && StampNew(engine, prefix, true))) {
            ReportFailure("mkdir " + prefix.Display());
            return false;
        }
    }
    return true;
}

std::optional<uint64_t> TimeOption(const SCommandLine& line, const char* name) {
    if (!line.Has(name)) return std::nullopt;
    auto time = ParseNtfsTime(line.options.at(name));
    if (!time) throw SUsageError{std::string(name) + " takes an ISO 8601 time such as 2024-05-01T12:30:00Z"};
    return time;
}

bool ApplyChanges(IEngine& engine, const CVolumePath& path, const SEntryInfo& current, const SEntryInfo& wanted,
                  const std::string& command) {
    CDiagnostics::Clear();
    if (engine.SetAttributesAndTimes(path, current.isDirectory, wanted)) return true;
    ReportFailure(command + " " + path.Display());
    return false;
}

uint32_t AttributeBit(char letter) {
    switch (letter) {
        case 'r': return kAttributeReadOnly;
        case 'h': return kAttributeHidden;
        case 's': return kAttributeSystem;
        default: return kAttributeArchive;
    }
}

}  // namespace

int RunPut(const SCommandLine& line) {
    const fs::path source = HostPath(line.operands[1]);
    const CVolumePath path = PathOperand(line, 2);
    std::error_code error;
    const fs::file_status status = fs::status(source, error);
    const bool sourceIsDirectory = fs::is_directory(status);
    if (!fs::exists(status)) {
        ReportFailure("put", "cannot read '" + HostText(source) + "': no such file or directory");
        return kExitFailed;
    }
    if (!sourceIsDirectory && !fs::is_regular_file(status)) {
        ReportFailure("put", "'" + HostText(source) + "' is not a regular file or directory");
        return kExitFailed;
    }
    if (sourceIsDirectory && !line.Has("-r")) {
        ReportFailure("put", "'" + HostText(source) + "' is a directory (use -r)");
        return kExitFailed;
    }
    CSession session;
    if (!session.OpenDevice(line, platform::EAccess::Write)) return kExitFailed;
    const SHostTreeSize size = MeasureHostTree(source, sourceIsDirectory);
    // The native engine keeps a host file's holes.
    const bool holesKept = EngineFor(line) == EEngineChoice::Native && !line.Has("--no-holes");
    if (!CheckFreeSpace(session, size, holesKept) || !session.Mount(line)) return kExitFailed;
    const CVolumePath target = PutTarget(session.Volume(), source, path);
    platform::CInterruptGuard interrupts;
    CProgressBar progress("put", size.dataBytes);
    CCopier copier(session.Volume(), progress, {line.Has("--force"), true, !line.Has("--no-holes")});
    bool ok = sourceIsDirectory ? copier.TreeIn(source, target) : copier.FileIn(source, target);
    return FinishCopy(session, "put", copier, ok);
}

int RunMkdir(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    if (path.IsRoot()) throw SUsageError{"mkdir needs a path below the root"};
    CSession session;
    if (!session.Open(line, platform::EAccess::Write)) return kExitFailed;
    if (line.Has("-p")) return Finish(session, MakeParents(session.Volume(), path));
    CDiagnostics::Clear();
    bool ok = session.Volume().MakeDirectory(path) && StampNew(session.Volume(), path, true);
    if (!ok) ReportFailure("mkdir " + path.Display());
    return Finish(session, ok);
}

int RunRm(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    if (path.IsRoot()) throw SUsageError{"rm cannot delete the root"};
    CSession session;
    if (!session.Open(line, platform::EAccess::Write)) return kExitFailed;
    IEngine& engine = session.Volume();
    std::vector<SMatch> matches;
    if (!Resolve(engine, "rm", path, false, matches)) return Finish(session, false);
    bool ok = true;
    for (const SMatch& match : matches) {
        if (match.info.isDirectory && line.Has("-r")) {
            ok = RemoveTree(engine, match.path, match.info) && ok;
        } else if (match.info.isDirectory && !IsEmptyDirectory(engine, match.path)) {
            ReportFailure("rm " + match.path.Display(), "directory is not empty (use -r)");
            ok = false;
        } else if (CDiagnostics::Clear(), !engine.Remove(match.path, match.info.isDirectory)) {
            ReportFailure("rm " + match.path.Display());
            ok = false;
        }
    }
    return Finish(session, ok);
}

int RunTouch(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    auto mtime = TimeOption(line, "--mtime"), atime = TimeOption(line, "--atime"), ctime = TimeOption(line, "--ctime");
    // One instant for every time a plain touch sets, so a new file is not created after its last write.
    const uint64_t now = CurrentNtfsTime();
    if (!mtime && !atime && !ctime) mtime = atime = now;
    CSession session;
    if (!session.Open(line, platform::EAccess::Write)) return kExitFailed;
    IEngine& engine = session.Volume();
    SEntryInfo info;
    bool exists;
    {
        CDiagnostics::CQuiet quiet;
        exists = engine.Stat(path, info);
    }
    if (!exists) {
        std::unique_ptr<IFileStream> stream;
        CDiagnostics::Clear();
        if (!engine.CreateFile(path, stream) || !stream->Close()) {
            ReportFailure("touch " + path.Display());
            return Finish(session, false);
        }
        if (!StatOrReport(engine, "touch", path, info)) return Finish(session, false);
        info.creationTime = info.lastWriteTime = info.lastAccessTime = now;
    }
    SEntryInfo wanted = info;
    wanted.lastWriteTime = mtime.value_or(info.lastWriteTime);
    wanted.lastAccessTime = atime.value_or(info.lastAccessTime);
    wanted.creationTime = ctime.value_or(info.creationTime);
    return Finish(session, ApplyChanges(engine, path, info, wanted, "touch"));
}

int RunAttrib(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    CSession session;
    if (!session.Open(line, line.attributeChanges.empty() ? platform::EAccess::Read : platform::EAccess::Write)) return kExitFailed;
    IEngine& engine = session.Volume();
    SEntryInfo info;
    if (!StatOrReport(engine, "attrib", path, info)) return Finish(session, false);
    if (line.attributeChanges.empty()) {
        std::printf("%s  %s\n", FlagLetters(info).c_str(), path.Display().c_str());
        return Finish(session, true);
    }
    SEntryInfo wanted = info;
    for (const std::string& change : line.attributeChanges) {
        const uint32_t bit = AttributeBit(change[1]);
        wanted.attributes = change[0] == '+' ? wanted.attributes | bit : wanted.attributes & ~bit;
    }
    const uint32_t changed = wanted.attributes ^ info.attributes;
    if ((changed & ~engine.ChangeableAttributes()) != 0) {
        ReportFailure("attrib " + path.Display(), std::string("the ") + engine.Name() +
                                                      " engine cannot change the system flag; try --engine native");
        return Finish(session, false);
    }
    return Finish(session, ApplyChanges(engine, path, info, wanted, "attrib"));
}

}  // namespace volcore::tool
