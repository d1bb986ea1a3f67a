#pragma once
// Everything one format call works with. Nothing of it outlives the call, so
// formatting is re-entrant.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ntfs3g/FormatClusterMap.h"
#include "ntfs3g/FormatDevice.h"
#include "ntfs3g/FormatGeometry.h"
#include "ntfs3g/FormatRecord.h"

namespace vkformat {

// The formatter's options; `format` leaves all but the quick flag and the
// cluster size at their defaults.
struct SFormatOptions {
    std::string deviceName;
    bool enableCompression = false;
    bool quickFormat = false;
    bool force = false;
    uint32_t heads = 0;
    bool disableIndexing = false;
    bool noAction = false;
    uint64_t partitionStartSector = 0;
    uint32_t sectorSize = kSectorSize;
    uint32_t sectorsPerTrack = 0;
    bool useEpochTime = false;
    uint32_t mftZoneMultiplier = 0;  // default: an eighth of the volume
    uint64_t sectorCount = 0;        // 0: from the device
    uint32_t clusterSize = 0;        // 0: automatic
    bool withVolumeObjectId = false;
    std::string volumeLabel;
};

// One MFT record as it will be written.
struct SRecordPlan {
    SRecordHeader header;
    std::vector<SAttribute> attributes;
};

// A name entered into a directory index of the new volume.
struct SDirectoryEntry {
    std::u16string name;
    std::vector<uint8_t> entry;  // complete index entry
};

struct SFormatContext {
    SFormatContext(const SFormatOptions& formatOptions, CFormatDevice& target)
        : options(formatOptions), device(target) {}

    SFormatOptions options;
    CFormatDevice& device;
    SFormatGeometry geometry;
    uint64_t now = 0;  // NTFS time, whole seconds
    uint64_t serialNumber = 0;
    uint16_t volumeFlags = 0;

    std::unique_ptr<CClusterMap> clusters;
    std::vector<uint8_t> mftBitmap;
    Runlist mftRuns, mirrorRuns, logRuns, bootRuns, badRuns;
    Runlist rootIndexRuns;

    std::vector<SRecordPlan> records;
    std::vector<uint8_t> mft;     // the whole MFT, protected just before it is written
    std::vector<uint8_t> upcase;  // the $UpCase table, also used to order index entries
    std::vector<SDirectoryEntry> rootEntries;
    std::vector<SDirectoryEntry> extendEntries;
    std::vector<uint8_t> workBuffer;  // bulk writes
};

}  // namespace vkformat
