#pragma once
// FILE records of the new volume, built from a list of attributes.
#include <cstdint>
#include <string>
#include <vector>

#include "api/Bytes.h"
#include "format/FormatClusterMap.h"

namespace volcore::format {

enum EAttributeType : uint32_t {
    kStandardInformation = 0x10,
    kFileName = 0x30,
    kSecurityDescriptor = 0x50,
    kVolumeName = 0x60,
    kVolumeInformation = 0x70,
    kData = 0x80,
    kIndexRoot = 0x90,
    kIndexAllocation = 0xA0,
    kBitmap = 0xB0,
};

struct SAttribute {
    uint32_t type = 0;
    std::u16string name;
    bool nonResident = false;
    std::vector<uint8_t> value;  // resident
    Runlist runs;                // non-resident
    uint64_t dataSize = 0;
    uint64_t initializedSize = 0;

    static SAttribute Resident(uint32_t type, std::vector<uint8_t> value, std::u16string name = u"");
    // Initialized size equals the data size.
    static SAttribute NonResident(uint32_t type, Runlist runs, uint64_t dataSize, std::u16string name = u"");
};

enum ERecordFlags : uint16_t {
    kRecordInUse = 0x1,
    kRecordIsDirectory = 0x2,
    kRecordIsExtendMember = 0x4,
    kRecordIsViewIndex = 0x8,
};

struct SRecordHeader {
    uint32_t number = 0;
    uint16_t sequence = 0;
    uint16_t linkCount = 0;
    uint16_t flags = 0;
};

// Writes a complete, unprotected FILE record into `record` (one MFT record):
// the header, the attributes ordered by type and name, and the end marker.
void WriteFileRecord(const CByteWriter& record, const SRecordHeader& header,
                     std::vector<SAttribute> attributes, uint32_t clusterSize);

// Mapping pairs of a runlist, terminator included.
std::vector<uint8_t> EncodeMappingPairs(const Runlist& runs);

}  // namespace volcore::format
