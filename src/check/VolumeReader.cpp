#include "check/VolumeReader.h"

#include <algorithm>
#include <cstring>

#include "base/Exception.h"

namespace volcore::check {
namespace {

constexpr uint64_t kLargestTransfer = 1u << 20;

}  // namespace

CVolumeReader::CVolumeReader(IIoDevice& device) : m_device(device) {
    try {
        m_size = device.GetSize();
    } catch (const CException& e) {
        throw CCannotCheck(e.what());
    }
}

void CVolumeReader::Read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > m_size || out.size() > m_size - offset)
        throw CException(EErrorKind::Corrupt, "Bytes %1 to %2 lie beyond the end of the device (%3 bytes)", offset,
                         offset + out.size(), m_size);
    for (uint64_t done = 0; done < out.size();) {
        auto length = static_cast<uint32_t>(std::min<uint64_t>(kLargestTransfer, out.size() - done));
        try {
            m_device.Read(offset + done, out.data() + done, length);
        } catch (const CException& e) {
            throw CCannotCheck(e.what());
        }
        done += length;
    }
}

void CVolumeReader::SetClusters(uint32_t clusterSize, uint64_t clusterCount) {
    m_clusterSize = clusterSize;
    m_clusterCount = clusterCount;
}

void CVolumeReader::ReadRuns(const RunMap& runs, uint64_t offset, std::span<uint8_t> out) const {
    const uint64_t cluster = m_clusterSize;
    for (uint64_t done = 0; done < out.size();) {
        uint64_t position = offset + done;
        uint64_t vcn = position / cluster;
        auto run = runs.upper_bound(VCN{vcn});
        if (run != runs.begin()) --run;
        if (run == runs.end() || vcn < run->first.value || vcn - run->first.value >= run->second.length)
            throw CException(EErrorKind::Corrupt, "No run maps VCN %1", vcn);
        uint64_t clustersLeft = run->first.value + run->second.length - vcn;
        uint64_t bytesLeft =
            clustersLeft > UINT64_MAX / cluster ? UINT64_MAX : clustersLeft * cluster - position % cluster;
        uint64_t length = std::min<uint64_t>(out.size() - done, bytesLeft);
        const SLcnAndLength& extent = run->second;
        if (extent.lcn == SparseLcn) {
            std::memset(out.data() + done, 0, length);
        } else {
            if (extent.lcn >= m_clusterCount || extent.length > m_clusterCount - extent.lcn)
                throw CException(EErrorKind::Corrupt, "Run at LCN %1 (%2 clusters) lies beyond the volume", extent.lcn,
                                 extent.length);
            uint64_t byte = (extent.lcn + vcn - run->first.value) * cluster + position % cluster;
            Read(byte, out.subspan(done, length));
        }
        done += length;
    }
}

}  // namespace volcore::check
