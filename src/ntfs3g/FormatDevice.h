#pragma once
// The libntfs-3g device a volume is formatted onto, used only through its
// operations table.
#include <cstdint>
#include <span>

#include "ntfs3g/Ntfs3g.h"

namespace vkformat {

class CFormatDevice {
public:
    explicit CFormatDevice(ntfs_device* device) : m_device(device) {}

    // Opens the device read-write and returns its size in bytes (0 fails).
    uint64_t OpenAndMeasure();
    // Asks for 512-byte blocks; devices that do not care may refuse.
    void RequestSectorBlocks();
    bool TryWrite(uint64_t offset, std::span<const uint8_t> bytes);
    // A failed write fails the format.
    void Write(uint64_t offset, std::span<const uint8_t> bytes);
    void Sync();

private:
    ntfs_device* m_device;
};

}  // namespace vkformat
