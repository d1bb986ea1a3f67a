// check: the read-only consistency check of a volume.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Diagnostics.h"
#include "Session.h"
#include "volkit/check.h"

namespace volcore::tool {
namespace {

constexpr int kExitCannotCheck = 2;

struct SReportedProblem {
    volkit::api::NtfsCheckKind kind;
    std::string code;
    uint64_t record;
    std::string message;
};

void Collect(const volkit::api::NtfsCheckProblem& problem, void* context) {
    static_cast<std::vector<SReportedProblem>*>(context)->push_back(
        {problem.kind, problem.code, problem.record, problem.message});
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') quoted += '\\', quoted += static_cast<char>(c);
        else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else quoted += static_cast<char>(c);
    }
    return quoted + "\"";
}

const char* KindName(volkit::api::NtfsCheckKind kind) { return kind == volkit::api::NtfsCheckLeak ? "leak" : "damage"; }

unsigned long long U(uint64_t value) { return static_cast<unsigned long long>(value); }

std::string SummaryLine(const std::string& image, const volkit::api::NtfsCheckSummary& summary) {
    char counts[256];
    std::snprintf(counts, sizeof counts, "%llu records in use, %llu directories, %llu of %llu clusters in use",
                  U(summary.recordsInUse), U(summary.directories), U(summary.clustersInUse), U(summary.clusters));
    std::string verdict = "clean";
    if (summary.damage + summary.leaks != 0)
        verdict = std::to_string(summary.damage) + " damage, " + std::to_string(summary.leaks) +
                  (summary.leaks == 1 ? " leak" : " leaks");
    if (!summary.complete) verdict += ", check stopped early";
    return image + ": " + verdict + " (" + counts + ")";
}

void PrintText(const std::string& image, const volkit::api::NtfsCheckSummary& summary, const std::vector<SReportedProblem>& problems) {
    std::printf("%s\n", SummaryLine(image, summary).c_str());
    for (const SReportedProblem& problem : problems)
        std::printf("%s %s: %s\n", KindName(problem.kind), problem.code.c_str(), problem.message.c_str());
    if (summary.damage + summary.leaks > problems.size())
        std::printf("(%llu more problems not listed)\n", U(summary.damage + summary.leaks - problems.size()));
}

void PrintJson(const std::string& image, const volkit::api::NtfsCheckSummary& summary, const std::vector<SReportedProblem>& problems) {
    std::printf("{\"image\":%s,\"clean\":%s,\"complete\":%s,", JsonString(image).c_str(),
                summary.damage + summary.leaks == 0 ? "true" : "false", summary.complete ? "true" : "false");
    std::printf("\"summary\":{\"mftRecords\":%llu,\"recordsInUse\":%llu,\"directories\":%llu,\"indexEntries\":%llu,"
                "\"clusters\":%llu,\"clustersInUse\":%llu,\"damage\":%llu,\"leaks\":%llu},\"problems\":[",
                U(summary.mftRecords), U(summary.recordsInUse), U(summary.directories), U(summary.indexEntries),
                U(summary.clusters), U(summary.clustersInUse), U(summary.damage), U(summary.leaks));
    for (size_t i = 0; i < problems.size(); ++i) {
        const SReportedProblem& problem = problems[i];
        std::string record = problem.record == volkit::api::NtfsCheckNoRecord ? "null" : std::to_string(problem.record);
        std::printf("%s{\"kind\":\"%s\",\"code\":\"%s\",\"record\":%s,\"message\":%s}", i ? "," : "",
                    KindName(problem.kind), problem.code.c_str(), record.c_str(), JsonString(problem.message).c_str());
    }
    std::printf("]}\n");
}

// The problems listed are those found before the repair; the summary is the
// check afterwards.
int RunRepair(const SCommandLine& line) {
    CSession session;
    if (!session.OpenDevice(line, platform::EAccess::Write)) return kExitCannotCheck;
    volkit::api::NtfsIoDevice device = session.Device().HandleFamilyDevice();
    std::vector<SReportedProblem> problems;
    volkit::api::NtfsCheckSummary after;
    CDiagnostics::Clear();
    if (!volkit::api::NtfsRepairVolume(device, &Collect, &problems, after)) {
        if (line.Has("--json"))
            std::printf("{\"image\":%s,\"error\":%s}\n", JsonString(session.ImagePath()).c_str(),
                        JsonString(CDiagnostics::LastFailure()).c_str());
        ReportFailure("check --repair " + session.ImagePath());
        return kExitCannotCheck;
    }
    if (line.Has("--json")) {
        PrintJson(session.ImagePath(), after, {});
    } else {
        std::printf("%s\n", SummaryLine(session.ImagePath(), after).c_str());
        for (const SReportedProblem& problem : problems)
            std::printf("repaired %s %s: %s\n", KindName(problem.kind), problem.code.c_str(), problem.message.c_str());
    }
    return after.damage + after.leaks == 0 ? kExitDone : kExitFailed;
}

}  // namespace

int RunCheck(const SCommandLine& line) {
    if (line.Has("--repair")) return RunRepair(line);
    CSession session;
    if (!session.OpenDevice(line, platform::EAccess::Read)) return kExitCannotCheck;
    volkit::api::NtfsIoDevice device = session.Device().HandleFamilyDevice();
    std::vector<SReportedProblem> problems;
    volkit::api::NtfsCheckSummary summary;
    CDiagnostics::Clear();
    if (!volkit::api::NtfsCheckVolume(device, &Collect, &problems, summary)) {
        if (line.Has("--json"))
            std::printf("{\"image\":%s,\"error\":%s}\n", JsonString(session.ImagePath()).c_str(),
                        JsonString(CDiagnostics::LastFailure()).c_str());
        // No NTFS boot sector at either end: said as every command says it.
        SBootSectorFacts boot;
        std::string bootError;
        if (!ReadBootSector(session.Device(), boot, bootError) && bootError == kNotNtfs &&
            CDiagnostics::LastFailure().find("No NTFS boot sector") != std::string::npos) {
            session.CheckBootSector(line, boot);
            return kExitCannotCheck;
        }
        ReportFailure(session.Context(line));
        return kExitCannotCheck;
    }
    // Damage first, then leaks; within a kind, one rule's problems together.
    std::stable_sort(problems.begin(), problems.end(), [](const SReportedProblem& a, const SReportedProblem& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.code < b.code;
    });
    line.Has("--json") ? PrintJson(session.ImagePath(), summary, problems)
                       : PrintText(session.ImagePath(), summary, problems);
    return summary.damage + summary.leaks == 0 ? kExitDone : kExitFailed;
}

}  // namespace volcore::tool
