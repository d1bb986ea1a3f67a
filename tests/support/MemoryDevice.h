#pragma once
// Devices for tests: an in-memory volume (and, through FileDevice.h, a
// file-backed one), both usable through NtfsIoDevice. Failure injection lets
// tests make any transfer of the in-memory one fail.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/FileDevice.h"
#include "volkit/api.h"

namespace volkit::test {

class MemoryDevice {
public:
    MemoryDevice() = default;
    explicit MemoryDevice(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    static MemoryDevice FromFile(const std::string& path);

    void SaveToFile(const std::string& path) const;

    std::vector<uint8_t>& Bytes() { return m_bytes; }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

    // Returns false from the matching transfer when the predicate says so.
    std::function<bool(uint64_t offset, uint32_t length)> failRead;
    std::function<bool(uint64_t offset, uint32_t length)> failWrite;
    bool failGetSize = false;

    uint64_t readCount = 0;
    uint64_t writeCount = 0;

    // The callback record; `this` must outlive every use of it.
    volkit::api::NtfsIoDevice Api();

private:
    static bool Read(uint64_t offset, void* buffer, uint32_t length, void* context);
    static bool Write(uint64_t offset, const void* buffer, uint32_t length, void* context);
    static bool GetSize(uint64_t* size, void* context);

    std::vector<uint8_t> m_bytes;
};

// A fresh, empty volume of `size` bytes made in memory by the library's own
// formatter (no external tool); throws std::runtime_error with the reason when
// formatting fails.
MemoryDevice FormattedMemoryDevice(uint64_t size, uint32_t clusterSize = 0, const wchar_t* label = nullptr);

}  // namespace volkit::test
