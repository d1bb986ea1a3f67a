#include "support/WimCompressor.h"

#include <stdexcept>
#include <string>

#ifdef VOLKIT_HAVE_WIMLIB
#include <wimlib.h>
#endif

namespace volcore::test {

#ifdef VOLKIT_HAVE_WIMLIB
bool WimCompressor::Available() { return true; }

WimCompressor::WimCompressor(WimCodec codec, size_t maxChunk) {
    const auto type = codec == WimCodec::Xpress ? WIMLIB_COMPRESSION_TYPE_XPRESS : WIMLIB_COMPRESSION_TYPE_LZX;
    wimlib_compressor* compressor = nullptr;
    const int status = wimlib_create_compressor(type, maxChunk, 0, &compressor);
    if (status != 0) throw std::runtime_error("wimlib_create_compressor failed: " + std::to_string(status));
    m_compressor = compressor;
}

WimCompressor::~WimCompressor() { wimlib_free_compressor(static_cast<wimlib_compressor*>(m_compressor)); }

std::optional<std::vector<uint8_t>> WimCompressor::Compress(std::span<const uint8_t> chunk) const {
    std::vector<uint8_t> out(chunk.size());
    const size_t size = wimlib_compress(chunk.data(), chunk.size(), out.data(), out.size() - 1,
                                        static_cast<wimlib_compressor*>(m_compressor));
    if (size == 0) return std::nullopt;
    out.resize(size);
    return out;
}
#else
bool WimCompressor::Available() { return false; }
WimCompressor::WimCompressor(WimCodec, size_t) { throw std::runtime_error(MissingMessage); }
WimCompressor::~WimCompressor() = default;
std::optional<std::vector<uint8_t>> WimCompressor::Compress(std::span<const uint8_t>) const { return std::nullopt; }
#endif

}  // namespace volcore::test
