#include "Progress.h"

#include <cstdio>

#include "Platform.h"
#include "Text.h"

namespace volcore::tool {

namespace {
constexpr int kBarWidth = 30;
// Work smaller than this is over before a bar would help.
constexpr uint64_t kWorthABar = 4u << 20;
// The rate needs some history before it means anything.
constexpr double kSteadyAfterSeconds = 0.5;
// A bar drawn and its line not yet ended. Process-wide like stderr itself:
// any message may need to end the line first (BreakProgressLine).
bool g_lineOpen = false;

std::string Duration(double seconds) {
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%lluh%02llum", whole / 3600, whole / 60 % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    return text;
}
}  // namespace

void BreakProgressLine() {
    if (!g_lineOpen) return;
    std::fputc('\n', stderr);
    g_lineOpen = false;
}

CProgressBar::CProgressBar(std::string label, uint64_t total, bool wanted)
    : m_label(std::move(label)), m_total(total),
      m_enabled(wanted && total >= kWorthABar && platform::StderrIsTerminal()) {
    Draw();
}

CProgressBar::~CProgressBar() {
    if (m_enabled) BreakProgressLine();
}

void CProgressBar::Advance(uint64_t amount) {
    m_done += amount;
    Draw();
}

void CProgressBar::Draw() {
    if (!m_enabled) return;
    const uint64_t done = m_done < m_total ? m_done : m_total;
    const int permille = m_total == 0 ? 1000 : static_cast<int>(done * 1000 / m_total);
    // Redrawing at most every tenth of a percent and tenth of a second keeps the terminal calm.
    const Clock::time_point now = Clock::now();
    if (permille == m_drawnPermille || (permille < 1000 && now - m_drawnAt < std::chrono::milliseconds(100))) return;
    m_drawnPermille = permille;
    m_drawnAt = now;
    const int filled = permille * kBarWidth / 1000;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    std::string pace;
    if (seconds >= kSteadyAfterSeconds && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        pace = " " + HumanSize(static_cast<uint64_t>(rate)) + "/s";
        pace += permille < 1000 ? " " + Duration(static_cast<double>(m_total - done) / rate) + " left"
                                : " in " + Duration(seconds);
    }
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %s%s\x1b[K", m_label.c_str(), filled, "##############################",
                 kBarWidth - filled, "", permille / 10, HumanSize(done).c_str(), pace.c_str());
    std::fflush(stderr);
    g_lineOpen = true;
}

}  // namespace volcore::tool
