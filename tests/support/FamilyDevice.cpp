#include "support/FamilyDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <stdexcept>

namespace volcore::test {
namespace {

FamilyLogCapture* g_capture = nullptr;

bool FitsTransfer(uint64_t count) { return count <= std::numeric_limits<uint32_t>::max(); }

bool ReadMemory(uint64_t offset, void* buffer, uint64_t count, void* context) {
    volkit::api::NtfsIoDevice api = static_cast<MemoryDevice*>(context)->Api();
    return FitsTransfer(count) && api.read(offset, buffer, static_cast<uint32_t>(count), api.context);
}

bool WriteMemory(uint64_t offset, const void* buffer, uint64_t count, void* context) {
    volkit::api::NtfsIoDevice api = static_cast<MemoryDevice*>(context)->Api();
    return FitsTransfer(count) && api.write(offset, buffer, static_cast<uint32_t>(count), api.context);
}

bool MemorySize(uint64_t* size, void* context) {
    volkit::api::NtfsIoDevice api = static_cast<MemoryDevice*>(context)->Api();
    return api.getSize(size, api.context);
}

int FdOf(void* context) { return static_cast<int>(reinterpret_cast<intptr_t>(context)); }

bool ReadFile(uint64_t offset, void* buffer, uint64_t count, void* context) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t got = ::pread(FdOf(context), bytes, count, static_cast<off_t>(offset));
        if (got <= 0) return false;
        bytes += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<uint64_t>(got);
    }
    return true;
}

bool WriteFile(uint64_t offset, const void* buffer, uint64_t count, void* context) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t put = ::pwrite(FdOf(context), bytes, count, static_cast<off_t>(offset));
        if (put <= 0) return false;
        bytes += put;
        offset += static_cast<uint64_t>(put);
        count -= static_cast<uint64_t>(put);
    }
    return true;
}

bool FileSize(uint64_t* size, void* context) {
    struct stat info{};
    if (::fstat(FdOf(context), &info) != 0) return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

}  // namespace

FamilyFileDevice::FamilyFileDevice(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR)) {
    if (m_fd < 0) throw std::runtime_error("cannot open " + path);
}

FamilyFileDevice::~FamilyFileDevice() { ::close(m_fd); }

volkit::filesystem::device FamilyFileDevice::Device() {
    volkit::filesystem::device dev;
    dev.context = reinterpret_cast<void*>(static_cast<intptr_t>(m_fd));
    dev.read = &ReadFile;
    dev.write = &WriteFile;
    dev.getSize = &FileSize;
    return dev;
}

volkit::filesystem::device FamilyDeviceOf(MemoryDevice& memory) {
    volkit::filesystem::device dev;
    dev.context = &memory;
    dev.read = &ReadMemory;
    dev.write = &WriteMemory;
    dev.getSize = &MemorySize;
    return dev;
}

FamilyLogCapture::FamilyLogCapture() {
    g_capture = this;
    volkit::logging::initialize(&FamilyLogCapture::Callback);
}

FamilyLogCapture::~FamilyLogCapture() {
    volkit::logging::deinitialize();
    g_capture = nullptr;
}

void FamilyLogCapture::Callback(volkit::logging::messageType type, const char* text) {
    if (g_capture != nullptr) g_capture->m_lines.emplace_back(type, text);
}

std::vector<std::string> FamilyLogCapture::Errors() const {
    std::vector<std::string> texts;
    for (const auto& [type, text] : m_lines)
        if (type == volkit::logging::error) texts.push_back(text);
    return texts;
}

std::vector<std::string> FamilyLogCapture::Infos() const {
    std::vector<std::string> texts;
    for (const auto& [type, text] : m_lines)
        if (type == volkit::logging::info) texts.push_back(text);
    return texts;
}

}  // namespace volcore::test
