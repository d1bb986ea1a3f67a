#pragma once
// Cluster allocation by zone and next fit over the volume's cluster bitmap:
// one run where one is large enough, else as many as it takes.
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/Types.h"

namespace volcore {

// Adds clusters at the end of `runs`, merged with the last run when they follow it.
void AppendRun(RunMap& runs, uint64_t lcn, uint64_t count);

class CBitmap;
class CFileEntry;

// What the volume needs of an allocator; tests put a simple double behind it.
class IClusterAllocator {
public:
    virtual ~IClusterAllocator() = default;
    // Allocates `count` clusters as runs appended to `runs` (continuing from
    // the map's end VCN), or raises and leaves map and bitmap unchanged.
    virtual void Allocate(EAllocationZone zone, uint64_t count, RunMap& runs) = 0;
    virtual void Free(uint64_t lcn, uint64_t count) = 0;
    virtual void Flush() = 0;
    // Writes the bitmap's changes only, not its record.
    virtual void FlushBitmap() {}
};

class CClusterAllocator final : public IClusterAllocator {
public:
    CClusterAllocator(uint64_t mftLcn, uint32_t clusterSize, uint64_t clusterCount,
                      std::shared_ptr<CFileEntry> bitmapEntry);
    ~CClusterAllocator() override;

    void Allocate(EAllocationZone zone, uint64_t count, RunMap& runs) override;
    void Free(uint64_t lcn, uint64_t count) override;
    void Flush() override;
    void FlushBitmap() override;

    CBitmap& GetBitmap() { return *m_bitmap; }
    uint64_t GetClusterCount() const { return m_clusterCount; }
    uint64_t GetMftZoneStart() const { return m_mftZoneStart; }
    uint64_t GetMftZoneEnd() const { return m_mftZoneEnd; }
    uint64_t GetNextPosition(EAllocationZone zone) const {
        return zone == EAllocationZone::MFT ? m_nextMft : m_nextData;
    }

private:
    struct SInterval {
        uint64_t start;
        uint64_t end;
    };
    // Where a search for `zone` looks, in order: its own part of the volume
    // (the MFT zone for the MFT, the rest for everything else) from `start`
    // on and then from its beginning, then the other part.
    std::vector<SInterval> SearchOrder(EAllocationZone zone, uint64_t start, size_t& preferred) const;
    // First run of `count` clear clusters inside the interval, or NotFound.
    uint64_t FindRun(uint64_t count, const SInterval& interval) const;
    std::vector<SLcnAndLength> GatherRuns(uint64_t count, const std::vector<SInterval>& order) const;

    uint32_t m_clusterSize;
    uint64_t m_clusterCount;
    uint64_t m_mftZoneStart;
    uint64_t m_mftZoneEnd;
    uint64_t m_nextData = 0;
    uint64_t m_nextMft = 0;
    std::shared_ptr<CFileEntry> m_bitmapEntry;
    std::unique_ptr<CBitmap> m_bitmap;
};

}  // namespace volcore
