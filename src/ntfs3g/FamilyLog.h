#pragma once
// How the filesystem family reports: every failure inside the family is a
// std::runtime_error with a short fixed message; the exported function catches
// it, sends the message to the caller's logging callback as an `error` line and
// returns false.
#include <cstdint>
#include <exception>

#include "volkit/filesystem.h"

namespace volcore::fsfamily {

// Sends the text to the caller's logging callback, if one is set.
void ReportInfo(const char* text) noexcept;
void ReportError(const char* text) noexcept;

// Raises a family failure carrying `message`.
[[noreturn]] void Fail(const char* message);

// Sends the caught failure's description as an `error` line.
void ReportCurrentException() noexcept;

// Device transfers that failed on this thread. libntfs-3g carries on after
// some failed transfers as if they had worked, so the device adapter notes
// every one here, and a call during which one failed fails too.
void NoteFailedTransfer(const char* description) noexcept;
uint64_t FailedTransfers() noexcept;
// The description of the last one, e.g. "failed to write 4096 bytes at
// offset 8192: I/O error".
const char* LastFailedTransfer() noexcept;

// Whether a transfer failed since it was made.
class CTransferWatch {
public:
    bool Failed() const noexcept { return FailedTransfers() != m_before; }

private:
    uint64_t m_before = FailedTransfers();
};

// Runs `body` under the family's error convention: on a failure sends
// `firstLine` (when not null) and then the failure's own message, and returns
// false. A device transfer that failed meanwhile is such a failure, even when
// the body carried on. Nothing escapes.
template <class Body>
bool RunReported(const char* firstLine, Body&& body) noexcept {
    const CTransferWatch transfers;
    try {
        body();
        if (!transfers.Failed()) return true;
        if (firstLine != nullptr) ReportError(firstLine);
    } catch (...) {
        if (firstLine != nullptr) ReportError(firstLine);
        ReportCurrentException();
        if (!transfers.Failed()) return false;
    }
    ReportError(LastFailedTransfer());
    return false;
}

template <class Body>
bool RunReported(Body&& body) noexcept {
    return RunReported(nullptr, static_cast<Body&&>(body));
}

}  // namespace volcore::fsfamily
