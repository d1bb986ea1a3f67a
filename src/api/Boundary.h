#pragma once
// The shape every exported function of the handle family shares: run the
// operation, turn any standard exception into one Error line and `false`.
#include <exception>
#include <utility>

#include "base/Exception.h"
#include "base/Log.h"

namespace volcore {

// Writes the failure line `describe` makes of `reason`. Never raises.
template <typename Describe>
void LogDescribed(Describe&& describe, const char* reason) noexcept {
    try {
        LogError(describe(reason));
    } catch (...) {
        // Formatting the failure line itself failed (no memory): the result still says it.
    }
}

// `describe` turns the reason into the failure line; it runs only on failure,
// so that a call that works pays nothing for its message.
template <typename Operation, typename Describe>
bool RunExportedDescribed(Operation&& operation, Describe&& describe) {
    try {
        operation();
        return true;
    } catch (const std::exception& e) {
        LogDescribed(describe, e.what());
        return false;
    }
}

template <typename Operation, typename... Args>
bool RunExported(Operation&& operation, std::string_view failureText, const Args&... args) {
    return RunExportedDescribed(std::forward<Operation>(operation),
                                [&](const char* reason) { return FormatText(failureText, args..., reason); });
}

}  // namespace volcore
