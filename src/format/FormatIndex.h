#pragma once
// Index values of the new volume: $FILE_NAME values and their directory
// entries, view index entries, index roots and the root directory's block.
#include <cstdint>
#include <string>
#include <vector>

namespace volcore::format {

struct SFileNameInfo {
    uint64_t parent = 0;  // file reference with sequence number
    uint64_t time = 0;
    uint64_t allocatedSize = 0;
    uint64_t dataSize = 0;
    uint32_t flags = 0;
    std::u16string name;
};

// A $FILE_NAME value in the Win32-and-DOS name space.
std::vector<uint8_t> FileNameValue(const SFileNameInfo& info);
std::vector<uint8_t> FileNameIndexEntry(uint64_t reference, const std::vector<uint8_t>& fileName);
// `padding` zero-or-more bytes after the data, before the 8-byte alignment.
std::vector<uint8_t> ViewIndexEntry(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data,
                                    const std::vector<uint8_t>& padding = {});

struct SIndexGeometry {
    uint32_t blockSize = 0;
    uint8_t clustersPerBlock = 0;  // 512-byte units when a block is smaller than a cluster
};
SIndexGeometry IndexGeometry(uint32_t blockSize, uint32_t clusterSize);

// An index root holding all `entries` (already in collation order).
std::vector<uint8_t> SmallIndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry,
                                    const std::vector<std::vector<uint8_t>>& entries);
// An empty index root whose end entry leads to block 0.
std::vector<uint8_t> LargeIndexRoot(uint32_t indexedType, uint32_t collation, const SIndexGeometry& geometry);
// One unprotected INDX leaf block (VCN 0) with `entries`.
std::vector<uint8_t> LeafIndexBlock(const SIndexGeometry& geometry, const std::vector<std::vector<uint8_t>>& entries);

}  // namespace volcore::format
