#pragma once
// The device a volume is formatted onto: the engine's device over the caller's
// callbacks, written in pieces the callbacks can take.
#include <cstdint>
#include <span>

#include "api/IoDevice.h"

namespace volcore::format {

class CFormatDevice {
public:
    explicit CFormatDevice(IIoDevice& device) : m_device(device) {}

    uint64_t Size() { return m_device.GetSize(); }
    // False when the device refuses the write.
    bool TryWrite(uint64_t offset, std::span<const uint8_t> bytes);
    // A failed write fails the format.
    void Write(uint64_t offset, std::span<const uint8_t> bytes);

private:
    IIoDevice& m_device;
};

}  // namespace volcore::format
