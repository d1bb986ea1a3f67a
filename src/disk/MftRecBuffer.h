#pragma once
#include <cstdint>
#include <memory>
#include <vector>

namespace volcore {

// One MFT record in memory (exactly the volume's record size), shared between
// the MFT and file entries. No dirty flag and no record number: writing is an
// explicit call with the reference.
struct CMftRecBuffer {
    explicit CMftRecBuffer(size_t size) : bytes(size, 0) {}
    std::vector<uint8_t> bytes;
};

using MftRecBufferPtr = std::shared_ptr<CMftRecBuffer>;

}  // namespace volcore
