#pragma once
// Captures the engine's log lines for the duration of a test.
#include <algorithm>
#include <string>
#include <vector>

#include "volkit/api.h"

namespace volcore::test {

struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    LogCapture() { volkit::api::NtfsSetLogCallback(&LogCapture::Callback, this); }
    ~LogCapture() { volkit::api::NtfsSetLogCallback(nullptr, nullptr); }

    const std::vector<LogLine>& Lines() const { return m_lines; }
    std::vector<std::string> Texts(int level) const {
        std::vector<std::string> texts;
        for (const LogLine& line : m_lines)
            if (line.level == level) texts.push_back(line.text);
        return texts;
    }
    std::vector<std::string> Errors() const { return Texts(3); }
    bool Contains(const std::string& text) const {
        return std::any_of(m_lines.begin(), m_lines.end(), [&](const LogLine& line) { return line.text == text; });
    }
    void Clear() { m_lines.clear(); }

private:
    static void Callback(int level, const char* message, void* context) {
        static_cast<LogCapture*>(context)->m_lines.push_back({level, message});
    }
    std::vector<LogLine> m_lines;
};

}  // namespace volcore::test
