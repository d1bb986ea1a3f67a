#include "volume/ClusterAllocator.h"

#include <algorithm>

#include "base/Exception.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "volume/Bitmap.h"

namespace volcore {

namespace {

// Where an attribute that already has clusters continues: right after its last
// allocated run, so that files grow contiguously when they can.
uint64_t EndOfLastAllocatedRun(const RunMap& runs) {
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        const SLcnAndLength& run = it->second;
        if (run.lcn == SparseLcn) continue;
        uint64_t end = run.lcn + run.length;
        // A run list from a hostile record may claim clusters past any volume.
        return end < run.lcn ? CBitmap::NotFound : end;
    }
    return 0;
}


}  // namespace

void AppendRun(RunMap& runs, uint64_t lcn, uint64_t count) {
    if (runs.empty()) {
        runs[VCN{0}] = SLcnAndLength{lcn, count};
        return;
    }
    auto& [vcn, last] = *runs.rbegin();
    if (last.lcn != SparseLcn && last.lcn + last.length == lcn) {
        last.length += count;
        return;
    }
    runs[VCN{vcn.value + last.length}] = SLcnAndLength{lcn, count};
}

CClusterAllocator::CClusterAllocator(uint64_t mftLcn, uint32_t clusterSize, uint64_t clusterCount,
                                     std::shared_ptr<CFileEntry> bitmapEntry)
    : m_clusterSize(clusterSize), m_clusterCount(clusterCount), m_mftZoneStart(mftLcn),
      m_mftZoneEnd(mftLcn + clusterCount / 8), m_bitmapEntry(std::move(bitmapEntry)) {
    m_bitmap = std::make_unique<CBitmap>(m_bitmapEntry->GetAttribute(AttrType::Data));
}

CClusterAllocator::~CClusterAllocator() = default;

std::vector<CClusterAllocator::SInterval> CClusterAllocator::SearchOrder(EAllocationZone zone, uint64_t start,
                                                                        size_t& preferred) const {
    // Bits past the last whole cluster of the device are not clusters.
    const uint64_t limit = std::min(m_clusterCount, m_bitmap->GetSize());
    const uint64_t zoneStart = std::min(m_mftZoneStart, limit);
    const uint64_t zoneEnd = std::min(std::max(m_mftZoneEnd, zoneStart), limit);
    start = std::min(start, limit);
    std::vector<SInterval> outside;
    auto addOutside = [&](uint64_t from, uint64_t to) {
        if (from < std::min(to, zoneStart)) outside.push_back({from, std::min(to, zoneStart)});
        if (std::max(from, zoneEnd) < to) outside.push_back({std::max(from, zoneEnd), to});
    };
    addOutside(start, limit);
    addOutside(0, start);
    std::vector<SInterval> inside;
    uint64_t zoneFrom = std::clamp(start, zoneStart, zoneEnd);
    if (zoneFrom < zoneEnd) inside.push_back({zoneFrom, zoneEnd});
    if (zoneStart < zoneFrom) inside.push_back({zoneStart, zoneFrom});

    std::vector<SInterval> order = zone == EAllocationZone::MFT ? inside : outside;
    preferred = order.size();
    const std::vector<SInterval>& rest = zone == EAllocationZone::MFT ? outside : inside;
    order.insert(order.end(), rest.begin(), rest.end());
    return order;
}

uint64_t CClusterAllocator::FindRun(uint64_t count, const SInterval& interval) const {
    for (uint64_t position = interval.start; position < interval.end;) {
        uint64_t length = 0;
        uint64_t lcn = m_bitmap->FindClearExtent(position, interval.end, count, length);
        if (lcn >= interval.end) break;
        if (length >= count) return lcn;
        position = lcn + length;
    }
    return CBitmap::NotFound;
}

// Free runs in search order until they add up to `count`.
std::vector<SLcnAndLength> CClusterAllocator::GatherRuns(uint64_t count, const std::vector<SInterval>& order) const {
    std::vector<SLcnAndLength> runs;
    uint64_t missing = count;
    for (const SInterval& interval : order) {
        for (uint64_t position = interval.start; position < interval.end && missing != 0;) {
            uint64_t length = 0;
            uint64_t lcn = m_bitmap->FindClearExtent(position, interval.end, missing, length);
            if (lcn >= interval.end) break;
            runs.push_back({lcn, length});
            missing -= length;
            position = lcn + length;
        }
    }
    return runs;
}

void CClusterAllocator::Allocate(EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (count == 0) return;
    uint64_t& next = zone == EAllocationZone::MFT ? m_nextMft : m_nextData;
    size_t preferred = 0;
    std::vector<SInterval> order = SearchOrder(zone, runs.empty() ? next : EndOfLastAllocatedRun(runs), preferred);
    std::vector<SLcnAndLength> pieces;
    for (size_t i = 0; i < preferred && pieces.empty(); ++i) {
        uint64_t lcn = FindRun(count, order[i]);
        if (lcn != CBitmap::NotFound) pieces.push_back({lcn, count});
    }
    if (pieces.empty()) {
        // The search order covers every cluster: runs that fall short are all there is.
        pieces = GatherRuns(count, order);
        uint64_t free = 0;
        for (const SLcnAndLength& piece : pieces) free += piece.length;
        if (free < count)
            throw CVolumeFull(EErrorKind::Argument,
                              "Cannot allocate %1 cluster(s): the volume is full (%2 cluster(s) free)", count, free);
    }
    for (const SLcnAndLength& piece : pieces) {
        m_bitmap->SetRange(piece.lcn, piece.length);
        AppendRun(runs, piece.lcn, piece.length);
    }
    uint64_t end = pieces.back().lcn + pieces.back().length;
    next = end < m_clusterCount ? end : 0;
}

void CClusterAllocator::Free(uint64_t lcn, uint64_t count) { m_bitmap->ClearRange(lcn, count); }

void CClusterAllocator::FlushBitmap() { m_bitmap->Flush(); }

void CClusterAllocator::Flush() {
    m_bitmap->Flush();
    m_bitmapEntry->Save();
}

}  // namespace volcore
