#include "format/FormatClusterMap.h"

#include "api/Exception.h"

namespace volcore::format {

uint64_t RunlistClusters(const Runlist& runs) {
    uint64_t total = 0;
    for (const SRun& run : runs) total += run.length;
    return total;
}

CClusterMap::CClusterMap(uint64_t clusterCount, uint64_t bitmapBytes)
    : m_clusterCount(clusterCount), m_bits(bitmapBytes, 0) {
    if (bitmapBytes * 8 < clusterCount)
        throw CException("Cluster bitmap of %1 bytes cannot cover %2 clusters", bitmapBytes, clusterCount);
    for (uint64_t lcn = clusterCount; lcn < bitmapBytes * 8; ++lcn) Set(lcn);
}

void CClusterMap::Reserve(uint64_t lcn, uint64_t length) {
    if (lcn > m_clusterCount || length > m_clusterCount - lcn)
        throw CException("System area at cluster %1 (%2 clusters) lies past the volume", lcn, length);
    for (uint64_t i = lcn; i < lcn + length; ++i) {
        if (InUse(i)) throw CException("System areas overlap at cluster %1", i);
        Set(i);
    }
}

void CClusterMap::TakeFrom(uint64_t from, uint64_t to, uint64_t& remaining, Runlist& runs) {
    for (uint64_t lcn = from; lcn < to && remaining > 0; ++lcn) {
        if (InUse(lcn)) continue;
        Set(lcn);
        --remaining;
        bool extendsLast = !runs.empty() && runs.back().lcn + static_cast<int64_t>(runs.back().length) ==
                                                static_cast<int64_t>(lcn);
        if (extendsLast) ++runs.back().length;
        else runs.push_back({static_cast<int64_t>(lcn), 1});
    }
}

Runlist CClusterMap::Allocate(uint64_t count, uint64_t hint) {
    Runlist runs;
    uint64_t remaining = count;
    if (hint > m_clusterCount) hint = m_clusterCount;
    TakeFrom(hint, m_clusterCount, remaining, runs);
    TakeFrom(0, hint, remaining, runs);
    if (remaining > 0) throw CException("Volume is too small for its system files: %1 clusters short", remaining);
    return runs;
}

}  // namespace volcore::format
