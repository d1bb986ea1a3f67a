#include <memory>
#include <new>

#include "ntfs3g/DeviceAdapter.h"
#include "ntfs3g/FamilyLog.h"
#include "ntfs3g/FormatError.h"
#include "ntfs3g/Formatter.h"

namespace vkformat {
namespace {

struct SDeviceRelease {
    void operator()(ntfs_device* device) const { ntfs_device_free(device); }
};

void FormatOnAdapter(volkit::fsfamily::deviceAdapter& adapter, const SFormatOptions& options) {
    std::unique_ptr<ntfs_device, SDeviceRelease> device(volkit::fsfamily::CreateAdapterDevice(&adapter));
    if (!device) FailFormat();
    CFormatDevice target(device.get());
    try {
        FormatVolume(options, target);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        // Whatever broke inside (a buffer bound, a narrowing), the caller
        // learns only that no volume was made.
        FailFormat();
    }
}

}  // namespace
}  // namespace vkformat

namespace volkit {

bool filesystem::format(bool quick, unsigned int clusterSize, device& dev) {
    return fsfamily::RunReported("Failed to create NTFS filesystem", [&] {
        vkformat::SFormatOptions options;
        options.quickFormat = quick;
        options.clusterSize = clusterSize;
        fsfamily::deviceAdapter adapter(dev);
        vkformat::FormatOnAdapter(adapter, options);
    });
}

}  // namespace volkit
