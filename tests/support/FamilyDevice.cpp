#include "support/FamilyDevice.h"

#include <limits>

namespace volkit::test {
namespace {

FamilyLogCapture* g_capture = nullptr;

bool FitsTransfer(uint64_t count) { return count <= std::numeric_limits<uint32_t>::max(); }

bool ReadMemory(uint64_t offset, void* buffer, uint64_t count, void* context) {
    volkit::api::NtfsIoDevice api = static_cast<MemoryDevice*>(context)->Api();
    return FitsTransfer(count) && api.read(offset, buffer, static_cast<uint32_t>(count), api.context);
}

bool WriteMemory(uint64_t offset, const void* buffer, uint64_t count, void* context) {
    volkit::api::NtfsIoDevice api = static_cast<MemoryDevice*>(context)->Api();
    return FitsTransfer(count) && api.write(offset, buffer, static_cast<uint32_t>(count), api.context);
}

bool MemorySize(uint64_t* size, void* context) {
    volkit::api::NtfsIoDevice api = static_cast<MemoryDevice*>(context)->Api();
    return api.getSize(size, api.context);
}

}  // namespace

volkit::filesystem::device FamilyDeviceOf(MemoryDevice& memory) {
    volkit::filesystem::device dev;
    dev.context = &memory;
    dev.read = &ReadMemory;
    dev.write = &WriteMemory;
    dev.getSize = &MemorySize;
    return dev;
}

FamilyLogCapture::FamilyLogCapture() {
    g_capture = this;
    volkit::logging::initialize(&FamilyLogCapture::Callback);
}

FamilyLogCapture::~FamilyLogCapture() {
    volkit::logging::deinitialize();
    g_capture = nullptr;
}

void FamilyLogCapture::Callback(volkit::logging::messageType type, const char* text) {
    if (g_capture != nullptr) g_capture->m_lines.emplace_back(type, text);
}

std::vector<std::string> FamilyLogCapture::Errors() const {
    std::vector<std::string> texts;
    for (const auto& [type, text] : m_lines)
        if (type == volkit::logging::error) texts.push_back(text);
    return texts;
}

std::vector<std::string> FamilyLogCapture::Infos() const {
    std::vector<std::string> texts;
    for (const auto& [type, text] : m_lines)
        if (type == volkit::logging::info) texts.push_back(text);
    return texts;
}

}  // namespace volkit::test
