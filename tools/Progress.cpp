#include "Progress.h"

#include <unistd.h>

#include <cstdio>

#include "Text.h"

namespace volkit::tool {

namespace {
constexpr int kBarWidth = 30;
// Work smaller than this is over before a bar would help.
constexpr uint64_t kWorthABar = 4u << 20;
}

ProgressBar::ProgressBar(std::string label, uint64_t total, bool wanted)
    : m_label(std::move(label)), m_total(total), m_enabled(wanted && total >= kWorthABar && ::isatty(STDERR_FILENO) == 1) {
    Draw();
}

ProgressBar::~ProgressBar() {
    if (m_enabled && m_drawnPermille >= 0) std::fputc('\n', stderr);
}

void ProgressBar::Advance(uint64_t amount) {
    m_done += amount;
    Draw();
}

void ProgressBar::Draw() {
    if (!m_enabled) return;
    const uint64_t done = m_done < m_total ? m_done : m_total;
    const int permille = m_total == 0 ? 1000 : static_cast<int>(done * 1000 / m_total);
    // Redrawing only when the tenth of a percent changes keeps the terminal calm.
    if (permille == m_drawnPermille) return;
    m_drawnPermille = permille;
    const int filled = permille * kBarWidth / 1000;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %s\x1b[K", m_label.c_str(), filled, "##############################",
                 kBarWidth - filled, "", permille / 10, HumanSize(done).c_str());
    std::fflush(stderr);
}

}  // namespace volkit::tool
