#pragma once
// The namespace as a whole, once every index has been walked: names that no
// index holds, link counts, and records that no directory reaches.
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "check/VolumeModel.h"

namespace volcore::check {

struct SReach {
    bool rootWalked = false;
    std::set<uint64_t> reached;                          // from the root through the indexes
    std::map<uint64_t, std::vector<uint64_t>> strayLinks;  // what directories not reached point to
};

void CheckNames(const SVolumeModel& model, const SReach& reach, CReport& report);

}  // namespace volcore::check
