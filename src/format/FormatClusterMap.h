#pragma once
// The cluster bitmap of the volume being formatted, and the allocations taken
// from it for system data.
#include <cstdint>
#include <vector>

namespace volcore::format {

// One run of an attribute: its first LCN (kSparseLcn when it has no clusters)
// and its length in clusters.
inline constexpr int64_t kSparseLcn = -1;
struct SRun {
    int64_t lcn = 0;
    uint64_t length = 0;
};
using Runlist = std::vector<SRun>;

uint64_t RunlistClusters(const Runlist& runs);

class CClusterMap {
public:
    // `clusterCount` usable clusters in a bitmap of `bitmapBytes`; the bits
    // past the last cluster are in use.
    CClusterMap(uint64_t clusterCount, uint64_t bitmapBytes);

    // Marks a fixed range; overlapping an earlier range is a format failure.
    void Reserve(uint64_t lcn, uint64_t length);
    // Takes `count` free clusters, the first at or after `hint`, wrapping to the
    // start of the volume; the clusters need not be contiguous.
    Runlist Allocate(uint64_t count, uint64_t hint);

    bool InUse(uint64_t lcn) const { return (m_bits[lcn / 8] >> (lcn % 8)) & 1; }
    const std::vector<uint8_t>& Bytes() const { return m_bits; }

private:
    void Set(uint64_t lcn) { m_bits[lcn / 8] = static_cast<uint8_t>(m_bits[lcn / 8] | (1u << (lcn % 8))); }
    void TakeFrom(uint64_t from, uint64_t to, uint64_t& remaining, Runlist& runs);

    uint64_t m_clusterCount;
    std::vector<uint8_t> m_bits;
};

}  // namespace volcore::format
