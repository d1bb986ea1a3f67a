#pragma once
// A device over an open image file, for images too large to hold in memory.
// Transfers take 64-bit offsets on every platform.
#include <filesystem>

#include "volkit/api.h"

namespace volkit::test {

class FileDevice {
public:
    explicit FileDevice(const std::filesystem::path& path);  // throws when the file cannot be opened
    ~FileDevice();
    FileDevice(const FileDevice&) = delete;
    FileDevice& operator=(const FileDevice&) = delete;

    volkit::api::NtfsIoDevice Api();

private:
    static bool Read(uint64_t offset, void* buffer, uint32_t length, void* context);
    static bool Write(uint64_t offset, const void* buffer, uint32_t length, void* context);
    static bool GetSize(uint64_t* size, void* context);

#ifdef _WIN32
    void* m_handle;
#else
    int m_fd;
#endif
};

}  // namespace volkit::test
