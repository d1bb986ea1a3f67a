#include "Diagnostics.h"

#include <cstdio>
#include <string>
#include <utility>

#include "Progress.h"
#include "volkit/api.h"
#ifdef VOLKIT_TOOL_WITH_NTFS3G
#include "volkit/filesystem.h"
#endif

namespace volcore::tool {
namespace {

struct SState {
    bool verbose = false;
    bool quiet = false;
    bool fromNative = false;
    std::string failure;
    std::string warnings;
};

// What the native engine refuses and libntfs-3g handles.
bool OtherEngineWouldServe(const std::string& failure) {
    for (const char* limit : {"ompressed", "sparse", "not implemented"})
        if (failure.find(limit) != std::string::npos) return true;
    return false;
}

// The native engine's refusals that have a plain wording, as the other engine words them.
const char* PlainWording(const std::string& failure) {
    static const std::pair<const char*, const char*> kWordings[] = {
        {"Cannot delete system entry", "cannot remove a system file"},
        {"Cannot change system entry", "cannot change a system file"},
    };
    for (const auto& [phrase, plain] : kWordings)
        if (failure.find(phrase) != std::string::npos) return plain;
    return nullptr;
}

// Process-wide: the filesystem family's log callback takes no context, so the
// lines both families send can only land in one place.
SState& Current() {
    static SState state;
    return state;
}

void Echo(const char* family, const char* level, const char* text) {
    if (!Current().verbose || Current().quiet) return;
    BreakProgressLine();
    std::fprintf(stderr, "[%s %s] %s\n", family, level, text);
}

void KeepFailure(const char* text) {
    // The filesystem family says a failure in steps ("Failed to mount NTFS",
    // then "failed to mount volume"); the line the user sees joins them.
    std::string& failure = Current().failure;
    if (!failure.empty()) failure += ": ";
    failure += text;
}

void OnHandleFamilyLine(int level, const char* message, void*) {
    static const char* const kLevels[] = {"debug", "info", "warning", "error"};
    Echo("native", level >= 0 && level <= 3 ? kLevels[level] : "?", message);
    if (level == volkit::api::NtfsLogWarning) Current().warnings += std::string(message) + "\n";
    if (level != volkit::api::NtfsLogError) return;
    KeepFailure(message);
    Current().fromNative = true;
}

#ifdef VOLKIT_TOOL_WITH_NTFS3G
void OnFilesystemFamilyLine(volkit::logging::messageType type, const char* text) {
    Echo("ntfs3g", type == volkit::logging::error ? "error" : type == volkit::logging::warning ? "warning" : "info", text);
    if (type == volkit::logging::error) KeepFailure(text);
}
#endif

}  // namespace

void CDiagnostics::Install(bool verbose) {
    Current().verbose = verbose;
    volkit::api::NtfsSetLogCallback(&OnHandleFamilyLine, nullptr);
#ifdef VOLKIT_TOOL_WITH_NTFS3G
    volkit::logging::initialize(&OnFilesystemFamilyLine);
#endif
}

void CDiagnostics::Clear() {
    Current().failure.clear();
    Current().warnings.clear();
    Current().fromNative = false;
}

void CDiagnostics::Note(const std::string& text) { KeepFailure(text.c_str()); }

void CDiagnostics::Replace(const std::string& text) {
    Clear();
    Current().failure = text;
}

std::string CDiagnostics::LastFailure() {
    const SState& state = Current();
    if (!state.fromNative) return state.failure;
    if (const char* plain = PlainWording(state.failure)) return plain;
    if (OtherEngineWouldServe(state.failure)) return state.failure + " (try --engine ntfs3g)";
    return state.failure;
}

std::string CDiagnostics::Warnings() { return Current().warnings; }

bool CDiagnostics::IsQuiet() { return Current().quiet; }

CDiagnostics::CQuiet::CQuiet() : m_previous(Current().quiet) { Current().quiet = true; }

CDiagnostics::CQuiet::~CQuiet() { Current().quiet = m_previous; }

void ReportFailure(const std::string& context, const std::string& detail) {
    BreakProgressLine();
    if (detail.empty())
        std::fprintf(stderr, "volkit: %s\n", context.c_str());
    else
        std::fprintf(stderr, "volkit: %s: %s\n", context.c_str(), detail.c_str());
}

}  // namespace volcore::tool
