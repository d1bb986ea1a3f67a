#include "support/VolumeCheck.h"

namespace volcore::test {

bool CheckOutcome::Mentions(const std::string& text) const {
    for (const auto* lines : {&damage, &leaks})
        for (const std::string& line : *lines)
            if (line.find(text) != std::string::npos) return true;
    return false;
}

std::string CheckOutcome::Describe() const {
    std::string text = ran ? "" : "the check did not run\n";
    for (const std::string& line : damage) text += "damage " + line + "\n";
    for (const std::string& line : leaks) text += "leak " + line + "\n";
    return text;
}

CheckOutcome CheckVolume(const volkit::api::NtfsIoDevice& device) {
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
