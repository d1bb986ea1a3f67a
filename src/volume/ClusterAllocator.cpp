#include "volume/ClusterAllocator.h"

#include "api/Exception.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "entries/RecordFormat.h"
#include "volume/Bitmap.h"

namespace volcore {

namespace {

// Splitting a request into several runs is not provided; every way an
// allocation can fail names where it gave up.
constexpr const char* kAllocateNotImplemented =
    "void __cdecl volcore::CClusterAllocator::Allocate(enum volcore::EAllocationZone,unsigned __int64,"
    "class std::map<struct volcore::VCN,struct volcore::SLcnAndLength,struct std::less<struct volcore::VCN>,"
    "class std::allocator<struct std::pair<struct volcore::VCN const ,struct volcore::SLcnAndLength> > > &) "
    "not implemented (%1:%2)";
constexpr int kSiteNoFreeRun = 50;
constexpr int kSiteDataOnlyInMftZone = 61;
constexpr int kSiteMftOutsideZone = 69;

[[noreturn]] void FailAllocation(int site) { throw CException(kAllocateNotImplemented, "ClusterAllocator", site); }

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

}  // namespace

CClusterAllocator::CClusterAllocator(uint64_t mftLcn, uint32_t clusterSize, uint64_t clusterCount,
                                     std::shared_ptr<CFileEntry> bitmapEntry)
    : m_clusterSize(clusterSize), m_clusterCount(clusterCount), m_mftZoneStart(mftLcn),
      m_mftZoneEnd(mftLcn + clusterCount / 8), m_bitmapEntry(std::move(bitmapEntry)) {
    m_bitmap = std::make_unique<CBitmap>(m_bitmapEntry->GetAttribute(AttrType::Data));
}

CClusterAllocator::~CClusterAllocator() = default;

bool CClusterAllocator::InMftZone(uint64_t lcn) const { return lcn >= m_mftZoneStart && lcn < m_mftZoneEnd; }

uint64_t CClusterAllocator::FindRun(uint64_t count, uint64_t start) const {
    if (start >= m_bitmap->GetSize()) return CBitmap::NotFound;
    uint64_t lcn = m_bitmap->FindClearRun(count, start);
    // Bits past the last whole cluster of the device are not clusters; the
    // first run found that reaches there means no later one fits either.
    if (lcn == CBitmap::NotFound || lcn > m_clusterCount || count > m_clusterCount - lcn) return CBitmap::NotFound;
    return lcn;
}

uint64_t CClusterAllocator::PlaceDataRun(uint64_t count, uint64_t lcn) const {
    if (!InMftZone(lcn)) return lcn;
    lcn = FindRun(count, m_mftZoneEnd);
    if (lcn != CBitmap::NotFound) return lcn;
    lcn = FindRun(count, 0);
    if (lcn == CBitmap::NotFound || lcn >= m_mftZoneStart) FailAllocation(kSiteDataOnlyInMftZone);
    return lcn;
}

void CClusterAllocator::Allocate(EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (count == 0) return;
    uint64_t& next = zone == EAllocationZone::MFT ? m_nextMft : m_nextData;
    uint64_t start = runs.empty() ? next : EndOfLastAllocatedRun(runs);
    uint64_t lcn = FindRun(count, start);
    if (lcn == CBitmap::NotFound) FailAllocation(kSiteNoFreeRun);
    if (zone == EAllocationZone::MFT) {
        if (!InMftZone(lcn)) FailAllocation(kSiteMftOutsideZone);
    } else {
        lcn = PlaceDataRun(count, lcn);
    }
    m_bitmap->SetRange(lcn, count);
    AppendRun(runs, lcn, count);
    next = lcn + count < m_clusterCount ? lcn + count : 0;
}

void CClusterAllocator::Free(uint64_t lcn, uint64_t count) { m_bitmap->ClearRange(lcn, count); }

void CClusterAllocator::Flush() {
    m_bitmap->Flush();
    m_bitmapEntry->Save();
}

}  // namespace volcore
