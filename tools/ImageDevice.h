#pragma once
// The image file or block device under the volume, seen through a window
// (the whole file, an --offset, or a partition) and handed to either family
// as its callback record.
#include <cstdint>
#include <functional>
#include <string>

#include "Platform.h"
#include "volkit/api.h"
#ifdef VOLKIT_TOOL_WITH_NTFS3G
#include "volkit/filesystem.h"
#endif

namespace volcore::tool {

class CImageDevice {
public:
    CImageDevice() = default;
    CImageDevice(const CImageDevice&) = delete;
    CImageDevice& operator=(const CImageDevice&) = delete;

    // Opens the image and takes its lock: shared for reading, exclusive for
    // writing. False with `error` set when either fails.
    bool Open(const std::string& path, platform::EAccess access, std::string& error);
    // Size of the whole file or device.
    uint64_t RawSize() const { return m_file.Size(); }
    bool IsBlockDevice() const { return m_file.IsBlockDevice(); }
    // Grows an image file (not a device) and its window to `size` bytes.
    bool Grow(uint64_t size, std::string& error);

    // Restricts every later transfer to [offset, offset + length).
    void SetWindow(uint64_t offset, uint64_t length);
    uint64_t WindowOffset() const { return m_windowOffset; }
    uint64_t WindowSize() const { return m_windowSize; }

    // Transfers relative to the window; false outside it or on an I/O error.
    // A read-only image refuses every write.
    bool Read(uint64_t offset, void* buffer, uint64_t length) const;
    bool Write(uint64_t offset, const void* buffer, uint64_t length);
    bool Flush();

    // Called after each successful write with the bytes written (progress).
    void OnWrite(std::function<void(uint64_t)> observer) { m_writeObserver = std::move(observer); }

    volkit::api::NtfsIoDevice HandleFamilyDevice();
#ifdef VOLKIT_TOOL_WITH_NTFS3G
    volkit::filesystem::device FilesystemFamilyDevice();
#endif

private:
    bool InWindow(uint64_t offset, uint64_t length) const;

    platform::CImageFile m_file;
    uint64_t m_windowOffset = 0;
    uint64_t m_windowSize = 0;
    std::function<void(uint64_t)> m_writeObserver;
};

}  // namespace volcore::tool
