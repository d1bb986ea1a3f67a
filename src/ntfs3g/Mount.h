#pragma once
// Mounting and dismounting a libntfs-3g volume over the caller's device.
#include "base/HandleRegistry.h"
#include "ntfs3g/InodeTable.h"
#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volcore::fsfamily {

// What a file handle stands for: a held object, and the named stream of it
// the handle was opened on (null: its unnamed data).
struct SHandleTarget {
    SHeldInode* held = nullptr;
    SHeldStream* stream = nullptr;
};

// What a filesystem::handle stands for.
struct SMountedVolume {
    explicit SMountedVolume(ntfs_volume* mounted) : volume(mounted), inodes(mounted) {}

    ntfs_volume* volume;
    CInodeTable inodes;  // held by open file handles
    CHandleSlots<SHandleTarget> files;  // the file handles opened on it
    unsigned walks = 0; // directory walks running the caller's callback
};

// Every mounted volume of the process, by handle value. The one process-wide
// table of the family: a handle is a bare value that the caller passes with
// nothing else, so no volume can hold what turns it back into its volume.
CVolumeRegistry<SMountedVolume>& MountedVolumes();

// Marks a volume busy while the caller's code runs inside a call on it: a
// close from there would pull the volume from under the running call.
class CVolumeInUse {
public:
    explicit CVolumeInUse(SMountedVolume& mounted) : m_mounted(mounted) { ++m_mounted.walks; }
    ~CVolumeInUse() { --m_mounted.walks; }
    CVolumeInUse(const CVolumeInUse&) = delete;
    CVolumeInUse& operator=(const CVolumeInUse&) = delete;

private:
    SMountedVolume& m_mounted;
};

// A read-write mount with $Secure open and letter case ignored in lookups.
// Fails with "failed to mount volume", or "unsupported NTFS version" for a
// volume older than NTFS 3.0.
ntfs_volume* MountVolume(const volkit::filesystem::device& dev);

// Releases $Secure, clears the dirty flag the session set (unless a write
// failed, which leaves it set) and unmounts; the volume is gone even when this
// fails with "failed to dismount volume", or with "failed to write volume:
// I/O error" when any write of the session failed.
void DismountVolume(ntfs_volume* volume);

// Called before anything changes the volume. Sets the volume's dirty flag on
// the session's first change, so that a session that ends without a clean
// close (a crash, a failed write) leaves the volume marked for a check; a
// flag that was set at mount stays as it is. Fails with "volume is read-only
// after a failed write" once a write of the session failed, or with "failed
// to mark volume dirty".
void PrepareChange(ntfs_volume* volume);

// The mounted volume behind a handle; fails with "volume handle is invalid"
// for a zero handle or one that was closed.
SMountedVolume& MountOf(volkit::filesystem::handle volume);
ntfs_volume* VolumeOf(volkit::filesystem::handle volume);

}  // namespace volcore::fsfamily
