#pragma once
// What the tool learns about a volume outside the file functions: the boot
// sector it reads itself, and the filesystem family's volume information.
#include <cstdint>
#include <string>

#include "volkit/filesystem.h"

namespace volcore::tool {

class ImageDevice;

struct BootSectorFacts {
    uint32_t bytesPerSector = 0;
    uint32_t clusterSize = 0;
    uint64_t totalSectors = 0;
    uint64_t mftCluster = 0;
    uint64_t mftMirrorCluster = 0;
    uint32_t mftRecordSize = 0;
    uint32_t indexBlockSize = 0;
    uint64_t serialNumber = 0;
};

// Reads and checks the NTFS boot sector at the start of the device's window.
bool ReadBootSector(const ImageDevice& device, BootSectorFacts& facts, std::string& error);

// What the start of the device already holds ("an NTFS file system", "a
// partition table", ...), or "" when nothing there is recognised.
std::string RecognisedContent(const ImageDevice& device);

// Mounts the volume with the filesystem family just long enough to ask it.
// The library's reason is in Diagnostics on failure.
bool QueryVolumeInfo(ImageDevice& device, volkit::filesystem::volumeInfo& info);

}  // namespace volcore::tool
