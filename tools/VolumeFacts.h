#pragma once
// What the tool learns about a volume outside the file functions: the boot
// sector it reads itself, and the filesystem family's volume information.
#include <cstdint>
#include <string>

namespace volcore::tool {

class CImageDevice;

struct SBootSectorFacts {
    uint32_t bytesPerSector = 0;
    uint32_t clusterSize = 0;
    uint64_t totalSectors = 0;
    uint64_t mftCluster = 0;
    uint64_t mftMirrorCluster = 0;
    uint32_t mftRecordSize = 0;
    uint32_t indexBlockSize = 0;
    uint64_t serialNumber = 0;
};

// What ReadBootSector says of a volume that has no NTFS boot sector at all.
inline constexpr const char* kNotNtfs = "not an NTFS volume";

// Reads and checks the NTFS boot sector at the start of the device's window.
bool ReadBootSector(const CImageDevice& device, SBootSectorFacts& facts, std::string& error);

// What the start of the device already holds ("an NTFS file system", "a
// partition table", ...), or "" when nothing there is recognised.
std::string RecognisedContent(const CImageDevice& device);

// What the volume says about itself beyond the boot sector.
struct SVolumeInfo {
    std::string label;  // UTF-8
    uint8_t majorVersion = 0;
    uint8_t minorVersion = 0;
    uint32_t clusterSize = 0;
    uint64_t totalClusters = 0;
    uint64_t freeClusters = 0;
    uint16_t flags = 0;  // of $VOLUME_INFORMATION, read by the tool itself
};

// The dirty bit of the flags word in $VOLUME_INFORMATION: a session (ours,
// libntfs-3g's or Windows') changed the volume and did not finish.
inline constexpr uint16_t kVolumeDirtyFlag = 0x0001;

// That flags word, read from the $Volume record itself; false when the record
// cannot be read.
bool ReadVolumeFlags(const CImageDevice& device, uint16_t& flags);

// What the volume says about the sessions before this one.
struct SVolumeState {
    bool flagsRead = false;   // false: the $Volume record cannot be read
    bool dirty = false;
    bool tracesRead = false;  // false: the handle family cannot open the volume
    bool hibernated = false;  // hiberfil.sys holds a suspended Windows
    bool logFileClean = false;  // false: $LogFile holds changes not yet replayed
};

void QueryVolumeState(CImageDevice& device, SVolumeState& state);

// Mounts the volume just long enough to ask it: with the filesystem family
// where the build has it, else with the handle family (free clusters from
// $Bitmap) and the $Volume record read here. The reason is in CDiagnostics on
// failure.
bool QueryVolumeInfo(CImageDevice& device, SVolumeInfo& info);

}  // namespace volcore::tool
