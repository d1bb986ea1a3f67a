#pragma once
// Turns the caller's filesystem::device into a libntfs-3g device. The adapter
// is the device's private data; once a mounted device owns it (`owned`), the
// device's close operation frees it.
#include <cstdint>

#include "ntfs3g/Ntfs3g.h"
#include "volkit/filesystem.h"

namespace volcore::fsfamily {

struct SDeviceAdapter {
    explicit SDeviceAdapter(const volkit::filesystem::device& caller) : device(caller) {}

    uint64_t position = 0;
    volkit::filesystem::device device;
    bool owned = false;
    // How the session went: a transfer failed (its changes may be
    // incomplete), a write failed (libntfs-3g's copy of the metadata may no
    // longer match the disk), and whether the session set the volume's dirty
    // flag, which only a close after a session without failures clears.
    bool transferFailed = false;
    bool writeFailed = false;
    bool markedDirty = false;
};

// The adapter behind a mounted volume's device.
SDeviceAdapter& AdapterOf(ntfs_volume* volume);

// Every failed transfer fails with errno EIO and is noted for the
// running call (NoteFailedTransfer).

// The operations table every adapter-backed libntfs-3g device uses.
ntfs_device_operations* AdapterOperations();

// A libntfs-3g device (empty name, state 0) over `adapter`, which stays owned
// by the caller until its `owned` flag is set. Null when libntfs-3g cannot
// allocate it.
ntfs_device* CreateAdapterDevice(SDeviceAdapter* adapter);

}  // namespace volcore::fsfamily
