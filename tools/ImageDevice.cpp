#include "ImageDevice.h"

#include <algorithm>

#include "CommandSupport.h"
#include "Diagnostics.h"

namespace volcore::tool {
namespace {

bool ReadFor(uint64_t offset, void* buffer, uint64_t length, void* context) {
    return static_cast<CImageDevice*>(context)->Read(offset, buffer, length);
}

bool WriteFor(uint64_t offset, const void* buffer, uint64_t length, void* context) {
    return static_cast<CImageDevice*>(context)->Write(offset, buffer, length);
}

bool SizeFor(uint64_t* size, void* context) {
    *size = static_cast<CImageDevice*>(context)->WindowSize();
    return true;
}

bool ReadFor32(uint64_t offset, void* buffer, uint32_t length, void* context) {
    return ReadFor(offset, buffer, length, context);
}

bool WriteFor32(uint64_t offset, const void* buffer, uint32_t length, void* context) {
    return WriteFor(offset, buffer, length, context);
}

}  // namespace

bool CImageDevice::Open(const std::string& path, platform::EAccess access, std::string& error) {
    std::string reason;
    if (!m_file.Open(HostPath(path), access, reason)) {
        error = "cannot open image: " + reason;
        return false;
    }
    const bool exclusive = access != platform::EAccess::Read;
    const platform::ELockResult lock = m_file.Lock(exclusive);
    if (lock != platform::ELockResult::Held) {
        error = lock == platform::ELockResult::Busy
                    ? "the image is in use by another program; try again when it has finished"
                    : "cannot lock image: " + platform::LastErrorText();
        return false;
    }
    SetWindow(0, m_file.Size());
    return true;
}

bool CImageDevice::Grow(uint64_t size, std::string& error) {
    if (!m_file.Grow(m_windowOffset + size, error)) return false;
    if (!IsBlockDevice()) m_windowSize = std::max(m_windowSize, size);
    return true;
}

void CImageDevice::SetWindow(uint64_t offset, uint64_t length) {
    m_windowOffset = offset;
    m_windowSize = length;
}

bool CImageDevice::InWindow(uint64_t offset, uint64_t length) const {
    return offset <= m_windowSize && length <= m_windowSize - offset;
}

bool CImageDevice::Read(uint64_t offset, void* buffer, uint64_t length) const {
    return InWindow(offset, length) && m_file.ReadAt(m_windowOffset + offset, buffer, length);
}

bool CImageDevice::Write(uint64_t offset, const void* buffer, uint64_t length) {
    if (!m_file.IsWritable()) {
        CDiagnostics::Note("the image is open for reading only");
        return false;
    }
    if (!InWindow(offset, length) || !m_file.WriteAt(m_windowOffset + offset, buffer, length)) return false;
    if (m_writeObserver) m_writeObserver(length);
    return true;
}

bool CImageDevice::Flush() { return m_file.Sync(); }

volkit::api::NtfsIoDevice CImageDevice::HandleFamilyDevice() { return {this, &ReadFor32, &WriteFor32, &SizeFor}; }

#ifdef VOLKIT_TOOL_WITH_NTFS3G
volkit::filesystem::device CImageDevice::FilesystemFamilyDevice() { return {this, &ReadFor, &WriteFor, &SizeFor}; }
#endif

}  // namespace volcore::tool
