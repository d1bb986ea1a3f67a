#include "check/ClusterMap.h"

#include <algorithm>

namespace volcore::check {
namespace {

bool BitSet(std::span<const uint8_t> bitmap, uint64_t bit) {
    return bit / 8 < bitmap.size() && (bitmap[bit / 8] >> (bit % 8)) & 1;
}

// Calls visit(first, count) for every maximal range in [from, to) whose bits
// in `bitmap` equal `value`.
template <typename Visit>
void ForEachRange(std::span<const uint8_t> bitmap, bool value, uint64_t from, uint64_t to, Visit visit) {
    uint64_t start = from;
    bool inside = false;
    for (uint64_t bit = from; bit < to; ++bit) {
        bool match = BitSet(bitmap, bit) == value;
        if (match && !inside) start = bit;
        if (!match && inside) visit(start, bit - start);
        inside = match;
    }
    if (inside) visit(start, to - start);
}

}  // namespace

void CClusterMap::Claim(uint64_t record, const RunMap& runs) {
    for (const auto& [vcn, run] : runs) {
        if (run.lcn == SparseLcn || run.lcn >= m_clusterCount) continue;
        m_claims.push_back({run.lcn, std::min(run.length, m_clusterCount - run.lcn), record});
        m_sorted = false;
    }
}

void CClusterMap::SortClaims() {
    if (m_sorted) return;
    std::sort(m_claims.begin(), m_claims.end(), [](const SClaim& a, const SClaim& b) {
        return a.lcn != b.lcn ? a.lcn < b.lcn : a.record < b.record;
    });
    m_sorted = true;
}

void CClusterMap::ReportCrossLinks(CReport& report) {
    SortClaims();
    // The claim reaching furthest so far: any later claim that starts before
    // its end shares clusters with it.
    const SClaim* reach = nullptr;
    for (const SClaim& claim : m_claims) {
        if (reach && claim.lcn < reach->lcn + reach->length) {
            uint64_t end = std::min(claim.lcn + claim.length, reach->lcn + reach->length);
            report.Add(ECode::ClusterCrossLinked, claim.record,
                       "Clusters %1 to %2 belong to record %3 and to record %4", claim.lcn, end - 1, reach->record,
                       claim.record);
        }
        if (!reach || claim.lcn + claim.length > reach->lcn + reach->length) reach = &claim;
    }
}

uint64_t CClusterMap::CompareWithBitmap(std::span<const uint8_t> bitmap, CReport& report) {
    SortClaims();
    std::vector<uint8_t> owned((m_clusterCount + 7) / 8, 0);
    uint64_t ownedCount = 0;
    // Clusters already seen belong to an earlier claim (the later one is a
    // cross-link): each cluster is looked at once, however claims overlap.
    uint64_t covered = 0;
    for (const SClaim& claim : m_claims) {
        uint64_t from = std::max(claim.lcn, covered), to = claim.lcn + claim.length;
        if (from >= to) continue;
        covered = to;
        ownedCount += to - from;
        uint64_t unmarked = 0;
        ForEachRange(bitmap, false, from, to, [&](uint64_t, uint64_t count) { unmarked += count; });
        if (unmarked != 0)
            report.Add(SFix{EFix::MarkClusters, from, to - from}, ECode::ClusterUnmarked, claim.record,
                       "Record %1: %2 of its clusters %3 to %4 are free in $Bitmap", claim.record, unmarked, from,
                       to - 1);
        for (uint64_t lcn = from; lcn < to; ++lcn) owned[lcn / 8] |= static_cast<uint8_t>(1u << (lcn % 8));
    }
    ForEachRange(owned, false, 0, m_clusterCount, [&](uint64_t first, uint64_t count) {
        ForEachRange(bitmap, true, first, first + count, [&](uint64_t leaked, uint64_t leakedCount) {
            report.Add(SFix{EFix::FreeClusters, leaked, leakedCount}, ECode::ClusterLeaked, kNoRecord, "Clusters %1 to %2 are marked in $Bitmap but nothing owns them",
                       leaked, leaked + leakedCount - 1);
        });
    });
    return ownedCount;
}

}  // namespace volcore::check
