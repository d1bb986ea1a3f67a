// Built natively for the Windows leg: writes, through libntfs-3g, an image
// holding each kind of file the native engine reads beyond plain data (LZNT1
// compressed, sparse, a named stream, system-compressed with XPRESS and LZX),
// each file's contents as a host file, and a list of "volume path<TAB>host
// file" lines, for tool_kinds.sh to compare volkit.exe's reads with.
//   volkit_make_kinds IMAGE DIRECTORY
// Exits 77 when mkntfs or wimlib is missing, 1 when a kind did not come out
// as meant.
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "codec/Samples.h"
#include "support/Images.h"
#include "support/WofFiles.h"

using namespace volcore::test;

namespace {

struct kind {
    const char* volumePath;
    const char* hostName;
    std::vector<uint8_t> contents;
};

void Expect(bool holds, const char* what) {
    if (!holds) throw std::runtime_error(what);
}

std::vector<kind> WriteKinds(const std::string& image) {
    constexpr uint64_t kUnit = 16 * 4096;  // compression unit
    std::vector<uint8_t> sparse(40 * kUnit, 0);
    const std::vector<uint8_t> island = TextSample(5000, 2);
    std::copy(island.begin(), island.end(), sparse.begin() + 17 * kUnit + 10);
    std::vector<kind> kinds = {{"/comp/lznt1.txt", "lznt1.txt", TextSample(5 * kUnit + 1234, 1)},
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
    Expect(tree.DataFlags(u"comp\\lznt1.txt") & 0x0001, "lznt1.txt is not compressed");
    tree.MakeFile(u"sparse.bin");
    tree.Resize(u"sparse.bin", sparse.size());
    tree.WriteAt(u"sparse.bin", 17 * kUnit + 10, island);
    Expect(tree.DataFlags(u"sparse.bin") & 0x8000, "sparse.bin is not sparse");
    tree.MakeFile(u"plain.txt", TextSample(100, 3));
    tree.AddStream(u"plain.txt", u"extra", kinds[2].contents);
    MakeWofFile(tree, u"wof-xpress.txt", kWofAlgorithms[0], kinds[3].contents);
    MakeWofFile(tree, u"wof-lzx.bin", kWofAlgorithms[1], kinds[4].contents);
    return kinds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: volkit_make_kinds IMAGE DIRECTORY\n");
        return 2;
    }
    if (!HaveProgram("mkntfs") || !WimCompressor::Available()) {
        std::printf("skipped: mkntfs or wimlib is missing\n");
        return 77;
    }
    try {
        const std::string directory = argv[2];
        std::ofstream list(directory + "/kinds.txt");
        for (const kind& each : WriteKinds(argv[1])) {
            WriteFileBytes(directory + "/" + each.hostName, each.contents);
            list << each.volumePath << '\t' << each.hostName << '\n';
        }
        return list.good() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "volkit_make_kinds: %s\n", error.what());
        return 1;
    }
}
