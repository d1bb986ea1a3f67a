// Exported volume functions and the log sink installer of the handle family.
#include <memory>

#include "api/Boundary.h"
#include "api/IoDevice.h"
#include "api/Log.h"
#include "volkit/api.h"
#include "volume/Volume.h"

using namespace volcore;

namespace {

using VolumeRecord = SHandleRecord<CVolume>;

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
            handle.ptr = new VolumeRecord{std::move(volume)};
        },
        "Failed to open NTFS volume: %1");
}

bool NtfsCloseVolume(NtfsVolumeHandle& handle) {
    return RunExported(
        [&] {
            auto* record = static_cast<VolumeRecord*>(handle.ptr);
            if (record && !record->object) {  // left behind by a close whose flush failed
                delete record;
                handle.ptr = nullptr;
            }
            CVolume& volume = HandleObject<CVolume>(handle.ptr, "Invalid volume handle");
            // The last reference flushes here, where a failure can still be reported.
            if (record->object.use_count() == 1) {
                try {
                    volume.Flush();
                } catch (...) {
                    // The volume is gone either way; the record stays behind empty so
                    // that later calls fail cleanly and a second close frees it.
                    record->object.reset();
                    throw;
                }
            }
            delete record;
            handle.ptr = nullptr;
        },
        "Failed to close NTFS volume: %1");
}

bool IsValidHandle(void* handle) { return handle != nullptr; }

}  // namespace volkit::api
