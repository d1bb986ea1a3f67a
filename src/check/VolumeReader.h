#pragma once
// Reads for the checker: no writes, every range bounded by the device, and a
// device that fails told apart from a volume that is damaged.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "base/IoDevice.h"
#include "disk/Types.h"

namespace volcore::check {

// The check cannot go on: the device failed, or nothing on it is NTFS.
class CCannotCheck : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CVolumeReader {
public:
    explicit CVolumeReader(IIoDevice& device);

    uint64_t DeviceSize() const { return m_size; }
    // Raises CException for a range past the end of the device (damage) and
    // CCannotCheck when the device itself fails.
    void Read(uint64_t offset, std::span<uint8_t> out) const;

    void SetClusters(uint32_t clusterSize, uint64_t clusterCount);
    uint32_t ClusterSize() const { return m_clusterSize; }
    uint64_t ClusterCount() const { return m_clusterCount; }

    // Reads at byte `offset` of the stream `runs` map: sparse runs read as
    // zeros; a gap in the runs or a run beyond the volume raises CException.
    void ReadRuns(const RunMap& runs, uint64_t offset, std::span<uint8_t> out) const;

private:
    IIoDevice& m_device;
    uint64_t m_size = 0;
    uint32_t m_clusterSize = 0;
    uint64_t m_clusterCount = 0;
};

}  // namespace volcore::check
