#include "ntfs3g/FormatDevice.h"

#include <fcntl.h>
#include <linux/fs.h>

#include "ntfs3g/FormatError.h"
#include "ntfs3g/FormatGeometry.h"

namespace vkformat {

uint64_t CFormatDevice::OpenAndMeasure() {
    if (m_device->d_ops->open(m_device, O_RDWR) != 0) FailFormat();
    struct stat info {};
    if (m_device->d_ops->stat(m_device, &info) != 0 || info.st_size <= 0) FailFormat();
    return static_cast<uint64_t>(info.st_size);
}

void CFormatDevice::RequestSectorBlocks() {
    int blockSize = static_cast<int>(kSectorSize);
    (void)m_device->d_ops->ioctl(m_device, BLKBSZSET, &blockSize);
}

bool CFormatDevice::TryWrite(uint64_t offset, std::span<const uint8_t> bytes) {
    s64 count = static_cast<s64>(bytes.size());
    return m_device->d_ops->pwrite(m_device, bytes.data(), count, static_cast<s64>(offset)) == count;
}

void CFormatDevice::Write(uint64_t offset, std::span<const uint8_t> bytes) {
    if (!TryWrite(offset, bytes)) FailFormat();
}

void CFormatDevice::Sync() {
    if (m_device->d_ops->sync(m_device) != 0) FailFormat();
}

}  // namespace vkformat
