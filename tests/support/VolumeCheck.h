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
    bool Mentions(const std::string& text) const;
    // Every line, for failure messages.
    std::string Describe() const;
};

CheckOutcome CheckVolume(const volkit::api::NtfsIoDevice& device);

}  // namespace volcore::test
