#pragma once
// XPRESS with Huffman coding ("LZ77+Huffman"), as Windows' system compression
// stores its 4, 8 and 16 KiB chunks: a table of 512 4-bit code lengths, then
// literals and matches coded with that one canonical code.
#include <cstdint>
#include <span>

namespace volcore {

// Decodes `input` until exactly `output.size()` bytes (at most 64 KiB) are
// produced. Raises a Corrupt failure for a damaged or truncated stream.
void XpressHuffmanDecompress(std::span<const uint8_t> input, std::span<uint8_t> output);

}  // namespace volcore
