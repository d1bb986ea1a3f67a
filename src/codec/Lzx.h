#pragma once
// LZX as WIM files and Windows' system compression use it: a 32 KiB window,
// every chunk an independent stream of verbatim, aligned-offset and
// uncompressed blocks, with the x86 call translation always applied.
#include <cstdint>
#include <span>

namespace volcore {

inline constexpr size_t LzxWindowSize = 32768;

// Decodes `input` until exactly `output.size()` bytes (at most the window) are
// produced, and undoes the call translation over them. Raises a Corrupt failure
// for a damaged or truncated stream.
void LzxDecompress(std::span<const uint8_t> input, std::span<uint8_t> output);

}  // namespace volcore
