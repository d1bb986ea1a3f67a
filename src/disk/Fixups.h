#pragma once
// Update sequence (multi-sector) protection of FILE records and INDX blocks.
// Both work in place on `recordCount` records of `recordSize` bytes laid end to
// end; the stride is always 512 bytes.
#include <cstddef>
#include <cstdint>
#include <span>

namespace volcore {

// The header both protected structures start with.
namespace UpdateSequence {
inline constexpr size_t Signature = 0;  // "FILE" or "INDX"
inline constexpr size_t Offset = 4;     // where the update sequence array starts
inline constexpr size_t Count = 6;      // its entries: the sequence number and one per stride
inline constexpr uint32_t Stride = 512;
// The array's entry count for a structure of `size` bytes.
inline constexpr uint32_t CountFor(uint32_t size) { return size / Stride + 1; }
}  // namespace UpdateSequence

// After a read: checks every stride end against the update sequence number and
// restores the saved bytes.
void MstUnprotect(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize);

// Before a write: saves every stride end and stamps the update sequence number.
void MstProtect(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize);

}  // namespace volcore
