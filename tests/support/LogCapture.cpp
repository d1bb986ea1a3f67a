#include "support/LogCapture.h"

#include "volkit/api.h"

namespace volcore::test {

LogCapture::LogCapture() { volkit::api::NtfsSetLogCallback(&LogCapture::Callback, this); }
LogCapture::~LogCapture() { volkit::api::NtfsSetLogCallback(nullptr, nullptr); }

void LogCapture::Callback(int level, const char* message, void* context) {
    static_cast<LogCapture*>(context)->m_lines.push_back({level, message});
}

std::vector<std::string> LogCapture::Texts(int level) const {
    std::vector<std::string> texts;
    for (const auto& line : m_lines)
        if (line.level == level) texts.push_back(line.text);
    return texts;
}

bool LogCapture::Contains(const std::string& text) const {
    for (const auto& line : m_lines)
        if (line.text == text) return true;
    return false;
}

}  // namespace volcore::test
