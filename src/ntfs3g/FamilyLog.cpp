#include "ntfs3g/FamilyLog.h"

#include <cstdio>
#include <stdexcept>

#include "ntfs3g/Ntfs3g.h"

namespace volcore::fsfamily {
namespace {

// Empty until logging::initialize. Process-wide: the callback is set by a
// call that takes no volume, and failures that come before any volume exists
// (a mount that fails) report through it too.
void (*g_callback)(volkit::logging::messageType, const char*) = nullptr;

void Send(volkit::logging::messageType type, const char* text) noexcept {
    if (g_callback != nullptr && text != nullptr) g_callback(type, text);
}

// libntfs-3g's diagnostics are its own business; only our lines reach the
// caller.
int DiscardNtfs3gMessage(const char*, const char*, int, u32, void*, const char*, va_list) {
    return 0;
}

// Calls on one volume run on one thread at a time, so whatever fails during a
// call was noted on the thread running it.
thread_local uint64_t t_failedTransfers = 0;
thread_local char t_lastFailedTransfer[160] = "";

// libntfs-3g's level bits for warnings, errors, perror and critical messages.
constexpr u32 kNtfs3gProblemLevels = 0x3C0;

}  // namespace

void ReportInfo(const char* text) noexcept { Send(volkit::logging::info, text); }

void ReportError(const char* text) noexcept { Send(volkit::logging::error, text); }

void NoteFailedTransfer(const char* description) noexcept {
    ++t_failedTransfers;
    std::snprintf(t_lastFailedTransfer, sizeof t_lastFailedTransfer, "%s", description);
}

uint64_t FailedTransfers() noexcept { return t_failedTransfers; }

const char* LastFailedTransfer() noexcept { return t_lastFailedTransfer; }

void Fail(const char* message) { throw std::runtime_error(message); }

void ReportCurrentException() noexcept {
    try {
        throw;
    } catch (const std::exception& failure) {
        ReportError(failure.what());
    } catch (...) {
        ReportError("unexpected failure");
    }
}

}  // namespace volcore::fsfamily

namespace volkit {

void logging::initialize(void (*callback)(messageType, const char*)) {
    volcore::fsfamily::g_callback = callback;
    ntfs_log_set_levels(volcore::fsfamily::kNtfs3gProblemLevels);
    ntfs_log_set_handler(&volcore::fsfamily::DiscardNtfs3gMessage);
}

void logging::deinitialize() { volcore::fsfamily::g_callback = nullptr; }

}  // namespace volkit
