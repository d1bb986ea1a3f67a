#pragma once
// Everything one format call works with. Nothing of it outlives the call, so
// formatting is re-entrant.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/FormatClusterMap.h"
#include "format/FormatDevice.h"
#include "format/FormatGeometry.h"
#include "format/FormatRecord.h"

namespace volcore::format {

// What the caller chooses about the new volume.
struct SFormatOptions {
    bool quick = false;         // false: every cluster is zeroed first
    uint32_t clusterSize = 0;   // 0: chosen from the volume size
    std::u16string label;       // $VOLUME_NAME
    uint64_t hiddenSectors = 0; // where the volume starts on its disk; kept only when it fits the boot sector
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
    RunMap mftRuns, mirrorRuns, logRuns, bootRuns, badRuns;
    RunMap rootIndexRuns;

    std::vector<SRecordPlan> records;
    std::vector<uint8_t> mft;     // the whole MFT, protected just before it is written
    std::vector<SDirectoryEntry> rootEntries;
    std::vector<SDirectoryEntry> extendEntries;
    std::vector<uint8_t> workBuffer;  // bulk writes, a piece at a time
};

}  // namespace volcore::format
