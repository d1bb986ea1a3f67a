#pragma once
// The engine's block device and its adapter over the caller's callbacks.
#include <cstdint>

#include "volkit/api.h"

namespace volcore {

class IIoDevice {
public:
    virtual void Read(uint64_t offset, void* buffer, uint32_t length) = 0;
    virtual void Write(uint64_t offset, const void* buffer, uint32_t length) = 0;
    virtual uint64_t GetSize() = 0;
    virtual ~IIoDevice() = default;
};

// A callback that reports failure raises CException naming the operation,
// offset and length: the engine never carries on after a failed transfer.
class CIoDeviceImpl final : public IIoDevice {
public:
    explicit CIoDeviceImpl(const volkit::api::NtfsIoDevice& device) : m_device(device) {}

    void Read(uint64_t offset, void* buffer, uint32_t length) override;
    void Write(uint64_t offset, const void* buffer, uint32_t length) override;
    uint64_t GetSize() override;

private:
    volkit::api::NtfsIoDevice m_device;
};

}  // namespace volcore
