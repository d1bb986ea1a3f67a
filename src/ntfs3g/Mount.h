#pragma once
// Mounting and dismounting a libntfs-3g volume over the caller's device.
#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volkit::fsfamily {

// A read-write mount with $Secure open and letter case ignored in lookups.
// Fails with "failed to mount volume".
ntfs_volume* MountVolume(const filesystem::device& dev);

// Releases $Secure and unmounts; the volume is gone even when this fails with
// "failed to dismount volume".
void DismountVolume(ntfs_volume* volume);

// The mounted volume behind a handle; fails with "volume handle is invalid"
// for a zero handle.
ntfs_volume* VolumeOf(filesystem::handle volume);

}  // namespace volkit::fsfamily
