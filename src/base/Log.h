#pragma once
// The engine log sink: one process-wide ILogger, empty until installed.
#include <memory>
#include <string>

namespace volcore {

enum class ELogLevel : int { Debug = 0, Info = 1, Warning = 2, Error = 3 };

class ILogger {
public:
    virtual void Log(ELogLevel level, const std::string& message) = 0;
    virtual ~ILogger() = default;
};

void SetLogger(std::shared_ptr<ILogger> logger);
void ResetLogger();
bool HasLogger();

void LogDebug(const std::string& message);
void LogInfo(const std::string& message);
void LogWarning(const std::string& message);
void LogError(const std::string& message);

// The calling thread's last Error line, whether a sink took it or not: the C
// interface hands it to callers that have no log callback.
const std::string& LastErrorText();
void ClearLastErrorText();

}  // namespace volcore
