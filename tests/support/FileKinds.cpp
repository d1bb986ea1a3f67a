#include "support/FileKinds.h"

#include <stdexcept>

#include "codec/Samples.h"
#include "support/Images.h"
#include "support/WofFiles.h"

namespace volcore::test {

std::vector<FileKind> MakeFileKindsImage(const std::string& image) {
    constexpr uint64_t kUnit = 16 * 4096;  // compression unit
    std::vector<uint8_t> sparse(40 * kUnit, 0);
    const std::vector<uint8_t> island = TextSample(5000, 2);
    std::copy(island.begin(), island.end(), sparse.begin() + 17 * kUnit + 10);
    std::vector<FileKind> kinds = {{"/comp/lznt1.txt", "lznt1.txt", TextSample(5 * kUnit + 1234, 1)},
                                   {"/sparse.bin", "sparse.bin", sparse},
                                   {"/plain.txt:extra", "extra", TextSample(70000, 4)},
                                   {"/wof-xpress.txt", "wof-xpress.txt", TextSample(50000, 5)},
                                   {"/wof-lzx.bin", "wof-lzx.bin", CodeSample(100000)}};
    MakeNtfsImage(image, WithClusters(4096, 32ull << 20));
    Ntfs3gTree tree(image);
    tree.EnableCompression();
    tree.MakeDirectory(u"comp");
    tree.SetAttributes(u"comp", 0x10 | 0x800);  // new files inside are compressed
    tree.MakeFile(u"comp\\lznt1.txt", kinds[0].contents);
    tree.MakeFile(u"sparse.bin");
    tree.Resize(u"sparse.bin", sparse.size());
    tree.WriteAt(u"sparse.bin", 17 * kUnit + 10, island);
    if (!(tree.DataFlags(u"comp\\lznt1.txt") & 0x0001) || !(tree.DataFlags(u"sparse.bin") & 0x8000))
        throw std::runtime_error("the compressed or the sparse file came out plain");
    tree.MakeFile(u"plain.txt", TextSample(100, 3));
    tree.AddStream(u"plain.txt", u"extra", kinds[2].contents);
    MakeWofFile(tree, u"wof-xpress.txt", kWofAlgorithms[0], kinds[3].contents);
    MakeWofFile(tree, u"wof-lzx.bin", kWofAlgorithms[1], kinds[4].contents);
    return kinds;
}

}  // namespace volcore::test
