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

}  // namespace

void SetLogger(std::shared_ptr<ILogger> logger) { Sink() = std::move(logger); }
void ResetLogger() { Sink().reset(); }
bool HasLogger() { return Sink() != nullptr; }

void LogDebug(const std::string& message) { Emit(ELogLevel::Debug, message); }
void LogInfo(const std::string& message) { Emit(ELogLevel::Info, message); }
void LogWarning(const std::string& message) { Emit(ELogLevel::Warning, message); }
void LogError(const std::string& message) { Emit(ELogLevel::Error, message); }

}  // namespace volcore
