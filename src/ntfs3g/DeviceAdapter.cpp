#include "ntfs3g/DeviceAdapter.h"

#include <cstdio>

#include "ntfs3g/FamilyLog.h"

namespace volcore::fsfamily {
namespace {

SDeviceAdapter& AdapterOf(ntfs_device* dev) { return *static_cast<SDeviceAdapter*>(dev->d_private); }

// libntfs-3g never asks for negative counts or offsets of a healthy device;
// refuse them rather than hand a wrapped-around number to the caller.
bool IsTransferable(s64 offset, s64 count) { return offset >= 0 && count >= 0; }

int OpenDevice(ntfs_device*, int) { return 0; }

int CloseDevice(ntfs_device* dev) {
    auto* adapter = static_cast<SDeviceAdapter*>(dev->d_private);
    if (adapter != nullptr && adapter->owned) delete adapter;
    dev->d_private = nullptr;
    return 0;
}

// Only absolute positioning exists, so `whence` is not looked at.
s64 SeekDevice(ntfs_device* dev, s64 offset, int) {
    AdapterOf(dev).position = static_cast<uint64_t>(offset);
    return 0;
}

s64 TransferFailed(SDeviceAdapter& adapter, const char* what, s64 count, s64 offset) {
    adapter.transferFailed = true;
    char description[160];
    std::snprintf(description, sizeof description, "failed to %s %lld bytes at offset %lld: I/O error", what,
                  static_cast<long long>(count), static_cast<long long>(offset));
    NoteFailedTransfer(description);
    errno = EIO;
    return -1;
}

s64 ReadAt(SDeviceAdapter& adapter, void* buffer, s64 count, s64 offset) {
    const bool done = IsTransferable(offset, count) && adapter.device.read != nullptr &&
                      adapter.device.read(static_cast<uint64_t>(offset), buffer, static_cast<uint64_t>(count),
                                          adapter.device.context);
    return done ? count : TransferFailed(adapter, "read", count, offset);
}

s64 WriteAt(SDeviceAdapter& adapter, const void* buffer, s64 count, s64 offset) {
    const bool done = IsTransferable(offset, count) && adapter.device.write != nullptr &&
                      adapter.device.write(static_cast<uint64_t>(offset), buffer, static_cast<uint64_t>(count),
                                           adapter.device.context);
    if (done) return count;
    adapter.writeFailed = true;
    return TransferFailed(adapter, "write", count, offset);
}

s64 ReadDevice(ntfs_device* dev, void* buffer, s64 count) {
    SDeviceAdapter& adapter = AdapterOf(dev);
    const s64 result = ReadAt(adapter, buffer, count, static_cast<s64>(adapter.position));
    if (result >= 0) adapter.position += static_cast<uint64_t>(result);
    return result;
}

s64 WriteDevice(ntfs_device* dev, const void* buffer, s64 count) {
    SDeviceAdapter& adapter = AdapterOf(dev);
    const s64 result = WriteAt(adapter, buffer, count, static_cast<s64>(adapter.position));
    if (result >= 0) adapter.position += static_cast<uint64_t>(result);
    return result;
}

s64 PreadDevice(ntfs_device* dev, void* buffer, s64 count, s64 offset) {
    return ReadAt(AdapterOf(dev), buffer, count, offset);
}

s64 PwriteDevice(ntfs_device* dev, const void* buffer, s64 count, s64 offset) {
    return WriteAt(AdapterOf(dev), buffer, count, offset);
}

int SyncDevice(ntfs_device*) { return 0; }

// The volume looks like a regular file of the caller's size.
int StatDevice(ntfs_device* dev, struct stat* info) {
    std::memset(info, 0, sizeof(*info));
    info->st_mode = S_IFREG;
    const SDeviceAdapter& adapter = AdapterOf(dev);
    uint64_t size = 0;
    if (adapter.device.getSize == nullptr || !adapter.device.getSize(&size, adapter.device.context)) return -1;
    info->st_size = static_cast<off_t>(size);
    return 0;
}

// No geometry or block-size queries are answered; libntfs-3g falls back to
// stat and its defaults.
int IoctlDevice(ntfs_device*, unsigned long, void*) { return 0; }

// Shared by every adapter device; it holds only functions, each device's
// state is its adapter.
ntfs_device_operations g_adapterOperations = {
    OpenDevice, CloseDevice, SeekDevice, ReadDevice, WriteDevice, PreadDevice,
    PwriteDevice, SyncDevice, StatDevice, IoctlDevice,
};

}  // namespace

SDeviceAdapter& AdapterOf(ntfs_volume* volume) { return AdapterOf(volume->dev); }

ntfs_device_operations* AdapterOperations() { return &g_adapterOperations; }

ntfs_device* CreateAdapterDevice(SDeviceAdapter* adapter) {
    return ntfs_device_alloc("", 0, &g_adapterOperations, adapter);
}

}  // namespace volcore::fsfamily
