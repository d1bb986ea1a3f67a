#include "support/FileDevice.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace volkit::test {

volkit::api::NtfsIoDevice FileDevice::Api() {
    volkit::api::NtfsIoDevice device;
    device.context = this;
    device.read = &FileDevice::Read;
    device.write = &FileDevice::Write;
    device.getSize = &FileDevice::GetSize;
    return device;
}

#ifdef _WIN32

namespace {

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

}  // namespace

FileDevice::FileDevice(const std::filesystem::path& path)
    : m_handle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (m_handle == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path.string());
}

FileDevice::~FileDevice() { ::CloseHandle(m_handle); }

bool FileDevice::Read(uint64_t offset, void* buffer, uint32_t length, void* context) {
    OVERLAPPED position = At(offset);
    DWORD done = 0;
    return ::ReadFile(static_cast<FileDevice*>(context)->m_handle, buffer, length, &done, &position) && done == length;
}

bool FileDevice::Write(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    OVERLAPPED position = At(offset);
    DWORD done = 0;
    return ::WriteFile(static_cast<FileDevice*>(context)->m_handle, buffer, length, &done, &position) &&
           done == length;
}

bool FileDevice::GetSize(uint64_t* size, void* context) {
    LARGE_INTEGER bytes;
    if (!::GetFileSizeEx(static_cast<FileDevice*>(context)->m_handle, &bytes)) return false;
    *size = static_cast<uint64_t>(bytes.QuadPart);
    return true;
}

#else

FileDevice::FileDevice(const std::filesystem::path& path) : m_fd(::open(path.c_str(), O_RDWR)) {
    if (m_fd < 0) throw std::runtime_error("cannot open " + path.string());
}

FileDevice::~FileDevice() { ::close(m_fd); }

bool FileDevice::Read(uint64_t offset, void* buffer, uint32_t length, void* context) {
    int fd = static_cast<FileDevice*>(context)->m_fd;
    return ::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

bool FileDevice::Write(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    int fd = static_cast<FileDevice*>(context)->m_fd;
    return ::pwrite(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
}

bool FileDevice::GetSize(uint64_t* size, void* context) {
    struct stat st {};
    if (::fstat(static_cast<FileDevice*>(context)->m_fd, &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

#endif

}  // namespace volkit::test
