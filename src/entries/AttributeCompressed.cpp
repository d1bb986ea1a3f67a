// Reading LZNT1-compressed attributes. The data is cut into compression units
// of 2^unit clusters (16 in everything Windows writes). The run map alone
// tells how each unit is stored: every cluster of its VCN range allocated
// means the bytes are stored as they are; some clusters allocated and the rest
// a hole means the allocated clusters hold an LZNT1 stream; no cluster
// allocated means the unit reads as zeros.
#include <algorithm>
#include <cstring>

#include "base/Exception.h"
#include "codec/Lznt1.h"
#include "entries/Attribute.h"
#include "volume/Volume.h"

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

}  // namespace volcore
