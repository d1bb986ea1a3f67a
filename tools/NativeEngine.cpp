#include "NativeEngine.h"

#include "Diagnostics.h"
#include "ImageDevice.h"
#include "volkit/api.h"

namespace volkit::tool {

bool NativeEngineServes(const std::string&) { return false; }

std::unique_ptr<Engine> OpenNativeEngine(ImageDevice& device) {
    // The handle family opens volumes but has no file functions yet: check the
    // volume so the user learns what it thinks of it, then decline.
    api::NtfsIoDevice callbacks = device.HandleFamilyDevice();
    api::NtfsVolumeHandle volume;
    if (api::NtfsOpenVolume(callbacks, volume)) {
        api::NtfsCloseVolume(volume);
        Diagnostics::Clear();
        Diagnostics::Note("the native engine has no file functions yet; use --engine ntfs3g");
    }
    return nullptr;
}

}  // namespace volkit::tool
