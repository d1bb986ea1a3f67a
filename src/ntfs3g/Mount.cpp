#include "ntfs3g/Mount.h"

#include <memory>

#include "ntfs3g/DeviceAdapter.h"
#include "ntfs3g/FamilyLog.h"

namespace volcore::fsfamily {
namespace {

// libntfs-3g mounts older volumes read-write, but they lack what it writes
// into every new object ($Secure, the $STANDARD_INFORMATION owner and
// security fields).
constexpr uint8_t kOldestWritableMajorVersion = 3;

// Everything after ntfs_device_mount that a usable volume needs. False leaves
// the volume mounted for the caller to unmount.
bool PrepareMountedVolume(ntfs_volume* volume) {
    ntfs_create_lru_caches(volume);
    if (ntfs_volume_get_free_space(volume) != 0) return false;
    if (ntfs_open_secure(volume) != 0) return false;
    return ntfs_set_ignore_case(volume) == 0;
}

ntfs_volume* MountOnAdapter(SDeviceAdapter* adapter) {
    ntfs_device* dev = CreateAdapterDevice(adapter);
    if (dev == nullptr) return nullptr;
    ntfs_volume* volume = ntfs_device_mount(dev, NTFS_MNT_NONE);
    if (volume == nullptr) {
        const int mountError = errno;
        ntfs_device_free(dev);
        errno = mountError;
        return nullptr;
    }
    if (volume->major_ver < kOldestWritableMajorVersion) {
        ntfs_umount(volume, FALSE);
        Fail("unsupported NTFS version");
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

ntfs_volume* MountVolume(const volkit::filesystem::device& dev) {
    auto adapter = std::make_unique<SDeviceAdapter>(dev);
    const CTransferWatch transfers;
    ntfs_volume* volume = MountOnAdapter(adapter.get());
    // libntfs-3g mounts even when some of its reads failed (it falls back on
    // the copies it finds); such a volume is not handed out.
    if (volume != nullptr && transfers.Failed()) {
        ReleaseSecure(volume);
        ntfs_umount(volume, FALSE);
        volume = nullptr;
    }
    if (volume == nullptr) Fail("failed to mount volume");
    // From here on the device frees the adapter when it is closed.
    adapter->owned = true;
    adapter.release();
    return volume;
}

void PrepareChange(ntfs_volume* volume) {
    SDeviceAdapter& adapter = AdapterOf(volume);
    // libntfs-3g's copy of the metadata may be ahead of the disk; changes
    // built on it could turn a leak into damage.
    if (adapter.writeFailed) Fail("volume is read-only after a failed write");
    if (adapter.markedDirty || (volume->flags & VOLUME_IS_DIRTY)) return;
    if (ntfs_volume_write_flags(volume, volume->flags | VOLUME_IS_DIRTY) != 0) Fail("failed to mark volume dirty");
    adapter.markedDirty = true;
}

void DismountVolume(ntfs_volume* volume) {
    ReleaseSecure(volume);
    // Last, so that the flag is clear only when everything else was written.
    const SDeviceAdapter& session = AdapterOf(volume);
    auto failed = [&] { return session.writeFailed || (session.markedDirty && session.transferFailed); };
    if (session.markedDirty && !failed()) ntfs_volume_write_flags(volume, volume->flags & ~VOLUME_IS_DIRTY);
    // After a failure, even of that very write, the flag is written once
    // more: the write that set it may be the one that failed.
    if (failed()) ntfs_volume_write_flags(volume, volume->flags | VOLUME_IS_DIRTY);
    // Kept past the unmount, which frees the device, to tell how the session
    // went.
    std::unique_ptr<SDeviceAdapter> adapter(&AdapterOf(volume));
    adapter->owned = false;
    if (ntfs_umount(volume, FALSE) != 0) Fail("failed to dismount volume");
    if (adapter->writeFailed) Fail("failed to write volume: I/O error");
}

namespace {
// Volumes still mounted at exit are left as they are.
constinit CVolumeRegistry<SMountedVolume> g_mountedVolumes;
}  // namespace

CVolumeRegistry<SMountedVolume>& MountedVolumes() { return g_mountedVolumes; }

SMountedVolume& MountOf(volkit::filesystem::handle volume) {
    SMountedVolume* mounted = nullptr;
    MountedVolumes().With(volume.ptr, [&](SMountedVolume& found, uint32_t serial) {
        if (serial == 0) mounted = &found;
    });
    if (mounted == nullptr) Fail("volume handle is invalid");
    return *mounted;
}

ntfs_volume* VolumeOf(volkit::filesystem::handle volume) { return MountOf(volume).volume; }

namespace {

void* Register(ntfs_volume* volume) {
    try {
        void* handle = MountedVolumes().Add(std::make_unique<SMountedVolume>(volume));
        if (handle == nullptr) Fail("too many volumes open");
        return handle;
    } catch (...) {
        DismountVolume(volume);
        throw;
    }
}

// Files still open are closed first, so nothing they changed is lost; their
// handles leave with the volume's.
void Unregister(volkit::filesystem::handle volume) {
    std::unique_ptr<SMountedVolume> mounted = MountedVolumes().Remove(volume.ptr, [](const SMountedVolume& found) {
        if (found.walks != 0) Fail("volume is in use");
    });
    if (!mounted) Fail("volume handle is invalid");
    const bool filesWritten = mounted->inodes.CloseAll();
    DismountVolume(mounted->volume);
    if (!filesWritten) Fail("failed to close inode");
}

}  // namespace

}  // namespace volcore::fsfamily

namespace volkit {

bool filesystem::open(handle& volume, device& dev) {
    using namespace volcore::fsfamily;
    ReportInfo("Mounting NTFS");
    // A transfer that fails during the mount already fails it ("failed to
    // mount volume"), so a refused mount says that and nothing more.
    try {
        volume.ptr = Register(MountVolume(dev));
        return true;
    } catch (...) {
        ReportError("Failed to mount NTFS");
        ReportCurrentException();
        return false;
    }
}

bool filesystem::close(handle volume) {
    using namespace volcore::fsfamily;
    ReportInfo("Dismounting NTFS");
    return RunReported("Failed to dismount NTFS", [&] { Unregister(volume); });
}

}  // namespace volkit
