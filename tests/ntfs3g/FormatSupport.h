#pragma once
// Devices and checks shared by the formatter tests.
#include <cstdint>
#include <string>
#include <vector>

#include "support/Images.h"
#include "volkit/filesystem.h"

namespace volkit::test {

// A filesystem-family device over an image file (sparse files stay sparse).
class FormatFileDevice {
public:
    // Creates (or truncates) the file at `path` with `size` bytes.
    FormatFileDevice(const std::string& path, uint64_t size);
    // Opens an existing image file.
    explicit FormatFileDevice(const std::string& path);
    ~FormatFileDevice();
    FormatFileDevice(const FormatFileDevice&) = delete;
    FormatFileDevice& operator=(const FormatFileDevice&) = delete;

    filesystem::device& Device() { return m_device; }

    // Fails every write that touches [from, to).
    uint64_t failFrom = 0, failTo = 0;
    uint64_t writeCount = 0;

private:
    static bool Read(uint64_t offset, void* buffer, uint64_t count, void* context);
    static bool Write(uint64_t offset, const void* buffer, uint64_t count, void* context);
    static bool GetSize(uint64_t* size, void* context);

    int m_fd = -1;
    uint64_t m_size = 0;
    filesystem::device m_device;
};

std::vector<uint8_t> ReadFileRange(const std::string& path, uint64_t offset, size_t size);

}  // namespace volkit::test
