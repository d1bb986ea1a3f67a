// Apart from the memory device so that tools outside the test programs (the
// fuzz seed generator) can use it without the image helpers.
#include <stdexcept>

#include "support/MemoryDevice.h"

namespace volcore::test {

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

}  // namespace volcore::test
