#pragma once
// LZNT1, the codec of NTFS compressed attributes: data cut into 4096-byte
// chunks, each coded alone behind a 16-bit header (stored size - 3 in bits
// 0-11, signature in 12-14, bit 15 set when the chunk is compressed).
#include <cstdint>
#include <span>
#include <vector>

namespace volcore {

inline constexpr uint32_t Lznt1ChunkSize = 4096;

// Decodes the stream in `input` (one compression unit's stored bytes) into
// `output`, which bounds what may be produced; returns the bytes produced. The
// stream ends at a zero header or at the end of the input. Raises a Corrupt
// failure for a stream that contradicts the format or would overflow `output`.
size_t Lznt1Decompress(std::span<const uint8_t> input, std::span<uint8_t> output);

// Codes `input` as LZNT1 chunks (without an end marker). A chunk that does not
// shrink is stored as it is.
std::vector<uint8_t> Lznt1Compress(std::span<const uint8_t> input);

}  // namespace volcore
