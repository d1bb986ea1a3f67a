#include "ntfs3g/Mount.h"

#include <memory>

#include "ntfs3g/DeviceAdapter.h"
#include "ntfs3g/FamilyLog.h"

namespace volkit::fsfamily {
namespace {

// Everything after ntfs_device_mount that a usable volume needs. False leaves
// the volume mounted for the caller to unmount.
bool PrepareMountedVolume(ntfs_volume* volume) {
    ntfs_create_lru_caches(volume);
    if (ntfs_volume_get_free_space(volume) != 0) return false;
    if (ntfs_open_secure(volume) != 0) return false;
    return ntfs_set_ignore_case(volume) == 0;
}

ntfs_volume* MountOnAdapter(deviceAdapter* adapter) {
    ntfs_device* dev = CreateAdapterDevice(adapter);
    if (dev == nullptr) return nullptr;
    ntfs_volume* volume = ntfs_device_mount(dev, NTFS_MNT_NONE);
    if (volume == nullptr) {
        const int mountError = errno;
        ntfs_device_free(dev);
        errno = mountError;
        return nullptr;
    }
    if (!PrepareMountedVolume(volume)) {
        ntfs_umount(volume, FALSE);
        return nullptr;
    }
    return volume;
}

// The same release that ntfs_close_secure performs, leaving no dangling
// references in the volume for the unmount to trip over.
void ReleaseSecure(ntfs_volume* volume) {
    if (volume->secure_ni == nullptr) return;
    if (volume->secure_xsii != nullptr) ntfs_index_ctx_put(volume->secure_xsii);
    if (volume->secure_xsdh != nullptr) ntfs_index_ctx_put(volume->secure_xsdh);
    ntfs_inode_close(volume->secure_ni);
    volume->secure_xsii = nullptr;
    volume->secure_xsdh = nullptr;
    volume->secure_ni = nullptr;
}

}  // namespace

ntfs_volume* MountVolume(const filesystem::device& dev) {
    auto adapter = std::make_unique<deviceAdapter>(dev);
    ntfs_volume* volume = MountOnAdapter(adapter.get());
    if (volume == nullptr) Fail("failed to mount volume");
    // From here on the device frees the adapter when it is closed.
    adapter->owned = true;
    adapter.release();
    return volume;
}

void DismountVolume(ntfs_volume* volume) {
    ReleaseSecure(volume);
    if (ntfs_umount(volume, FALSE) != 0) Fail("failed to dismount volume");
}

ntfs_volume* VolumeOf(filesystem::handle volume) {
    if (volume.ptr == nullptr) Fail("volume handle is invalid");
    return static_cast<ntfs_volume*>(volume.ptr);
}

}  // namespace volkit::fsfamily

namespace volkit {

bool filesystem::open(handle& volume, device& dev) {
    using namespace fsfamily;
    ReportInfo("Mounting NTFS");
    return RunReported("Failed to mount NTFS", [&] { volume.ptr = MountVolume(dev); });
}

bool filesystem::close(handle volume) {
    using namespace fsfamily;
    ReportInfo("Dismounting NTFS");
    return RunReported("Failed to dismount NTFS", [&] { DismountVolume(VolumeOf(volume)); });
}

}  // namespace volkit
