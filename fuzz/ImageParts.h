#pragma once
// A volume image taken apart with the checker's reader: the FILE records,
// attribute records and index blocks that seed the record, runlist and index
// targets, and where each directory's index blocks lie.
#include <cstdint>
#include <string>
#include <vector>

#include "volkit/api.h"
#include "disk/Types.h"

namespace volcore::fuzz {

using Bytes = std::vector<uint8_t>;

struct SFileParts {
    uint64_t number = 0;
    uint16_t sequence = 0;
    std::vector<uint64_t> numbers;  // the base record's, then its extension records'
    std::vector<Bytes> records;     // as stored, fixups included, in the order of `numbers`
    std::vector<uint64_t> blocks;   // byte offsets of the blocks of its $I30 index
    // What its attributes are and what the check finds wrong with them: files
    // of one shape exercise the same code, so one of them makes a seed.
    std::string shape;
};

struct SImageParts {
    uint32_t recordSize = 0;
    uint32_t blockSize = 0;
    uint32_t clusterSize = 0;
    volcore::RunMap mftRuns;
    std::vector<SFileParts> files;     // every base record in use
    std::vector<Bytes> nonResident;    // every non-resident attribute record, fixups applied

    // Where record `number` starts on the device; raises when the MFT's runs do not reach it.
    uint64_t RecordOffset(uint64_t number) const;
};

// Raises when the volume holds no MFT the checker can read.
SImageParts TakeApart(const volkit::api::NtfsIoDevice& device);

}  // namespace volcore::fuzz
