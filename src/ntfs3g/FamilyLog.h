#pragma once
// How the filesystem family reports: every failure inside the family is a
// std::runtime_error with a short fixed message; the exported function catches
// it, sends the message to the caller's logging callback as an `error` line and
// returns false.
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

// Runs `body` under the family's error convention: on a failure sends
// `firstLine` (when not null) and then the failure's own message, and returns
// false. Nothing escapes.
template <class Body>
bool RunReported(const char* firstLine, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        if (firstLine != nullptr) ReportError(firstLine);
        ReportCurrentException();
        return false;
    }
}

template <class Body>
bool RunReported(Body&& body) noexcept {
    return RunReported(nullptr, static_cast<Body&&>(body));
}

}  // namespace volcore::fsfamily
