// ls, stat, cat and get: the file commands that only read the volume.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "Platform.h"
#include "Session.h"
#include "Text.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace volcore::tool {
namespace {

struct SLsOptions {
    bool longForm;
    bool recursive;
    bool all;
    bool json;
    bool streams;
};

// A link shows where it points, as ls -l shows it.
std::string NameWithTarget(const SEntryInfo& entry) {
    return entry.linkTarget.empty() ? entry.name : entry.name + " -> " + entry.linkTarget;
}

// ls's output: lines, or one JSON array of every entry it met.
class CLsOutput {
public:
    explicit CLsOutput(const SLsOptions& options) : m_options(options) {
        if (m_options.json) std::printf("[");
    }

    void Heading(const CVolumePath& directory) {
        if (m_options.json) return;
        std::printf("%s%s:\n", m_printed ? "\n" : "", directory.Display().c_str());
        m_printed = true;
    }

    void Entry(const CVolumePath& path, const SEntryInfo& entry) {
        if (m_options.json)
            std::printf("%s\n  %s", m_printed ? "," : "", EntryJson(path, entry).c_str());
        else if (!m_options.longForm)
            std::printf("%s\n", entry.name.c_str());
        else  // whole seconds keep the columns aligned; stat shows the full stamps
            std::printf("%s %3s %12llu  %-20s  %-20s  %-20s  %s\n", FlagLetters(entry).c_str(),
                        entry.links ? std::to_string(entry.links).c_str() : "-",
                        static_cast<unsigned long long>(entry.size), TimeText(entry.creationTime, false).c_str(),
                        TimeText(entry.lastWriteTime, false).c_str(), TimeText(entry.lastAccessTime, false).c_str(),
                        NameWithTarget(entry).c_str());
        m_printed = true;
    }

    // A file's named streams under its line, as "  name:stream  size".
    void Streams(IEngine& engine, const CVolumePath& path, const SEntryInfo& entry) {
        if (!m_options.streams || m_options.json || entry.isDirectory) return;
        engine.ListStreams(path, [&](const IEngine::SStreamInfo& stream) {
            std::printf("  %s:%s  %llu\n", entry.name.c_str(), stream.name.c_str(),
                        static_cast<unsigned long long>(stream.size));
        });
    }

    void Finish() {
        if (m_options.json) std::printf("%s]\n", m_printed ? "\n" : "");
    }

private:
    SLsOptions m_options;
    bool m_printed = false;
};

bool ListDirectory(IEngine& engine, const CVolumePath& directory, const SLsOptions& options, CLsOutput& out,
                   bool heading) {
    std::vector<SEntryInfo> entries;
    CDiagnostics::Clear();
    bool listed = engine.List(directory, [&](const SEntryInfo& entry) {
        if (entry.name != "." && entry.name != ".." && (options.all || !IsSystemName(directory, entry.name)))
            entries.push_back(entry);
    });
    if (!listed) {
        ReportFailure("ls " + directory.Display());
        return false;
    }
    if (heading) out.Heading(directory);
    for (SEntryInfo& entry : entries) {
        if (options.longForm || options.json) entry = OwnFacts(engine, directory.Child(entry.name), entry);
        out.Entry(directory.Child(entry.name), entry);
        out.Streams(engine, directory.Child(entry.name), entry);
    }
    bool ok = true;
    for (const SEntryInfo& entry : entries)
        if (options.recursive && entry.isDirectory)
            ok = ListDirectory(engine, directory.Child(entry.name), options, out, true) && ok;
    return ok;
}

int Finish(CSession& session, bool ok) {
    ok = session.Close() && ok;
    return ok ? kExitDone : kExitFailed;
}

}  // namespace

int RunLs(const SCommandLine& line) {
    const CVolumePath path = line.operands.size() > 1 ? PathOperand(line, 1) : CVolumePath();
    const SLsOptions options{line.Has("-l"), line.Has("-R"), line.Has("-a"), line.Has("--json"), line.Has("--streams")};
    CSession session;
    if (!session.Open(line, platform::EAccess::Read)) return kExitFailed;
    IEngine& engine = session.Volume();
    std::vector<SMatch> matches;
    if (!Resolve(engine, "ls", path, options.all, matches)) return Finish(session, false);
    // As ls does: the files named first, then each directory's contents.
    const bool headings = options.recursive || matches.size() > 1;
    CLsOutput out(options);
    for (const SMatch& match : matches)
        if (!match.info.isDirectory) {
            out.Entry(match.path, options.longForm || options.json ? OwnFacts(engine, match.path, match.info)
                                                                    : match.info);
            out.Streams(engine, match.path, match.info);
        }
    bool ok = true;
    for (const SMatch& match : matches)
        if (match.info.isDirectory) ok = ListDirectory(engine, match.path, options, out, headings) && ok;
    out.Finish();
    return Finish(session, ok);
}

int RunStat(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    CSession session;
    if (!session.Open(line, platform::EAccess::Read)) return kExitFailed;
    SEntryInfo info;
    if (!StatOrReport(session.Volume(), "stat", path, info)) return Finish(session, false);
    if (line.Has("--json")) {
        std::printf("%s\n", EntryJson(path, info).c_str());
        return Finish(session, true);
    }
    std::printf("path:       %s%s\n", path.Display().c_str(),
                info.linkTarget.empty() ? "" : (" -> " + info.linkTarget).c_str());
    const char* type = info.isDirectory ? "directory" : "file";
    if (!info.linkTarget.empty()) type = info.isDirectory ? "directory link" : "link";
    std::printf("type:       %s\n", type);
    if (!info.isDirectory) std::printf("size:       %llu\n", static_cast<unsigned long long>(info.size));
    if (!info.isDirectory && info.allocatedSize)
        std::printf("allocated:  %llu\n", static_cast<unsigned long long>(*info.allocatedSize));
    std::printf("attributes: 0x%08x (%s)\n", info.attributes, AttributeNames(info.attributes).c_str());
    std::printf("created:    %s\n", TimeText(info.creationTime).c_str());
    std::printf("modified:   %s\n", TimeText(info.lastWriteTime).c_str());
    std::printf("accessed:   %s\n", TimeText(info.lastAccessTime).c_str());
    bool ok = info.isDirectory || session.Volume().ListStreams(path, [](const IEngine::SStreamInfo& stream) {
        std::printf("stream:     %s (%llu bytes)\n", stream.name.c_str(), static_cast<unsigned long long>(stream.size));
    });
    if (!ok) ReportFailure("stat " + path.Display());
    return Finish(session, ok);
}

int RunCat(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    CSession session;
    if (!session.Open(line, platform::EAccess::Read)) return kExitFailed;
    SEntryInfo info;
    if (!StatOrReport(session.Volume(), "cat", path, info)) return Finish(session, false);
    if (info.isDirectory) {
        ReportFailure("cat " + path.Display(), "is a directory");
        return Finish(session, false);
    }
    // Text on a terminal is its own progress display.
    CProgressBar none("", 0, false);
    CCopier copier(session.Volume(), none, {});
    platform::BinaryStandardOutput();
    bool ok = copier.ToStream(path, stdout, "standard output", "cat");
    ok = std::fflush(stdout) == 0 && ok;
    return Finish(session, ok);
}

int RunGet(const SCommandLine& line) {
    const CVolumePath path = PathOperand(line, 1);
    const bool wildcard = HasWildcard(path.Name());
    if (path.IsRoot() && line.operands.size() < 3) throw SUsageError{"get of the root needs a DEST"};
    const fs::path dest = line.operands.size() > 2 ? HostPath(line.operands[2])
                                                   : wildcard ? fs::path(".") : HostPath(path.Name());
    std::error_code error;
    const bool intoDirectory = fs::is_directory(dest, error);
    if (wildcard && !intoDirectory) throw SUsageError{"get with wildcards needs an existing directory as DEST"};
    CSession session;
    if (!session.Open(line, platform::EAccess::Read)) return kExitFailed;
    IEngine& engine = session.Volume();
    std::vector<SMatch> matches;
    if (!Resolve(engine, "get", path, false, matches)) return Finish(session, false);
    uint64_t total = 0;
    for (const SMatch& match : matches) total += MeasureVolumeTree(engine, match.path, match.info);
    platform::CInterruptGuard interrupts;
    CProgressBar progress("get", total);
    CCopier copier(engine, progress, {line.Has("--force"), !line.Has("--no-preserve"), !line.Has("--no-holes")});
    bool ok = true, refused = false;
    for (auto match = matches.begin(); ok && match != matches.end(); ++match) {
        const fs::path target = intoDirectory && !match->path.IsRoot() ? dest / HostPath(match->path.Name()) : dest;
        if (!match->info.isDirectory) {
            ok = copier.FileOut(match->path, target);
        } else if (line.Has("-r")) {
            ok = copier.TreeOut(match->path, target);
        } else {
            ReportFailure("get " + match->path.Display(), "is a directory (use -r)");
            refused = true;
        }
    }
    return FinishCopy(session, "get", copier, ok && !refused);
}

}  // namespace volcore::tool
