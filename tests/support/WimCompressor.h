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

    // For chunks of at most `maxChunk` bytes; throws std::runtime_error where wimlib fails.
    WimCompressor(WimCodec codec, size_t maxChunk);
    ~WimCompressor();
    WimCompressor(const WimCompressor&) = delete;
    WimCompressor& operator=(const WimCompressor&) = delete;

    // Nothing when the chunk does not shrink.
    std::optional<std::vector<uint8_t>> Compress(std::span<const uint8_t> chunk) const;

private:
    void* m_compressor = nullptr;
};

}  // namespace volcore::test
