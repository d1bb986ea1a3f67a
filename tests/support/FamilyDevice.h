#pragma once
// The filesystem family's device record over a test device, and a capture of
// the family's messages.
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/MemoryDevice.h"
#include "volkit/filesystem.h"

namespace volcore::test {

// Over a MemoryDevice (its failure injection applies) or a FileDevice; the
// device must outlive every use of the record.
template <class Device>
volkit::filesystem::device FamilyDeviceOf(Device& device) {
    constexpr uint64_t kMaxTransfer = std::numeric_limits<uint32_t>::max();
    volkit::filesystem::device record;
    record.context = &device;
    record.read = [](uint64_t offset, void* buffer, uint64_t count, void* context) {
        volkit::api::NtfsIoDevice api = static_cast<Device*>(context)->Api();
        return count <= kMaxTransfer && api.read(offset, buffer, static_cast<uint32_t>(count), api.context);
    };
    record.write = [](uint64_t offset, const void* buffer, uint64_t count, void* context) {
        volkit::api::NtfsIoDevice api = static_cast<Device*>(context)->Api();
        return count <= kMaxTransfer && api.write(offset, buffer, static_cast<uint32_t>(count), api.context);
    };
    record.getSize = [](uint64_t* size, void* context) {
        volkit::api::NtfsIoDevice api = static_cast<Device*>(context)->Api();
        return api.getSize(size, api.context);
    };
    return record;
}

// Installs itself with logging::initialize; removes itself on destruction.
class FamilyLogCapture {
public:
    FamilyLogCapture() {
        s_current = this;
        volkit::logging::initialize(&FamilyLogCapture::Callback);
    }
    ~FamilyLogCapture() {
        volkit::logging::deinitialize();
        s_current = nullptr;
    }
    FamilyLogCapture(const FamilyLogCapture&) = delete;
    FamilyLogCapture& operator=(const FamilyLogCapture&) = delete;

    const std::vector<std::pair<volkit::logging::messageType, std::string>>& Lines() const { return m_lines; }
    std::vector<std::string> Errors() const { return Texts(volkit::logging::error); }
    std::vector<std::string> Infos() const { return Texts(volkit::logging::info); }
    void Clear() { m_lines.clear(); }

private:
    std::vector<std::string> Texts(volkit::logging::messageType type) const {
        std::vector<std::string> texts;
        for (const auto& [kind, text] : m_lines)
            if (kind == type) texts.push_back(text);
        return texts;
    }
    static void Callback(volkit::logging::messageType type, const char* text) {
        if (s_current != nullptr) s_current->m_lines.emplace_back(type, text);
    }

    static inline FamilyLogCapture* s_current = nullptr;
    std::vector<std::pair<volkit::logging::messageType, std::string>> m_lines;
};

}  // namespace volcore::test
