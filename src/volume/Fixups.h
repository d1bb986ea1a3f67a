#pragma once
// Update sequence (multi-sector) protection of FILE records and INDX blocks.
// Both work in place on `recordCount` records of `recordSize` bytes laid end to
// end; the stride is always 512 bytes.
#include <cstdint>
#include <span>

namespace volcore {

// After a read: checks every stride end against the update sequence number and
// restores the saved bytes.
void MstUnprotect(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize);

// Before a write: saves every stride end and stamps the update sequence number.
void MstProtect(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize);

}  // namespace volcore
