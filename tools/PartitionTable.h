#pragma once
// Finding partition N of a whole-disk image: an MBR's four primary entries and
// the logical partitions of its extended one (5 and up) or, behind a
// protective MBR, a GPT. Every number in the table is checked before
// it is used.
#include <cstdint>
#include <string>

namespace volcore::tool {

class CImageDevice;

struct SPartitionExtent {
    uint64_t offset = 0;  // bytes from the start of the image
    uint64_t length = 0;  // bytes
};

// Partition `number` (1-based) of the image; false with `error` set when the
// image has no usable table or no such partition.
bool FindPartition(const CImageDevice& image, unsigned number, SPartitionExtent& extent, std::string& error);

// Whether the image starts with an MBR (or protective MBR) that lists partitions.
bool HasPartitionTable(const CImageDevice& image);

}  // namespace volcore::tool
