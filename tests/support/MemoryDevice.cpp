#include "support/MemoryDevice.h"

#include <cstring>
#include <stdexcept>

#include "support/Images.h"

namespace volcore::test {

MemoryDevice MemoryDevice::FromFile(const std::string& path) { return MemoryDevice(ReadFileBytes(path)); }

void MemoryDevice::SaveToFile(const std::string& path) const { WriteFileBytes(path, m_bytes); }

uint8_t* MemoryDevice::Place(uint64_t offset, uint32_t length, const Failure& fail) {
    if ((fail && fail(offset, length)) || offset > m_bytes.size() || length > m_bytes.size() - offset) return nullptr;
    return m_bytes.data() + offset;
}

volkit::api::NtfsIoDevice MemoryDevice::Api() {
    volkit::api::NtfsIoDevice device;
    device.context = this;
    device.read = [](uint64_t offset, void* buffer, uint32_t length, void* context) {
        auto* self = static_cast<MemoryDevice*>(context);
        ++self->readCount;
        const uint8_t* from = self->PowerIsCut() ? nullptr : self->Place(offset, length, self->failRead);
        if (from) std::memcpy(buffer, from, length);
        return from != nullptr;
    };
    device.write = [](uint64_t offset, const void* buffer, uint32_t length, void* context) {
        auto* self = static_cast<MemoryDevice*>(context);
        ++self->writeCount;
        uint8_t* to = self->PowerIsCut() ? nullptr : self->Place(offset, length, self->failWrite);
        if (to) std::memcpy(to, buffer, length);
        return to != nullptr;
    };
    device.getSize = [](uint64_t* size, void* context) {
        auto* self = static_cast<MemoryDevice*>(context);
        const bool fails = self->failGetSize || self->PowerIsCut();
        if (!fails) *size = self->m_bytes.size();
        return !fails;
    };
    return device;
}

// No log capture here: it would end one the calling test has running.
MemoryDevice FormattedMemoryDevice(uint64_t size, uint32_t clusterSize, const wchar_t* label) {
    MemoryDevice device(std::vector<uint8_t>(size, 0));
    if (!volkit::api::NtfsFormatVolume(device.Api(), {true, clusterSize, label, 0}))
        throw std::runtime_error("cannot format a volume of " + std::to_string(size) + " bytes");
    return device;
}

}  // namespace volcore::test
