#include "support/MemoryDevice.h"

#include <cstring>
#include <stdexcept>

#include "support/Images.h"
#include "support/LogCapture.h"

namespace volcore::test {

MemoryDevice MemoryDevice::FromFile(const std::string& path) { return MemoryDevice(ReadFileBytes(path)); }

void MemoryDevice::SaveToFile(const std::string& path) const { WriteFileBytes(path, m_bytes); }

volkit::api::NtfsIoDevice MemoryDevice::Api() {
    volkit::api::NtfsIoDevice device;
    device.context = this;
    device.read = &MemoryDevice::Read;
    device.write = &MemoryDevice::Write;
    device.getSize = &MemoryDevice::GetSize;
    return device;
}

bool MemoryDevice::Read(uint64_t offset, void* buffer, uint32_t length, void* context) {
    auto* self = static_cast<MemoryDevice*>(context);
    ++self->readCount;
    if (self->failRead && self->failRead(offset, length)) return false;
    if (offset > self->m_bytes.size() || length > self->m_bytes.size() - offset) return false;
    std::memcpy(buffer, self->m_bytes.data() + offset, length);
    return true;
}

bool MemoryDevice::Write(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    auto* self = static_cast<MemoryDevice*>(context);
    ++self->writeCount;
    if (self->failWrite && self->failWrite(offset, length)) return false;
    if (offset > self->m_bytes.size() || length > self->m_bytes.size() - offset) return false;
    std::memcpy(self->m_bytes.data() + offset, buffer, length);
    return true;
}

bool MemoryDevice::GetSize(uint64_t* size, void* context) {
    auto* self = static_cast<MemoryDevice*>(context);
    if (self->failGetSize) return false;
    *size = self->m_bytes.size();
    return true;
}

MemoryDevice FormattedMemoryDevice(uint64_t size, uint32_t clusterSize, const wchar_t* label) {
    MemoryDevice device(std::vector<uint8_t>(size, 0));
    LogCapture log;  // replaces any capture the caller has running
    if (!volkit::api::NtfsFormatVolume(device.Api(), {true, clusterSize, label, 0}))
        throw std::runtime_error(log.Errors().empty() ? "format failed" : log.Errors().back());
    return device;
}

}  // namespace volcore::test
