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
            auto volume = std::make_shared<CVolume>(adapter);
            const CVolume* owner = volume.get();
            handle.ptr = AddHandle(EHandleKind::Volume, std::move(volume), owner);
        },
        "Failed to open NTFS volume: %1");
}

bool NtfsCloseVolume(NtfsVolumeHandle& handle) {
    return RunExported(
        [&] {
            // Refused rather than leaving handles that would write through
            // callbacks the caller may free once the volume is closed.
            size_t open = CountHandlesOn(HandleObject<CVolume>(handle.ptr, kInvalidVolume).get());
            if (open != 0) throw CException(EErrorKind::Argument, "%1 file or directory handle(s) still open", open);
            // The handle goes whatever the flush does; a volume whose flush
            // failed does not try again when it is destroyed.
            TakeHandle<CVolume>(handle.ptr, kInvalidVolume)->Flush();
        },
        "Failed to close NTFS volume: %1");
}

bool IsValidHandle(void* handle) { return handle != nullptr; }

}  // namespace volkit::api
