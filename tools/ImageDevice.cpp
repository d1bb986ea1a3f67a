#include "ImageDevice.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace volkit::tool {
namespace {

bool ReadFor(uint64_t offset, void* buffer, uint64_t length, void* context) {
    return static_cast<ImageDevice*>(context)->Read(offset, buffer, length);
}

bool WriteFor(uint64_t offset, const void* buffer, uint64_t length, void* context) {
    return static_cast<ImageDevice*>(context)->Write(offset, buffer, length);
}

bool SizeFor(uint64_t* size, void* context) {
    *size = static_cast<ImageDevice*>(context)->WindowSize();
    return true;
}

bool ReadFor32(uint64_t offset, void* buffer, uint32_t length, void* context) {
    return ReadFor(offset, buffer, length, context);
}

bool WriteFor32(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    return WriteFor(offset, buffer, length, context);
}

bool SizeOfDescriptor(int fd, bool& blockDevice, uint64_t& size) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    blockDevice = S_ISBLK(info.st_mode);
    if (!blockDevice) {
        if (!S_ISREG(info.st_mode)) return errno = EINVAL, false;
        size = static_cast<uint64_t>(info.st_size);
        return true;
    }
    return ::ioctl(fd, BLKGETSIZE64, &size) == 0;
}

}  // namespace

ImageDevice::~ImageDevice() {
    if (m_fd >= 0) ::close(m_fd);
}

bool ImageDevice::Open(const std::string& path, bool mayBeReadOnly, std::string& error, bool readOnly) {
    m_fd = readOnly ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (readOnly || (m_fd < 0 && mayBeReadOnly && (errno == EACCES || errno == EROFS || errno == EPERM)))
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0 || !SizeOfDescriptor(m_fd, m_blockDevice, m_rawSize)) {
        error = std::string("cannot open image '") + path + "': " +
                (errno == EINVAL ? "not a regular file or block device" : std::strerror(errno));
        return false;
    }
    SetWindow(0, m_rawSize);
    return true;
}

void ImageDevice::SetWindow(uint64_t offset, uint64_t length) {
    m_windowOffset = offset;
    m_windowSize = length;
}

bool ImageDevice::InWindow(uint64_t offset, uint64_t length) const {
    return offset <= m_windowSize && length <= m_windowSize - offset;
}

bool ImageDevice::Read(uint64_t offset, void* buffer, uint64_t length) const {
    if (!InWindow(offset, length)) return false;
    auto* bytes = static_cast<char*>(buffer);
    uint64_t position = m_windowOffset + offset;
    while (length > 0) {
        ssize_t got = ::pread(m_fd, bytes, length, static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got, position += static_cast<uint64_t>(got), length -= static_cast<uint64_t>(got);
    }
    return true;
}

bool ImageDevice::Write(uint64_t offset, const void* buffer, uint64_t length) {
    if (!InWindow(offset, length)) return false;
    const auto* bytes = static_cast<const char*>(buffer);
    uint64_t position = m_windowOffset + offset, total = length;
    while (length > 0) {
        ssize_t put = ::pwrite(m_fd, bytes, length, static_cast<off_t>(position));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put, position += static_cast<uint64_t>(put), length -= static_cast<uint64_t>(put);
    }
    if (m_writeObserver) m_writeObserver(total);
    return true;
}

bool ImageDevice::Flush() { return m_fd < 0 || ::fsync(m_fd) == 0 || errno == EINVAL; }

api::NtfsIoDevice ImageDevice::HandleFamilyDevice() { return {this, &ReadFor32, &WriteFor32, &SizeFor}; }

filesystem::device ImageDevice::FilesystemFamilyDevice() { return {this, &ReadFor, &WriteFor, &SizeFor}; }

bool ExtendImageFile(const std::string& path, uint64_t size, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat info {};
    bool ok = fd >= 0 && ::fstat(fd, &info) == 0;
    if (ok && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) < size)
        ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (!ok) error = "cannot size image '" + path + "': " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace volkit::tool
