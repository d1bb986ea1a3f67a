// Exported volume functions and the log sink installer of the handle family.
#include <memory>

#include "api/Boundary.h"
#include "api/HandleTable.h"
#include "base/IoDevice.h"
#include "base/Log.h"
#include "volkit/api.h"
#include "objects/Volume.h"

using namespace volcore;

namespace {

constexpr const char* kInvalidVolume = "Invalid volume handle";

class CCallbackLogger final : public ILogger {
public:
    CCallbackLogger(void (*callback)(int, const char*, void*), void* context)
        : m_callback(callback), m_context(context) {}
    void Log(ELogLevel level, const std::string& message) override {
        m_callback(static_cast<int>(level), message.c_str(), m_context);
    }

private:
    void (*m_callback)(int, const char*, void*);
    void* m_context;
};

}  // namespace

namespace volkit::api {

void NtfsSetLogCallback(void (*callback)(int level, const char* message, void* context), void* context) {
    if (callback)
        SetLogger(std::make_shared<CCallbackLogger>(callback, context));
    else
        ResetLogger();
}

bool NtfsOpenVolume(const NtfsIoDevice& device, NtfsVolumeHandle& handle) {
    return RunExported(
        [&] {
            auto adapter = std::make_shared<CIoDeviceImpl>(device);
            handle.ptr = AddVolume(std::make_shared<CVolume>(adapter));
        },
        "Failed to open NTFS volume: %1");
}

bool NtfsCloseVolume(NtfsVolumeHandle& handle) {
    return RunExported(
        [&] {
            // The handle goes whatever the flush does; a volume whose flush
            // failed does not try again when it is destroyed.
            std::shared_ptr<CVolume> volume = RemoveVolume(handle.ptr, kInvalidVolume);
            handle.ptr = nullptr;
            volume->Flush();
        },
        "Failed to close NTFS volume: %1");
}

bool IsValidHandle(void* handle) { return handle != nullptr; }

}  // namespace volkit::api
