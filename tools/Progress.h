#pragma once
// A progress bar on stderr for long work, drawn only when stderr is a
// terminal; otherwise it says nothing at all.
#include <chrono>
#include <cstdint>
#include <string>

namespace volcore::tool {

// Ends the line a progress bar is drawn on, if one is: every other message on
// stderr (a failure, a question, the interruption) starts on a line of its
// own, and the bar goes on below it.
void BreakProgressLine();

class CProgressBar {
public:
    // `wanted` false keeps the bar hidden even on a terminal.
    CProgressBar(std::string label, uint64_t total, bool wanted = true);
    ~CProgressBar();  // ends the line
    CProgressBar(const CProgressBar&) = delete;
    CProgressBar& operator=(const CProgressBar&) = delete;

    void Advance(uint64_t amount);

private:
    void Draw();

    using Clock = std::chrono::steady_clock;
    std::string m_label;
    uint64_t m_total;
    uint64_t m_done = 0;
    int m_drawnPermille = -1;
    bool m_enabled;
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_drawnAt{};
};

}  // namespace volcore::tool
