#pragma once
// FILE records of the new volume, built from a list of attributes.
#include <cstdint>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "disk/Types.h"

namespace volcore::format {

uint64_t RunClusters(const RunMap& runs);

struct SAttribute {
    uint32_t type = 0;
    std::u16string name;
    bool nonResident = false;
    std::vector<uint8_t> value;  // resident
    RunMap runs;                 // non-resident
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;

    static SAttribute Resident(uint32_t type, std::vector<uint8_t> value, std::u16string name = u"");
    // Initialized size equals the data size.
    static SAttribute NonResident(uint32_t type, RunMap runs, uint64_t dataSize, std::u16string name = u"");
};

struct SRecordHeader {
    uint32_t number = 0;
    uint16_t sequence = 0;
    uint16_t linkCount = 0;
    uint16_t flags = 0;
};

// Writes a complete, unprotected FILE record into `record` (one MFT record):
// the header, the attributes ordered by type and name, and the end marker.
void WriteFileRecord(const CByteWriter& record, const SRecordHeader& header, std::vector<SAttribute> attributes,
                     uint32_t clusterSize);

}  // namespace volcore::format
