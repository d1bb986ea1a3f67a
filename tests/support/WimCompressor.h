#pragma once
// wimlib's XPRESS and LZX compressors, an independent writer of the streams the
// engine decodes. Where libwim-dev was missing at build time, Available() is
// false and the tests that need it skip.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace volcore::test {

enum class WimCodec { Xpress, Lzx };

class WimCompressor {
public:
    static bool Available();
    static constexpr const char* MissingMessage = "wimlib (libwim-dev) was not found when the tests were built";

    // Compresses one chunk of at most `maxChunk` bytes; nothing when it does
    // not shrink. Throws std::runtime_error when wimlib cannot make the compressor.
    WimCompressor(WimCodec codec, size_t maxChunk);
    ~WimCompressor();
    WimCompressor(const WimCompressor&) = delete;
    WimCompressor& operator=(const WimCompressor&) = delete;

    std::optional<std::vector<uint8_t>> Compress(std::span<const uint8_t> chunk) const;

private:
    void* m_compressor = nullptr;
};

}  // namespace volcore::test
