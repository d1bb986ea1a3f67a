#pragma once
// Files kept with Windows' system compression (WOF), written through
// libntfs-3g as Windows lays them out: the WofCompressedData stream (the end
// offsets of chunks 0..n-2 counted from the table's end, then the chunks
// wimlib compressed, or stored as they are where that is no smaller), the WOF
// reparse point, and an unnamed $DATA that only carries the size (sparse).
#include "support/Ntfs3gTree.h"
#include "support/WimCompressor.h"

namespace volcore::test {

struct WofAlgorithm {
    uint32_t number;  // as the reparse point names it
    WimCodec codec;
    size_t chunk;
    const char* name;
};
inline constexpr WofAlgorithm kWofAlgorithms[] = {{0, WimCodec::Xpress, 4096, "XPRESS4K"},
                                                  {1, WimCodec::Lzx, 32768, "LZX"},
                                                  {2, WimCodec::Xpress, 8192, "XPRESS8K"},
                                                  {3, WimCodec::Xpress, 16384, "XPRESS16K"}};

std::vector<uint8_t> WofStream(const WofAlgorithm& algorithm, const std::vector<uint8_t>& data);
// The stream of a file of `size` bytes (any size: from 4 GiB on, the table's
// entries are 8 bytes wide) whose chunk i holds the start of
// `chunks[i % chunks.size()]`, each compressed once.
std::vector<uint8_t> WofStreamOfRepeats(const WofAlgorithm& algorithm, uint64_t size,
                                        const std::vector<std::vector<uint8_t>>& chunks);
// Tag, data length, then version 1, `provider`, provider version 1, `algorithm`, flags 0.
std::vector<uint8_t> WofReparse(uint32_t provider, uint32_t algorithm);
void MakeWofFile(Ntfs3gTree& tree, const std::u16string& path, const std::vector<uint8_t>& stream,
                 const std::vector<uint8_t>& reparse, uint64_t size);
// `data` compressed with `algorithm` by the file provider.
inline void MakeWofFile(Ntfs3gTree& tree, const std::u16string& path, const WofAlgorithm& algorithm,
                        const std::vector<uint8_t>& data) {
    MakeWofFile(tree, path, WofStream(algorithm, data), WofReparse(2, algorithm.number), data.size());
}

}  // namespace volcore::test
