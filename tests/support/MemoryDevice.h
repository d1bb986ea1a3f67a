#pragma once
// Devices for tests: an in-memory volume and a file-backed one, both usable
// through NtfsIoDevice. Failure injection lets tests make any transfer of the
// in-memory one fail, or cut its power.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "volkit/api.h"

namespace volcore::test {

class MemoryDevice {
public:
    MemoryDevice() = default;
    explicit MemoryDevice(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    static MemoryDevice FromFile(const std::string& path);

    void SaveToFile(const std::string& path) const;

    std::vector<uint8_t>& Bytes() { return m_bytes; }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

    // Returns false from the matching transfer when the predicate says so.
    using Failure = std::function<bool(uint64_t offset, uint32_t length)>;
    Failure failRead;
    Failure failWrite;
    bool failGetSize = false;
    // A power cut: from this write on (counted as writeCount counts them)
    // nothing lands and every call fails, as when the machine lost power;
    // 0 never cuts.
    uint64_t powerCutAtWrite = 0;
    bool PowerIsCut() const { return powerCutAtWrite != 0 && writeCount >= powerCutAtWrite; }

    uint64_t readCount = 0;
    uint64_t writeCount = 0;

    // The callback record; `this` must outlive every use of it.
    volkit::api::NtfsIoDevice Api();

private:
    // Where a transfer lands, or null when it fails.
    uint8_t* Place(uint64_t offset, uint32_t length, const Failure& fail);

    std::vector<uint8_t> m_bytes;
};

// A device over an open image file, for images too large to hold in memory
// (the sparse images of the corpus). Transfers take 64-bit offsets on every
// platform and reach the file before they return.
class FileDevice {
public:
    explicit FileDevice(const std::filesystem::path& path);  // throws when the file cannot be opened

    // The callback record; `this` must outlive every use of it.
    volkit::api::NtfsIoDevice Api();

private:
    std::fstream m_file;
};

// A fresh, empty volume of `size` bytes made in memory by the library's own
// formatter (no external tool); throws std::runtime_error when formatting
// fails.
MemoryDevice FormattedMemoryDevice(uint64_t size, uint32_t clusterSize = 0, const wchar_t* label = nullptr);

}  // namespace volcore::test
