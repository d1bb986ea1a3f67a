#include "base/Log.h"

namespace volcore {
namespace {

std::shared_ptr<ILogger>& Sink() {
    static std::shared_ptr<ILogger> sink;
    return sink;
}

void Emit(ELogLevel level, const std::string& message) {
    if (auto& sink = Sink()) sink->Log(level, message);
}

thread_local std::string t_lastError;

}  // namespace

void SetLogger(std::shared_ptr<ILogger> logger) { Sink() = std::move(logger); }
void ResetLogger() { Sink().reset(); }
bool HasLogger() { return Sink() != nullptr; }

void LogDebug(const std::string& message) { Emit(ELogLevel::Debug, message); }
void LogInfo(const std::string& message) { Emit(ELogLevel::Info, message); }
void LogWarning(const std::string& message) { Emit(ELogLevel::Warning, message); }
void LogError(const std::string& message) {
    // Error lines are also made in destructors: keeping the copy must not throw.
    try {
        t_lastError = message;
    } catch (...) {
        t_lastError.clear();
    }
    Emit(ELogLevel::Error, message);
}

const std::string& LastErrorText() { return t_lastError; }
void ClearLastErrorText() { t_lastError.clear(); }

}  // namespace volcore
