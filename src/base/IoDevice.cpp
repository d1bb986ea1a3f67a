#include "base/IoDevice.h"

#include "base/Exception.h"

namespace volcore {

void CIoDeviceImpl::Read(uint64_t offset, void* buffer, uint32_t length) {
    if (!m_device.read || !m_device.read(offset, buffer, length, m_device.context))
        throw CException(EErrorKind::Io, "Device read failed (offset %1, length %2)", offset, length);
}

void CIoDeviceImpl::Write(uint64_t offset, const void* buffer, uint32_t length) {
    if (!m_device.write || !m_device.write(offset, buffer, length, m_device.context))
        throw CException(EErrorKind::Io, "Device write failed (offset %1, length %2)", offset, length);
}

uint64_t CIoDeviceImpl::GetSize() {
    uint64_t size = 0;
    if (!m_device.getSize || !m_device.getSize(&size, m_device.context))
        throw CException(EErrorKind::Io, "Device size query failed");
    return size;
}

void CGuardedDevice::Write(uint64_t offset, const void* buffer, uint32_t length) {
    if (!m_inHook && m_beforeWrite) {
        m_inHook = true;
        try {
            m_beforeWrite();
        } catch (...) {
            m_inHook = false;
            throw;
        }
        m_inHook = false;
    }
    m_inner->Write(offset, buffer, length);
}

}  // namespace volcore
