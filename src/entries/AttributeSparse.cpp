// Writing sparse data. A write that lands in a hole takes clusters for the
// clusters it touches only; the parts of them the write does not cover are
// zeroed, since the hole read as zeros there. Clusters are marked in the
// bitmap here and reach the record only at its next save, which writes the
// bitmap first. New clusters are never ones the file gave up earlier in the
// session: the record on disk may still point at those, and writing into
// them before the save would change data a power cut must leave intact.
#include <algorithm>

#include "base/ContractTexts.h"
#include "base/Exception.h"
#include "entries/Attribute.h"
#include "disk/Runlist.h"
#include "disk/VolumeServices.h"

namespace volcore {

void CAttribute::FillHoles(uint64_t offset, uint64_t size) {
    const uint64_t clusterSize = m_volume.GetClusterSize();
    const uint64_t end = offset + size;
    const uint64_t firstVcn = offset / clusterSize;
    const uint64_t endVcn = RoundUp(end, clusterSize) / clusterSize;
    std::vector<SLcnAndLength> holes;  // as (first VCN, length)
    auto it = Runs().upper_bound(VCN{firstVcn});
    if (it != Runs().begin()) --it;
    for (; it != Runs().end() && it->first.value < endVcn; ++it) {
        if (it->second.lcn != SparseLcn) continue;
        const uint64_t from = std::max(it->first.value, firstVcn);
        const uint64_t to = std::min(it->first.value + it->second.length, endVcn);
        if (from < to) holes.push_back({from, to - from});
    }
    for (const SLcnAndLength& hole : holes) {
        const std::vector<SLcnAndLength> pieces = AllocateAfter(LastClustersBefore(hole.lcn), hole.length);
        ChangeRuns([&](RunMap& runs) { ReplaceRuns(runs, hole.lcn, pieces); });
        m_dirty = true;
        m_cachedUnit = ~uint64_t{0};
        const uint64_t holeStart = hole.lcn * clusterSize;
        const uint64_t holeEnd = (hole.lcn + hole.length) * clusterSize;
        if (holeStart < offset) ZeroOnDevice(holeStart, offset - holeStart);
        if (end < holeEnd) ZeroOnDevice(end, holeEnd - end);
    }
}

void CAttribute::ZeroRange(uint64_t offset, uint64_t size) {
    const uint64_t dataSize = GetSize();
    if (size == 0 || offset > dataSize || size > dataSize - offset)
        throw CException(EErrorKind::Argument, ContractText::AttributeRange, "ZeroRange", offset, size, dataSize);
    CheckChangeable();
    const uint64_t end = offset + size;
    uint64_t holeFrom = end;
    uint64_t holeTo = end;
    if (m_nonResident && IsSparse() && !HoldsCompressedData()) {
        const uint64_t clusterSize = m_volume.GetClusterSize();
        holeFrom = std::min(RoundUp(offset, clusterSize), end);
        holeTo = std::max(end / clusterSize * clusterSize, holeFrom);
        if (holeFrom < holeTo) MakeHole(holeFrom / clusterSize, (holeTo - holeFrom) / clusterSize);
    }
    WriteZeros(offset, holeFrom);
    WriteZeros(holeTo, end);
}

void CAttribute::MakeHole(uint64_t vcn, uint64_t count) {
    const std::vector<SLcnAndLength> given = AllocatedPieces(Runs(), vcn, count);
    if (given.empty()) return;
    ChangeRuns([&](RunMap& runs) { ReplaceRuns(runs, vcn, {{SparseLcn, count}}); });
    m_dirty = true;
    m_cachedUnit = ~uint64_t{0};
    for (const SLcnAndLength& piece : given) m_volume.DeallocateClusters(m_owner, piece.lcn, piece.length);
}

void CAttribute::WriteZeros(uint64_t from, uint64_t to) {
    static constexpr uint8_t kZeros[64 * 1024] = {};
    if (m_nonResident) to = std::min(to, m_initializedSize);
    const uint64_t clusterSize = m_volume.GetClusterSize();
    const bool sparse = m_nonResident && IsSparse() && !HoldsCompressedData();
    while (from < to) {
        const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(sizeof kZeros, to - from));
        const uint64_t vcn = from / clusterSize;
        const bool inHole = sparse && (from + piece - 1) / clusterSize == vcn && AllocatedPieces(Runs(), vcn, 1).empty();
        if (!inHole) WriteData(from, kZeros, piece);
        from += piece;
    }
}

std::pair<uint64_t, uint64_t> CAttribute::DataRangeFrom(uint64_t offset) const {
    const uint64_t size = GetSize();
    if (offset >= size) return {size, size};
    if (!m_nonResident) return {offset, size};
    const uint64_t clusterSize = m_volume.GetClusterSize();
    // A compression unit with any clusters holds data, though its tail is a run without any.
    const uint64_t unit = HoldsCompressedData() ? CompressionUnitBytes() / clusterSize : 1;
    const uint64_t fromVcn = offset / clusterSize;
    auto it = Runs().upper_bound(VCN{fromVcn / unit * unit});
    if (it != Runs().begin()) --it;
    uint64_t startVcn = 0;
    uint64_t endVcn = 0;
    for (; it != Runs().end(); ++it) {
        if (it->second.lcn == SparseLcn) continue;
        const uint64_t first = it->first.value / unit * unit;
        const uint64_t last = RoundUp(it->first.value + it->second.length, unit);
        if (last <= fromVcn) continue;
        if (endVcn != 0 && first > endVcn) break;
        if (endVcn == 0) startVcn = first;
        endVcn = std::max(endVcn, last);
    }
    endVcn = std::min(endVcn, GetAllocatedSize() / clusterSize);
    const uint64_t start = std::max(offset, startVcn * clusterSize);
    const uint64_t end = std::min(size, endVcn * clusterSize);
    if (start >= end) return {size, size};
    return {start, end};
}

// The clusters just before `vcn` (the part of the run that ends there, or
// the last allocated run before it): new clusters are looked for after them.
SLcnAndLength CAttribute::LastClustersBefore(uint64_t vcn) const {
    auto it = Runs().lower_bound(VCN{vcn});
    while (it != Runs().begin()) {
        --it;
        if (it->second.lcn == SparseLcn) continue;
        return {it->second.lcn, std::min(it->second.length, vcn - it->first.value)};
    }
    return {SparseLcn, 0};
}

std::vector<SLcnAndLength> CAttribute::AllocateAfter(const SLcnAndLength& previous, uint64_t count) {
    RunMap placed;
    const uint64_t skip = previous.lcn == SparseLcn ? 0 : previous.length;
    if (skip != 0) placed[VCN{0}] = previous;
    m_volume.AllocateUnreferencedClusters(Zone(), count, placed);
    std::vector<SLcnAndLength> fresh;
    for (const auto& [vcn, run] : placed) {
        if (vcn.value + run.length <= skip) continue;
        const uint64_t into = skip > vcn.value ? skip - vcn.value : 0;
        fresh.push_back({run.lcn + into, run.length - into});
        uint64_t& noted = m_unsavedClusters[run.lcn + into];
        noted = std::max(noted, run.length - into);
    }
    return fresh;
}

bool CAttribute::TakenSinceSave(const std::vector<SLcnAndLength>& pieces) const {
    for (const SLcnAndLength& piece : pieces) {
        for (uint64_t lcn = piece.lcn; lcn < piece.lcn + piece.length;) {
            auto it = m_unsavedClusters.upper_bound(lcn);
            if (it == m_unsavedClusters.begin()) return false;
            --it;
            if (lcn >= it->first + it->second) return false;
            lcn = it->first + it->second;
        }
    }
    return true;
}

}  // namespace volcore
