#pragma once
// The filesystem family's device record over a MemoryDevice (its failure
// injection applies), and a capture of the family's messages.
#include <string>
#include <utility>
#include <vector>

#include "support/MemoryDevice.h"
#include "volkit/filesystem.h"

namespace volcore::test {

// `memory` must outlive every use of the record.
volkit::filesystem::device FamilyDeviceOf(MemoryDevice& memory);

// The family's device record over an image file, for images too large for
// memory (sparse corpus images).
class FamilyFileDevice {
public:
    explicit FamilyFileDevice(const std::string& path);
    ~FamilyFileDevice();
    FamilyFileDevice(const FamilyFileDevice&) = delete;
    FamilyFileDevice& operator=(const FamilyFileDevice&) = delete;

    volkit::filesystem::device Device();

private:
    int m_fd = -1;
};

// Installs itself with logging::initialize; removes itself on destruction.
class FamilyLogCapture {
public:
    FamilyLogCapture();
    ~FamilyLogCapture();
    FamilyLogCapture(const FamilyLogCapture&) = delete;
    FamilyLogCapture& operator=(const FamilyLogCapture&) = delete;

    const std::vector<std::pair<volkit::logging::messageType, std::string>>& Lines() const { return m_lines; }
    std::vector<std::string> Errors() const;
    std::vector<std::string> Infos() const;
    void Clear() { m_lines.clear(); }

private:
    static void Callback(volkit::logging::messageType type, const char* text);
    std::vector<std::pair<volkit::logging::messageType, std::string>> m_lines;
};

}  // namespace volcore::test
