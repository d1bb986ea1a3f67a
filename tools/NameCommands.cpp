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

int Finish(Session& session, bool ok) {
    ok = session.Close() && ok;
    return ok ? kExitDone : kExitFailed;
}

bool SameName(const std::string& a, const std::string& b) { return FoldCase(a) == FoldCase(b); }

// Whether `inner` is `outer` or lies below it, letter case ignored as NTFS does.
bool IsWithin(const VolumePath& inner, const VolumePath& outer) {
    const std::vector<std::string>& in = inner.Elements();
    const std::vector<std::string>& out = outer.Elements();
    if (in.size() < out.size()) return false;
    for (size_t i = 0; i < out.size(); ++i)
        if (!SameName(in[i], out[i])) return false;
    return true;
}

std::string Quoted(const VolumePath& path) { return "'" + path.Display() + "'"; }

// What stands at `to` may be replaced, as mv allows it; reports otherwise.
bool MayReplace(Engine& engine, const Match& source, const VolumePath& to, bool force) {
    EntryInfo there;
    {
        Diagnostics::Quiet quiet;
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

bool MoveOne(Engine& engine, const Match& source, const VolumePath& to, bool force) {
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
    Diagnostics::Clear();
    if (engine.Rename(source.path, to, source.info.isDirectory, force)) return true;
    ReportFailure("mv " + source.path.Display());
    return false;
}

}  // namespace

int RunMv(const CommandLine& line) {
    const VolumePath source = PathOperand(line, 1);
    const VolumePath destination = PathOperand(line, 2);
    if (source.IsRoot()) throw UsageError{"mv cannot move the root"};
    Session session;
    if (!session.Open(line, platform::Access::Write)) return kExitFailed;
    Engine& engine = session.Volume();
    std::vector<Match> matches;
    if (!Resolve(engine, "mv", source, false, matches)) return Finish(session, false);
    EntryInfo target;
    bool intoDirectory;
    {
        Diagnostics::Quiet quiet;
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
    for (const Match& match : matches) {
        const VolumePath to = intoDirectory ? destination.Child(match.path.Name()) : destination;
        ok = MoveOne(engine, match, to, line.Has("--force")) && ok;
    }
    return Finish(session, ok);
}

int RunLn(const CommandLine& line) {
    const VolumePath target = PathOperand(line, 1);
    VolumePath link = PathOperand(line, 2);
    Session session;
    if (!session.Open(line, platform::Access::Write)) return kExitFailed;
    Engine& engine = session.Volume();
    EntryInfo info;
    if (!StatOrReport(engine, "ln", target, info)) return Finish(session, false);
    if (info.isDirectory) {
        ReportFailure("ln " + target.Display(), "hard link not allowed for directory");
        return Finish(session, false);
    }
    EntryInfo there;
    bool exists;
    {
        Diagnostics::Quiet quiet;
        exists = engine.Stat(link, there);
    }
    if (exists && there.isDirectory) {
        link = link.Child(target.Name());
        Diagnostics::Quiet quiet;
        exists = engine.Stat(link, there);
    }
    if (exists) {
        ReportFailure("ln " + link.Display(), "already exists");
        return Finish(session, false);
    }
    Diagnostics::Clear();
    const bool ok = engine.Link(target, link);
    if (!ok) ReportFailure("ln " + link.Display());
    return Finish(session, ok);
}

}  // namespace volcore::tool
