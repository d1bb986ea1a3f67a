#pragma once
// What the tool learns about a volume outside the file functions: the boot
// sector it reads itself, and the filesystem family's volume information.
#include <cstdint>
#include <string>

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

// What the volume says about itself beyond the boot sector.
struct VolumeInfo {
    std::string label;  // UTF-8
    uint8_t majorVersion = 0;
    uint8_t minorVersion = 0;
    uint32_t clusterSize = 0;
    uint64_t totalClusters = 0;
    uint64_t freeClusters = 0;
};

// Mounts the volume just long enough to ask it: with the filesystem family
// where the build has it, else with the handle family (free clusters from
// $Bitmap) and the $Volume record read here. The reason is in Diagnostics on
// failure.
bool QueryVolumeInfo(ImageDevice& device, VolumeInfo& info);

}  // namespace volcore::tool
