#pragma once
// Shared by the record, runlist and attribute tests: an mkntfs image in memory
// with a volume loaded to its boot sector, raw FILE records read straight from
// the image, istat's view of a record, and a cluster allocator double.
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/IoDevice.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/Oracles.h"
#include "volume/ClusterAllocator.h"
#include "volume/Fixups.h"
#include "volume/Volume.h"

namespace volcore::test {


// Hands out clusters from `next` upwards as one run per call and records what
// was asked.
class TestAllocator final : public volcore::IClusterAllocator {
public:
    struct Calls {
        std::vector<volcore::EAllocationZone> zones;
        std::vector<std::pair<uint64_t, uint64_t>> freed;
    };

    TestAllocator(uint64_t next, std::shared_ptr<Calls> calls) : m_next(next), m_calls(std::move(calls)) {}

    void Allocate(volcore::EAllocationZone zone, uint64_t count, volcore::RunMap& runs) override {
        m_calls->zones.push_back(zone);
        uint64_t vcn = runs.empty() ? 0 : runs.rbegin()->first.value + runs.rbegin()->second.length;
        runs[volcore::VCN{vcn}] = {m_next, count};
        m_next += count;
    }
    void Free(uint64_t lcn, uint64_t count) override { m_calls->freed.emplace_back(lcn, count); }
    void Flush() override {}

private:
    uint64_t m_next;
    std::shared_ptr<Calls> m_calls;
};

struct ImageVolume {
    explicit ImageVolume(const ImageOptions& options = {}) {
        MakeNtfsImage(dir.File("v.img"), options);
        device = MemoryDevice::FromFile(dir.File("v.img"));
        volume = std::make_unique<volcore::CVolume>(std::make_shared<volcore::CIoDeviceImpl>(device.Api()),
                                                    volcore::ELoadDepth::BootSector);
    }

    // Record n as on disk after the fixups are undone; a fresh volume keeps its
    // first records contiguous at the MFT's LCN.
    volcore::MftRecBufferPtr ReadRecord(uint64_t n) const {
        uint32_t size = volume->GetMftRecordSize();
        auto buffer = std::make_shared<volcore::CMftRecBuffer>(size);
        volume->GetDevice().Read(volume->GetMftLcn() * volume->GetClusterSize() + n * size, buffer->bytes.data(),
                                 size);
        volcore::MstUnprotect(buffer->bytes, 1, size);
        return buffer;
    }

    // Installs the allocator double; returns what it records.
    std::shared_ptr<TestAllocator::Calls> InstallAllocator(uint64_t firstLcn) {
        auto calls = std::make_shared<TestAllocator::Calls>();
        volume->SetClusterAllocator(std::make_unique<TestAllocator>(firstLcn, calls));
        return calls;
    }

    std::string Path() const { return dir.File("v.img"); }

    TempDir dir;
    MemoryDevice device;
    std::unique_ptr<volcore::CVolume> volume;
};

}  // namespace volcore::test
