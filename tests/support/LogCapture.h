#pragma once
// Captures the engine's log lines for the duration of a test.
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace volcore::test {

struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    LogCapture();   // installs itself through NtfsSetLogCallback
    ~LogCapture();  // removes the callback

    const std::vector<LogLine>& Lines() const { return m_lines; }
    std::vector<std::string> Texts(int level) const;
    std::vector<std::string> Errors() const { return Texts(3); }
    bool Contains(const std::string& text) const;
    void Clear() { m_lines.clear(); }

private:
    static void Callback(int level, const char* message, void* context);
    std::vector<LogLine> m_lines;
};

}  // namespace volcore::test
