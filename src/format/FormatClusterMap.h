#pragma once
// Which clusters of the volume being formatted are taken. Only the taken
// ranges are kept (a handful of system areas), so the map is small at any
// volume size; the cluster bitmap is produced from it a piece at a time.
#include <cstdint>
#include <map>
#include <span>

#include "disk/Types.h"

namespace volcore::format {

class CClusterMap {
public:
    explicit CClusterMap(uint64_t clusterCount) : m_clusterCount(clusterCount) {}

    // Marks a fixed range; overlapping an earlier range is a format failure.
    void Reserve(uint64_t lcn, uint64_t length);
    // Takes `count` free clusters, the first at or after `hint`, wrapping to the
    // start of the volume; the clusters need not be contiguous.
    RunMap Allocate(uint64_t count, uint64_t hint);

    bool InUse(uint64_t lcn) const;
    // Bytes [firstByte, firstByte + out.size()) of the cluster bitmap; the bits
    // past the last cluster are set.
    void FillBitmap(uint64_t firstByte, std::span<uint8_t> out) const;

private:
    // The taken range that ends after `lcn` and starts first, or end().
    std::map<uint64_t, uint64_t>::const_iterator FirstEndingAfter(uint64_t lcn) const;
    void Take(uint64_t lcn, uint64_t length);
    void TakeFrom(uint64_t from, uint64_t to, uint64_t& remaining, RunMap& runs);

    uint64_t m_clusterCount;
    std::map<uint64_t, uint64_t> m_taken;  // first LCN -> length; ranges never overlap
};

}  // namespace volcore::format
