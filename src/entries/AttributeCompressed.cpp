// LZNT1-compressed attributes. The data is cut into compression units
// of 2^unit clusters (16 in everything Windows writes). The run map alone
// tells how each unit is stored: every cluster of its VCN range allocated
// means the bytes are stored as they are; some clusters allocated and the rest
// a hole means the allocated clusters hold an LZNT1 stream; no cluster
// allocated means the unit reads as zeros.
//
// A write changes one unit at a time in memory (the pending unit), so that
// sequential small writes compress each unit once. The unit is stored when a
// write moves to another unit, on a resize and before the record is saved:
// as a hole when it is all zeros, compressed when that saves at least one
// cluster, else as it is. A unit is rewritten in new clusters (copy on
// write): the record on disk keeps pointing at the old ones, which are freed
// only once the saved record no longer does, so a power cut anywhere leaves
// either the old unit or the new one. Clusters taken since the last save are
// the exception: nothing on disk holds them, so they are rewritten in place.
#include <algorithm>
#include <cstring>
#include <span>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "codec/Lznt1.h"
#include "entries/Attribute.h"
#include "disk/Runlist.h"
#include "disk/VolumeServices.h"

namespace volcore {
namespace {

// Units larger than this are not something NTFS writes; refusing them bounds
// what one read allocates.
constexpr uint64_t kLargestUnit = 4u << 20;

}  // namespace

uint64_t CAttribute::CompressionUnitBytes() const {
    const uint64_t clusterSize = m_volume.GetClusterSize();
    if (m_compressionUnit == 0 || m_compressionUnit > 16 || (clusterSize << m_compressionUnit) > kLargestUnit)
        throw CException(EErrorKind::Corrupt, "Attribute %1 of record %2 is compressed with a compression unit of 2^%3 clusters",
                         m_type, RecordNumber(m_owner), m_compressionUnit);
    return clusterSize << m_compressionUnit;
}

// The unit's bytes, decompressed; a unit cut short by the end of the data
// (or of its stream) is padded with zeros.
const std::vector<uint8_t>& CAttribute::CompressionUnit(uint64_t unit) const {
    if (unit == m_pendingUnit) return m_pendingBytes;
    if (unit == m_cachedUnit) return m_unitCache;
    const uint64_t unitBytes = CompressionUnitBytes();
    m_cachedUnit = ~uint64_t{0};
    m_unitCache.assign(unitBytes, 0);
    std::vector<uint8_t> stored;
    bool hole = false;
    const uint64_t covered = Transfer(unit * unitBytes, unitBytes, [&](const STransferChunk& chunk) {
        if (chunk.lcn == SparseLcn) {
            hole = true;
            return;
        }
        const size_t at = stored.size();
        stored.resize(at + chunk.length);
        m_volume.GetDevice().Read(chunk.devicePosition, stored.data() + at, chunk.length);
    });
    if (covered < unitBytes) hole = true;  // the runs end inside the unit: the rest is a hole
    if (!hole) {
        m_unitCache = std::move(stored);
    } else if (!stored.empty()) {
        try {
            Lznt1Decompress(stored, m_unitCache);
        } catch (const CException& failure) {
            throw CException(EErrorKind::Corrupt, "Attribute %1 of record %2, compression unit %3: %4", m_type,
                             RecordNumber(m_owner), unit, failure.what());
        }
    }
    m_cachedUnit = unit;
    return m_unitCache;
}

void CAttribute::ReadCompressed(uint64_t offset, uint8_t* out, uint64_t size) const {
    const uint64_t unitBytes = CompressionUnitBytes();
    for (uint64_t done = 0; done < size;) {
        const uint64_t position = offset + done;
        const std::vector<uint8_t>& unit = CompressionUnit(position / unitBytes);
        const uint64_t skip = position % unitBytes;
        const uint64_t piece = std::min(unitBytes - skip, size - done);
        std::memcpy(out + done, unit.data() + skip, piece);
        done += piece;
    }
}

void CAttribute::WriteCompressed(uint64_t offset, const uint8_t* buffer, uint64_t size) {
    ZeroPastInitialized();
    const uint64_t unitBytes = CompressionUnitBytes();
    for (uint64_t done = 0; done < size;) {
        const uint64_t position = offset + done;
        const uint64_t skip = position % unitBytes;
        const uint64_t piece = std::min(unitBytes - skip, size - done);
        std::vector<uint8_t>& unit = PendingUnit(position / unitBytes, piece == unitBytes);
        std::memcpy(unit.data() + skip, buffer + done, piece);
        done += piece;
    }
    m_dirty = true;
}

// The unit as it reads now, with zeros past the data, ready to be patched;
// the unit pending before is stored first.
std::vector<uint8_t>& CAttribute::PendingUnit(uint64_t unit, bool overwrittenWhole) {
    if (unit == m_pendingUnit) return m_pendingBytes;
    StorePendingUnit();
    const uint64_t unitBytes = CompressionUnitBytes();
    const uint64_t start = unit * unitBytes;
    const uint64_t valid = std::min(m_initializedSize, m_dataSize);
    if (overwrittenWhole || start >= valid) {
        m_pendingBytes.assign(unitBytes, 0);
    } else {
        m_pendingBytes = CompressionUnit(unit);
        if (valid - start < unitBytes)
            std::fill(m_pendingBytes.begin() + static_cast<std::ptrdiff_t>(valid - start), m_pendingBytes.end(), 0);
    }
    m_cachedUnit = ~uint64_t{0};
    m_pendingUnit = unit;
    return m_pendingBytes;
}

bool CAttribute::StorePendingUnit() {
    if (m_pendingUnit == ~uint64_t{0}) return false;
    StoreUnit(m_pendingUnit, m_pendingBytes);
    m_pendingUnit = ~uint64_t{0};
    return true;
}

void CAttribute::DropPendingUnit() { m_pendingUnit = ~uint64_t{0}; }

void CAttribute::StoreUnit(uint64_t unit, const std::vector<uint8_t>& bytes) {
    const uint64_t unitBytes = CompressionUnitBytes();
    const uint64_t clusterSize = m_volume.GetClusterSize();
    const uint64_t start = unit * unitBytes;
    if (start >= m_dataSize) return;
    // Only the chunks the data reaches are compressed (a reader pads a short
    // unit with zeros), each of them whole: other readers take a chunk
    // stored as it is for 4096 bytes, whatever its header says.
    const size_t valid = static_cast<size_t>(std::min(unitBytes, RoundUp(m_dataSize - start, Lznt1ChunkSize)));
    const std::span<const uint8_t> data(bytes.data(), valid);
    if (std::all_of(data.begin(), data.end(), [](uint8_t byte) { return byte == 0; })) {
        PlaceUnit(unit, 0);
        return;
    }
    const std::vector<uint8_t> compressed = Lznt1Compress(data);
    const uint64_t clusters = RoundUp(compressed.size(), clusterSize) / clusterSize;
    if (clusters < unitBytes / clusterSize) WritePieces(PlaceUnit(unit, clusters), compressed.data(), compressed.size());
    else WritePieces(PlaceUnit(unit, unitBytes / clusterSize), bytes.data(), unitBytes);
}

std::vector<SLcnAndLength> CAttribute::PlaceUnit(uint64_t unit, uint64_t clusters) {
    const uint64_t unitClusters = CompressionUnitBytes() / m_volume.GetClusterSize();
    const uint64_t vcn = unit * unitClusters;
    const uint64_t allocatedClusters = GetAllocatedSize() / m_volume.GetClusterSize();
    if (allocatedClusters < vcn + unitClusters)
        ChangeRuns([&](RunMap& runs) { AppendHole(runs, vcn + unitClusters - allocatedClusters); });
    const std::vector<SLcnAndLength> held = AllocatedPieces(Runs(), vcn, unitClusters);
    std::vector<SLcnAndLength> kept, released;
    bool inPlace = TakenSinceSave(held);
    if (!inPlace) {
        // Copy on write: the record on disk may point at the unit's clusters,
        // and rewriting them in place would garble the unit on a power cut.
        try {
            if (clusters != 0) kept = AllocateAfter(LastClustersBefore(vcn), clusters);
            released = held;
        } catch (const CVolumeFull&) {
            // With no cluster left for the copy the unit is rewritten where
            // it lies, as other implementations always do: only a power cut
            // during this write can then garble it. Losing the caller's
            // write would be certain.
            if (held.empty()) throw;
            LogWarning(FormatText("A compression unit of file entry %1 is written in place: the volume is full",
                                  RecordNumber(m_owner)));
            inPlace = true;
        }
    }
    if (inPlace) {
        // Nothing on disk holds them yet (or no cluster is left for a copy):
        // they are rewritten where they are.
        uint64_t keptClusters = 0;
        for (const SLcnAndLength& piece : held) {
            const uint64_t take = std::min(piece.length, clusters - keptClusters);
            if (take != 0) kept.push_back({piece.lcn, take});
            if (take != piece.length) released.push_back({piece.lcn + take, piece.length - take});
            keptClusters += take;
        }
        if (keptClusters < clusters) {
            const SLcnAndLength previous = kept.empty() ? LastClustersBefore(vcn) : kept.back();
            for (const SLcnAndLength& piece : AllocateAfter(previous, clusters - keptClusters)) kept.push_back(piece);
        }
    }
    std::vector<SLcnAndLength> layout = kept;
    if (clusters < unitClusters) layout.push_back({SparseLcn, unitClusters - clusters});
    ChangeRuns([&](RunMap& runs) { ReplaceRuns(runs, vcn, layout); });
    for (const SLcnAndLength& piece : released) m_volume.DeallocateClusters(m_owner, piece.lcn, piece.length);
    m_dirty = true;
    m_cachedUnit = ~uint64_t{0};
    return kept;
}

// Writes `bytes` over the clusters in order, the end of the last one zeroed.
void CAttribute::WritePieces(const std::vector<SLcnAndLength>& pieces, const uint8_t* bytes, uint64_t length) {
    static const std::vector<uint8_t> zeros(64 * 1024, 0);
    const uint64_t clusterSize = m_volume.GetClusterSize();
    const uint64_t deviceSize = m_volume.GetDevice().GetSize();
    uint64_t done = 0;
    for (const SLcnAndLength& piece : pieces) {
        const uint32_t pieceBytes = NumericCast<uint32_t>(piece.length * clusterSize);
        const uint64_t position = DevicePosition(piece.lcn, 0, pieceBytes, deviceSize);
        const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(pieceBytes, length - std::min(done, length)));
        if (data != 0) m_volume.GetDevice().Write(position, bytes + done, data);
        for (uint32_t zeroed = data; zeroed < pieceBytes;) {
            const uint32_t part = std::min<uint32_t>(static_cast<uint32_t>(zeros.size()), pieceBytes - zeroed);
            m_volume.GetDevice().Write(position + zeroed, zeros.data(), part);
            zeroed += part;
        }
        done += pieceBytes;
    }
}

// A shrink stores the unit the new end falls in with zeros past it and frees
// the units after it; a growth makes sure the bytes past the old end are
// zeros before they become data, and adds holes.
void CAttribute::ResizeCompressed(uint64_t newSize) {
    ZeroPastInitialized();
    const uint64_t unitBytes = CompressionUnitBytes();
    const uint64_t clusterSize = m_volume.GetClusterSize();
    if (newSize < m_dataSize) {
        const uint64_t keptUnits = RoundUp(newSize, unitBytes) / unitBytes;
        if (m_pendingUnit != ~uint64_t{0} && m_pendingUnit >= keptUnits) DropPendingUnit();
        if (newSize % unitBytes != 0) {
            std::vector<uint8_t>& last = PendingUnit(newSize / unitBytes, false);
            std::fill(last.begin() + static_cast<std::ptrdiff_t>(newSize % unitBytes), last.end(), 0);
        }
        m_dataSize = m_initializedSize = newSize;
        m_cachedUnit = ~uint64_t{0};
        ReleaseRunsFrom(keptUnits * unitBytes / clusterSize);
        if (newSize == 0 && ReturnsToRecordWhenEmpty()) {
            DropPendingUnit();
            m_nonResident = false;
            ChangeRuns([](RunMap& runs) { runs.clear(); });
            m_value.clear();
        }
        return;
    }
    if (m_dataSize % unitBytes != 0) PendingUnit(m_dataSize / unitBytes, false);
    if (newSize > UINT64_MAX - unitBytes) throw CException(EErrorKind::Argument, "Cannot allocate %1 bytes", newSize);
    const uint64_t needed = RoundUp(newSize, unitBytes);
    if (const uint64_t allocated = GetAllocatedSize(); needed > allocated)
        ChangeRuns([&](RunMap& runs) { AppendHole(runs, (needed - allocated) / clusterSize); });
    m_dataSize = m_initializedSize = newSize;
}

void CAttribute::ZeroPastInitialized() {
    if (m_initializedSize >= m_dataSize) return;
    const uint64_t unitBytes = CompressionUnitBytes();
    const uint64_t unitClusters = unitBytes / m_volume.GetClusterSize();
    if (m_initializedSize % unitBytes != 0) PendingUnit(m_initializedSize / unitBytes, false);
    // The whole units past it become one hole.
    const uint64_t firstVcn = RoundUp(m_initializedSize, unitBytes) / unitBytes * unitClusters;
    const uint64_t endVcn = GetAllocatedSize() / m_volume.GetClusterSize();
    if (m_pendingUnit != ~uint64_t{0} && m_pendingUnit * unitClusters >= firstVcn) DropPendingUnit();
    if (firstVcn < endVcn) {
        const std::vector<SLcnAndLength> released = AllocatedPieces(Runs(), firstVcn, endVcn - firstVcn);
        ChangeRuns([&](RunMap& runs) { ReplaceRuns(runs, firstVcn, {{SparseLcn, endVcn - firstVcn}}); });
        for (const SLcnAndLength& piece : released) m_volume.DeallocateClusters(m_owner, piece.lcn, piece.length);
    }
    m_cachedUnit = ~uint64_t{0};
    m_initializedSize = m_dataSize;
    m_dirty = true;
}

}  // namespace volcore
