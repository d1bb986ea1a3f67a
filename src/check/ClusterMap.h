#pragma once
// Who owns which clusters, against $Bitmap: clusters owned twice, owned but
// marked free, and marked but owned by nobody.
#include <cstdint>
#include <span>
#include <vector>

#include "check/Problems.h"
#include "disk/Types.h"

namespace volcore::check {

class CClusterMap {
public:
    explicit CClusterMap(uint64_t clusterCount) : m_clusterCount(clusterCount) {}

    // Every allocated run of one attribute extent of `record`.
    void Claim(uint64_t record, const RunMap& runs);
    // Reports clusters that two records claim.
    void ReportCrossLinks(CReport& report);
    // Reports the differences from $Bitmap's bytes (bit set = in use) and
    // returns the number of clusters owned.
    uint64_t CompareWithBitmap(std::span<const uint8_t> bitmap, CReport& report);

private:
    struct SClaim {
        uint64_t lcn;
        uint64_t length;
        uint64_t record;
    };

    void SortClaims();

    uint64_t m_clusterCount;
    std::vector<SClaim> m_claims;
    bool m_sorted = true;
};

}  // namespace volcore::check
