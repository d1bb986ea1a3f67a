#include "ntfs3g/FormatSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace volkit::test {

FormatFileDevice::FormatFileDevice(const std::string& path, uint64_t size) : m_size(size) {
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (m_fd < 0 || ::ftruncate(m_fd, static_cast<off_t>(size)) != 0) throw std::runtime_error("cannot create " + path);
    m_device.context = this;
    m_device.read = &FormatFileDevice::Read;
    m_device.write = &FormatFileDevice::Write;
    m_device.getSize = &FormatFileDevice::GetSize;
}

FormatFileDevice::FormatFileDevice(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR);
    off_t size = m_fd < 0 ? -1 : ::lseek(m_fd, 0, SEEK_END);
    if (size < 0) throw std::runtime_error("cannot open " + path);
    m_size = static_cast<uint64_t>(size);
    m_device.context = this;
    m_device.read = &FormatFileDevice::Read;
    m_device.write = &FormatFileDevice::Write;
    m_device.getSize = &FormatFileDevice::GetSize;
}

FormatFileDevice::~FormatFileDevice() {
    if (m_fd >= 0) ::close(m_fd);
}

bool FormatFileDevice::Read(uint64_t offset, void* buffer, uint64_t count, void* context) {
    auto* self = static_cast<FormatFileDevice*>(context);
    if (offset > self->m_size || count > self->m_size - offset) return false;
    return ::pread(self->m_fd, buffer, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

bool FormatFileDevice::Write(uint64_t offset, const void* buffer, uint64_t count, void* context) {
    auto* self = static_cast<FormatFileDevice*>(context);
    ++self->writeCount;
    if (offset < self->failTo && offset + count > self->failFrom) return false;
    if (offset > self->m_size || count > self->m_size - offset) return false;
    return ::pwrite(self->m_fd, buffer, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

bool FormatFileDevice::GetSize(uint64_t* size, void* context) {
    *size = static_cast<FormatFileDevice*>(context)->m_size;
    return true;
}

std::vector<uint8_t> ReadFileRange(const std::string& path, uint64_t offset, size_t size) {
    FormatFileDevice file(path);
    std::vector<uint8_t> bytes(size);
    if (!file.Device().read(offset, bytes.data(), size, file.Device().context)) throw std::runtime_error("cannot read " + path);
    return bytes;
}

}  // namespace volkit::test
