#include "volume/ClusterAllocator.h"

#include "api/NotYet.h"
#include "entries/FileEntry.h"
#include "volume/Bitmap.h"

namespace volcore {
CClusterAllocator::CClusterAllocator(uint64_t, uint32_t clusterSize, uint64_t clusterCount,
                                     std::shared_ptr<CFileEntry> bitmapEntry)
    : m_clusterSize(clusterSize), m_clusterCount(clusterCount), m_mftZoneStart(0), m_mftZoneEnd(0),
      m_bitmapEntry(std::move(bitmapEntry)) { NotYet("CClusterAllocator"); }
CClusterAllocator::~CClusterAllocator() = default;
void CClusterAllocator::Allocate(EAllocationZone, uint64_t, RunMap&) { NotYet("CClusterAllocator"); }
void CClusterAllocator::Free(uint64_t, uint64_t) { NotYet("CClusterAllocator"); }
void CClusterAllocator::Flush() { NotYet("CClusterAllocator"); }
}  // namespace volcore
