#include "support/WofFiles.h"

namespace volcore::test {
namespace {

void PutLe(std::vector<uint8_t>& bytes, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> Stored(const WimCompressor& compressor, std::span<const uint8_t> chunk) {
    return compressor.Compress(chunk).value_or(std::vector<uint8_t>(chunk.begin(), chunk.end()));
}

}  // namespace

std::vector<uint8_t> WofStreamOfRepeats(const WofAlgorithm& algorithm, uint64_t size,
                                        const std::vector<std::vector<uint8_t>>& chunks) {
    const WimCompressor compressor(algorithm.codec, algorithm.chunk);
    std::vector<std::vector<uint8_t>> stored;
    for (const std::vector<uint8_t>& chunk : chunks) stored.push_back(Stored(compressor, chunk));
    const uint64_t count = (size + algorithm.chunk - 1) / algorithm.chunk;
    if (count == 0) return {};
    const size_t width = size >= (uint64_t{1} << 32) ? 8 : 4;
    const size_t tail = static_cast<size_t>(size - (count - 1) * algorithm.chunk);
    const std::vector<uint8_t> last =
        Stored(compressor, std::span(chunks[(count - 1) % chunks.size()]).first(tail));
    std::vector<uint8_t> table, data;
    for (uint64_t i = 0; i + 1 < count; ++i) {
        const std::vector<uint8_t>& chunk = stored[i % stored.size()];
        data.insert(data.end(), chunk.begin(), chunk.end());
        PutLe(table, data.size(), width);
    }
    data.insert(data.end(), last.begin(), last.end());
    table.insert(table.end(), data.begin(), data.end());
    return table;
}

std::vector<uint8_t> WofStream(const WofAlgorithm& algorithm, const std::vector<uint8_t>& data) {
    std::vector<std::vector<uint8_t>> chunks;
    for (size_t at = 0; at < data.size(); at += algorithm.chunk)
        chunks.emplace_back(data.begin() + static_cast<long>(at),
                            data.begin() + static_cast<long>(std::min(at + algorithm.chunk, data.size())));
    return WofStreamOfRepeats(algorithm, data.size(), chunks);
}

std::vector<uint8_t> WofReparse(uint32_t provider, uint32_t algorithm) {
    std::vector<uint8_t> reparse;
    for (auto [value, width] : {std::pair<uint64_t, size_t>{0x80000017, 4}, {20, 2}, {0, 2}, {1, 4}, {provider, 4}, {1, 4},
                                {algorithm, 4}, {0, 4}})
        PutLe(reparse, value, width);
    return reparse;
}

void MakeWofFile(Ntfs3gTree& tree, const std::u16string& path, const std::vector<uint8_t>& stream,
                 const std::vector<uint8_t>& reparse, uint64_t size) {
    tree.MakeFile(path);
    tree.Resize(path, size);
    tree.AddStream(path, u"WofCompressedData", stream);
    tree.SetReparse(path, reparse);
}

}  // namespace volcore::test
