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
        const uint8_t* from = self->Place(offset, length, self->failRead);
        if (from) std::memcpy(buffer, from, length);
        return from != nullptr;
    };
    device.write = [](uint64_t offset, const void* buffer, uint32_t length, void* context) {
        auto* self = static_cast<MemoryDevice*>(context);
        ++self->writeCount;
        uint8_t* to = self->Place(offset, length, self->failWrite);
        if (to) std::memcpy(to, buffer, length);
        return to != nullptr;
    };
    device.getSize = [](uint64_t* size, void* context) {
        auto* self = static_cast<MemoryDevice*>(context);
        if (!self->failGetSize) *size = self->m_bytes.size();
        return !self->failGetSize;
    };
    return device;
}

FileDevice::FileDevice(const std::filesystem::path& path)
    : m_file(path, std::ios::in | std::ios::out | std::ios::binary) {
    if (!m_file) throw std::runtime_error("cannot open " + path.string());
}

volkit::api::NtfsIoDevice FileDevice::Api() {
    volkit::api::NtfsIoDevice device;
    device.context = &m_file;
    device.read = [](uint64_t offset, void* buffer, uint32_t length, void* context) {
        auto& file = *static_cast<std::fstream*>(context);
        file.clear();
        return file.seekg(static_cast<std::streamoff>(offset)) && file.read(static_cast<char*>(buffer), length);
    };
    device.write = [](uint64_t offset, const void* buffer, uint32_t length, void* context) {
        auto& file = *static_cast<std::fstream*>(context);
        file.clear();
        return file.seekp(static_cast<std::streamoff>(offset)) &&
               file.write(static_cast<const char*>(buffer), length) && file.flush();
    };
    device.getSize = [](uint64_t* size, void* context) {
        auto& file = *static_cast<std::fstream*>(context);
        file.clear();
        const std::streamoff end = file.seekg(0, std::ios::end).tellg();
        if (end >= 0) *size = static_cast<uint64_t>(end);
        return end >= 0;
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
