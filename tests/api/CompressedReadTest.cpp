// Files libntfs-3g wrote compressed (LZNT1 in units of 16 clusters: stored
// compressed, as they are, or as holes), read through the handle family byte
// for byte, whole and in pieces across units, over two sessions with
// libntfs-3g changing the files between them.
#include <gtest/gtest.h>

#include "InteropSupport.h"
#include "codec/Samples.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"

using namespace volkit::api;
using namespace volcore::test;

class CompressedFiles : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CompressedFiles, ReadByteForByteWhatLibntfs3gCompressed) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    TempDir dir;
    const std::string image = dir.File("compressed.img");
    MakeNtfsImage(image, WithClusters(GetParam(), 32ull << 20));
    const size_t unit = 16 * GetParam();
    Bytes mixed = TextSample(6 * unit + 999, 3), holes(9 * unit + 100, 0);
    std::fill_n(mixed.begin() + static_cast<long>(unit), unit, 0);
    const Bytes noise = Pattern(2 * unit, 4);
    std::copy(noise.begin(), noise.end(), mixed.begin() + static_cast<long>(3 * unit));
    std::map<std::u16string, Bytes> files = {{u"c\\text.txt", TextSample(5 * unit + 1234, 1)},
                                             {u"c\\random.bin", Pattern(3 * unit - 77, 2)},
                                             {u"c\\mixed.bin", mixed},
                                             {u"c\\small.txt", TextSample(3000, 6)}};
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"c");
        tree.SetAttributes(u"c", 0x10 | 0x800);  // a compressed directory: new files are compressed
        for (const auto& [path, bytes] : files) tree.MakeFile(path, bytes);
        tree.MakeFile(u"c\\holes.bin");
        tree.Resize(u"c\\holes.bin", holes.size());  // a file with holes, written in a few places
        for (const size_t at : {unit + 10, 4 * unit, 9 * unit}) {
            const Bytes piece = at == 4 * unit ? Pattern(unit + 3, 9) : TextSample(100, 10);
            tree.WriteAt(u"c\\holes.bin", at, piece);
            std::copy(piece.begin(), piece.end(), holes.begin() + static_cast<long>(at));
        }
        files[u"c\\holes.bin"] = holes;
        for (const auto& [path, bytes] : files) ASSERT_TRUE(tree.DataFlags(path) & 1) << Utf8(path) << " is not compressed";
    }
    for (int session = 0; session < 2; ++session) {
        MemoryDevice device = MemoryDevice::FromFile(image);
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        for (const auto& [path, bytes] : files) {
            EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
            EXPECT_EQ(ReadThroughHandles(volume, path, 4096 + 333), bytes) << Utf8(path);
        }
        ASSERT_TRUE(NtfsCloseVolume(volume));
        EXPECT_EQ(device.Bytes(), ReadFileBytes(image)) << "a session that only reads wrote";

        Ntfs3gTree tree(image);  // units rewritten, a hole filled, the end moved
        tree.EnableCompression();
        const Bytes more = TextSample(unit / 2, 11);
        for (const auto& [path, at] : {std::pair{u"c\\text.txt", unit - 100}, {u"c\\holes.bin", 6 * unit}}) {
            tree.WriteAt(path, at, more);
            std::copy(more.begin(), more.end(), files[path].begin() + static_cast<long>(at));
        }
        tree.Append(u"c\\random.bin", more);
        files[u"c\\random.bin"].insert(files[u"c\\random.bin"].end(), more.begin(), more.end());
    }
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, CompressedFiles, ::testing::Values(4096u, 512u));
