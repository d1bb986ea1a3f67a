#include "support/WofFiles.h"

namespace volcore::test {
namespace {

void PutLe(std::vector<uint8_t>& bytes, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> WofStream(const WofAlgorithm& algorithm, const std::vector<uint8_t>& data) {
    const WimCompressor compressor(algorithm.codec, algorithm.chunk);
    std::vector<uint8_t> table, chunks;
    for (size_t at = 0; at < data.size(); at += algorithm.chunk) {
        const auto chunk = std::span(data).subspan(at, std::min(algorithm.chunk, data.size() - at));
        const std::vector<uint8_t> stored = compressor.Compress(chunk).value_or(std::vector<uint8_t>(chunk.begin(), chunk.end()));
        chunks.insert(chunks.end(), stored.begin(), stored.end());
        if (at + algorithm.chunk < data.size()) PutLe(table, chunks.size(), 4);
    }
    table.insert(table.end(), chunks.begin(), chunks.end());
    return table;
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
