#pragma once
// The image file or block device under the volume, seen through a window
// (the whole file, an --offset, or a partition) and handed to either family
// as its callback record.
#include <cstdint>
#include <functional>
#include <string>

#include "volkit/api.h"
#include "volkit/filesystem.h"

namespace volkit::tool {

class ImageDevice {
public:
    ImageDevice() = default;
    ~ImageDevice();
    ImageDevice(const ImageDevice&) = delete;
    ImageDevice& operator=(const ImageDevice&) = delete;

    // Opens read-write, falling back to read-only when `mayBeReadOnly`, or
    // only ever read-only when `readOnly`. False with `error` set when the
    // image cannot be opened.
    bool Open(const std::string& path, bool mayBeReadOnly, std::string& error, bool readOnly = false);
    // Size of the whole file or device.
    uint64_t RawSize() const { return m_rawSize; }
    bool IsBlockDevice() const { return m_blockDevice; }

    // Restricts every later transfer to [offset, offset + length).
    void SetWindow(uint64_t offset, uint64_t length);
    uint64_t WindowOffset() const { return m_windowOffset; }
    uint64_t WindowSize() const { return m_windowSize; }

    // Transfers relative to the window; false outside it or on an I/O error.
    bool Read(uint64_t offset, void* buffer, uint64_t length) const;
    bool Write(uint64_t offset, const void* buffer, uint64_t length);
    bool Flush();

    // Called after each successful write with the bytes written (progress).
    void OnWrite(std::function<void(uint64_t)> observer) { m_writeObserver = std::move(observer); }

    api::NtfsIoDevice HandleFamilyDevice();
    filesystem::device FilesystemFamilyDevice();

private:
    bool InWindow(uint64_t offset, uint64_t length) const;

    int m_fd = -1;
    bool m_blockDevice = false;
    uint64_t m_rawSize = 0;
    uint64_t m_windowOffset = 0;
    uint64_t m_windowSize = 0;
    std::function<void(uint64_t)> m_writeObserver;
};

// Grows (or creates) a regular file to `size` bytes; never shrinks it.
bool ExtendImageFile(const std::string& path, uint64_t size, std::string& error);

}  // namespace volkit::tool
