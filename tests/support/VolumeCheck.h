#pragma once
// Runs the consistency check on a device and keeps what it said, for tests
// that assert a volume is clean or damaged in a given way.
#include <string>
#include <vector>

#include "volkit/check.h"

namespace volcore::test {

struct CheckOutcome {
    bool ran = false;
    volkit::api::NtfsCheckSummary summary;
    std::vector<std::string> damage;  // "code: message"
    std::vector<std::string> leaks;

    bool Clean() const { return ran && damage.empty() && leaks.empty(); }
    // Whether a problem's "code: message" line contains `text`.
    bool Mentions(const std::string& text) const {
        for (const auto* lines : {&damage, &leaks})
            for (const std::string& line : *lines)
                if (line.find(text) != std::string::npos) return true;
        return false;
    }
    // Every line, for failure messages.
    std::string Describe() const {
        std::string text = ran ? "" : "the check did not run\n";
        for (const std::string& line : damage) text += "damage " + line + "\n";
        for (const std::string& line : leaks) text += "leak " + line + "\n";
        return text;
    }
};

inline CheckOutcome CheckVolume(const volkit::api::NtfsIoDevice& device) {
    CheckOutcome outcome;
    auto keep = [](const volkit::api::NtfsCheckProblem& problem, void* context) {
        auto* found = static_cast<CheckOutcome*>(context);
        auto& lines = problem.kind == volkit::api::NtfsCheckLeak ? found->leaks : found->damage;
        lines.push_back(std::string(problem.code) + ": " + problem.message);
    };
    outcome.ran = volkit::api::NtfsCheckVolume(device, keep, &outcome, outcome.summary);
    return outcome;
}

}  // namespace volcore::test
