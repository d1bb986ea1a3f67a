// mv and ln: the commands that give objects other names.
#include <string>
#include <vector>

#include "CommandSupport.h"
#include "Commands.h"
#include "Diagnostics.h"
#include "Session.h"
#include "Text.h"

namespace volcore::tool {
namespace {

int Finish(CSession& session, bool ok) {
    ok = session.Close() && ok;
    return ok ? kExitDone : kExitFailed;
}

bool SameName(const std::string& a, const std::string& b) { return FoldCase(a) == FoldCase(b); }

// Whether `inner` is `outer` or lies below it, letter case ignored as NTFS does.
bool IsWithin(const CVolumePath& inner, const CVolumePath& outer) {
    const std::vector<std::string>& in = inner.Elements();
    const std::vector<std::string>& out = outer.Elements();
    if (in.size() < out.size()) return false;
    for (size_t i = 0; i < out.size(); ++i)
        if (!SameName(in[i], out[i])) return false;
    return true;
}

std::string Quoted(const CVolumePath& path) { return "'" + path.Display() + "'"; }

// What stands at `to` may be replaced, as mv allows it; reports otherwise.
bool MayReplace(IEngine& engine, const SMatch& source, const CVolumePath& to, bool force) {
    SEntryInfo there;
    {
        CDiagnostics::CQuiet quiet;
        if (!engine.Stat(to, there)) return true;
    }
    if (there.isDirectory && !source.info.isDirectory) {
        ReportFailure("mv " + to.Display(), "cannot overwrite directory " + Quoted(to) + " with non-directory");
        return false;
    }
    if (!there.isDirectory && source.info.isDirectory) {
        ReportFailure("mv " + to.Display(), "cannot overwrite non-directory " + Quoted(to) + " with directory " +
                                                Quoted(source.path));
        return false;
    }
    if (force) return true;
    ReportFailure("mv " + to.Display(), "already exists (use --force to replace it)");
    return false;
}

bool MoveOne(IEngine& engine, const SMatch& source, const CVolumePath& to, bool force) {
    if (source.path.Display() == to.Display()) {
        ReportFailure("mv " + to.Display(), Quoted(source.path) + " and " + Quoted(to) + " are the same file");
        return false;
    }
    const bool caseOnly = IsWithin(to, source.path) && to.Elements().size() == source.path.Elements().size();
    if (source.info.isDirectory && !caseOnly && IsWithin(to, source.path)) {
        ReportFailure("mv " + source.path.Display(),
                      "cannot move " + Quoted(source.path) + " to a subdirectory of itself, " + Quoted(to));
        return false;
    }
    if (!caseOnly && !MayReplace(engine, source, to, force)) return false;
    CDiagnostics::Clear();
    if (engine.Rename(source.path, to, source.info.isDirectory, force)) return true;
    ReportFailure("mv " + source.path.Display());
    return false;
}

}  // namespace

int RunMv(const SCommandLine& line) {
    const CVolumePath source = PathOperand(line, 1);
    const CVolumePath destination = PathOperand(line, 2);
    if (source.IsRoot()) throw SUsageError{"mv cannot move the root"};
    CSession session;
    if (!session.Open(line, platform::EAccess::Write)) return kExitFailed;
    IEngine& engine = session.Volume();
    std::vector<SMatch> matches;
    if (!Resolve(engine, "mv", source, false, matches)) return Finish(session, false);
    SEntryInfo target;
    bool intoDirectory;
    {
        CDiagnostics::CQuiet quiet;
        intoDirectory = engine.Stat(destination, target) && target.isDirectory;
    }
    // A change of case names the source itself, not a directory to move it into.
    if (matches.size() == 1 && IsWithin(destination, matches.front().path) &&
        destination.Elements().size() == matches.front().path.Elements().size())
        intoDirectory = false;
    if (matches.size() > 1 && !intoDirectory) {
        ReportFailure("mv " + destination.Display(), "target " + Quoted(destination) + " is not a directory");
        return Finish(session, false);
    }
    bool ok = true;
    for (const SMatch& match : matches) {
        const CVolumePath to = intoDirectory ? destination.Child(match.path.Name()) : destination;
        ok = MoveOne(engine, match, to, line.Has("--force")) && ok;
    }
    return Finish(session, ok);
}

int RunLn(const SCommandLine& line) {
    const CVolumePath target = PathOperand(line, 1);
    CVolumePath link = PathOperand(line, 2);
    CSession session;
    if (!session.Open(line, platform::EAccess::Write)) return kExitFailed;
    IEngine& engine = session.Volume();
    SEntryInfo info;
    if (!StatOrReport(engine, "ln", target, info)) return Finish(session, false);
    if (info.isDirectory) {
        ReportFailure("ln " + target.Display(), "hard link not allowed for directory");
        return Finish(session, false);
    }
    SEntryInfo there;
    bool exists;
    {
        CDiagnostics::CQuiet quiet;
        exists = engine.Stat(link, there);
    }
    if (exists && there.isDirectory) {
        link = link.Child(target.Name());
        CDiagnostics::CQuiet quiet;
        exists = engine.Stat(link, there);
    }
    if (exists) {
        ReportFailure("ln " + link.Display(), "already exists");
        return Finish(session, false);
    }
    CDiagnostics::Clear();
    const bool ok = engine.Link(target, link);
    if (!ok) ReportFailure("ln " + link.Display());
    return Finish(session, ok);
}

}  // namespace volcore::tool
