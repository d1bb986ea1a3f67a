#include "support/WofFiles.h"

#include <algorithm>
#include <span>

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
        const auto compressed = compressor.Compress(chunk);
        if (compressed) chunks.insert(chunks.end(), compressed->begin(), compressed->end());
        else chunks.insert(chunks.end(), chunk.begin(), chunk.end());
        if (at + algorithm.chunk < data.size()) PutLe(table, chunks.size(), 4);
    }
    table.insert(table.end(), chunks.begin(), chunks.end());
    return table;
}

std::vector<uint8_t> WofReparse(uint32_t provider, uint32_t algorithm) {
    std::vector<uint8_t> reparse;
    PutLe(reparse, 0x80000017, 4);
    PutLe(reparse, 20, 2);
    PutLe(reparse, 0, 2);
    for (uint32_t field : {1u, provider, 1u, algorithm, 0u}) PutLe(reparse, field, 4);
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
