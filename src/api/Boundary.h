#pragma once
// The shape every exported function of the handle family shares: run the
// operation, turn any standard exception into one Error line and `false`.
#include <exception>

#include "api/Exception.h"
#include "api/Log.h"

namespace volcore {

template <typename Operation, typename... Args>
bool RunExported(Operation&& operation, std::string_view failureText, const Args&... args) {
    try {
        operation();
        return true;
    } catch (const std::exception& e) {
        try {
            LogError(FormatText(failureText, args..., e.what()));
        } catch (...) {
            // Formatting the failure line itself failed (no memory): the result still says it.
        }
        return false;
    }
}

}  // namespace volcore
