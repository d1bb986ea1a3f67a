#pragma once
// The engine's block device, its adapter over the caller's callbacks, and the
// wrapper that runs the session's write rule before every write.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

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

// Runs `beforeWrite` ahead of every write, not again for the writes that the
// hook itself makes; a hook that raises refuses the write.
class CGuardedDevice final : public IIoDevice {
public:
    CGuardedDevice(std::shared_ptr<IIoDevice> inner, std::function<void()> beforeWrite)
        : m_inner(std::move(inner)), m_beforeWrite(std::move(beforeWrite)) {}

    void Read(uint64_t offset, void* buffer, uint32_t length) override { m_inner->Read(offset, buffer, length); }
    void Write(uint64_t offset, const void* buffer, uint32_t length) override;
    // The volume's extent is fixed for the session: the device is asked once,
    // not on every transfer that checks a run against it.
    uint64_t GetSize() override {
        if (!m_size) m_size = m_inner->GetSize();
        return *m_size;
    }

private:
    std::shared_ptr<IIoDevice> m_inner;
    std::optional<uint64_t> m_size;
    std::function<void()> m_beforeWrite;
    bool m_inHook = false;
};

}  // namespace volcore
