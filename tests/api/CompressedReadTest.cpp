// Files libntfs-3g wrote compressed (LZNT1 in compression units of 16
// clusters: stored compressed, stored as they are, or holes), read through
// the handle family byte for byte, whole and in pieces that cross units.
#include <gtest/gtest.h>

#include "InteropSupport.h"
#include "codec/Samples.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeCompressed = 0x800;
constexpr uint16_t kDataCompressed = 0x0001;

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

class CompressedFiles : public ::testing::TestWithParam<uint32_t> {};

}  // namespace

TEST_P(CompressedFiles, ReadByteForByteWhatLibntfs3gCompressed) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    const uint32_t clusterSize = GetParam();
    TempDir dir;
    const std::string image = dir.File("compressed.img");
    MakeNtfsImage(image, WithClusters(clusterSize, 32ull << 20));

    const uint64_t unit = 16ull * clusterSize;
    std::map<std::u16string, Bytes> files = {
        {u"comp\\text.txt", TextSample(5 * unit + 1234, 1)},
        {u"comp\\random.bin", Pattern(3 * unit - 77, 2)},
        {u"comp\\mixed.bin", Join({TextSample(unit + 5, 3), Pattern(2 * unit, 4), Bytes(3 * unit, 0), TextSample(999, 5)})},
        {u"comp\\small.txt", TextSample(3000, 6)},
        {u"comp\\tiny.txt", TextSample(40, 7)},
    };
    // A file with holes: grown, then written in a few places.
    Bytes holes(9 * unit + 100, 0);
    const std::pair<uint64_t, Bytes> pieces[] = {{unit + 10, TextSample(5000, 8)}, {4 * unit, Pattern(unit + 3, 9)},
                                                 {9 * unit, TextSample(100, 10)}};
    for (const auto& [at, bytes] : pieces) std::copy(bytes.begin(), bytes.end(), holes.begin() + static_cast<long>(at));
    {
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        tree.MakeDirectory(u"comp");
        tree.SetAttributes(u"comp", kAttributeDirectory | kAttributeCompressed);
        for (const auto& [path, bytes] : files) tree.MakeFile(path, bytes);
        tree.MakeFile(u"comp\\holes.bin");
        tree.Resize(u"comp\\holes.bin", holes.size());
        for (const auto& [at, bytes] : pieces) tree.WriteAt(u"comp\\holes.bin", at, bytes);
        files[u"comp\\holes.bin"] = holes;
        for (const char16_t* path : {u"comp\\text.txt", u"comp\\random.bin", u"comp\\holes.bin"})
            ASSERT_TRUE(tree.DataFlags(path) & kDataCompressed) << Utf8(path) << ": libntfs-3g did not compress it";
    }

    for (int session = 0; session < 2; ++session) {
        MemoryDevice device = MemoryDevice::FromFile(image);
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        for (const auto& [path, bytes] : files) {
            EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
            EXPECT_EQ(ReadInPieces(volume, path, 4096 + 333), bytes) << Utf8(path);
        }
        const auto listed = ListThroughHandles(volume, u"comp");
        EXPECT_EQ(listed.size(), files.size());
        ASSERT_TRUE(NtfsCloseVolume(volume));
        EXPECT_EQ(device.Bytes(), ReadFileBytes(image)) << "a session that only reads wrote";

        // libntfs-3g changes the files between the sessions: units rewritten,
        // a hole filled, the end moved.
        Ntfs3gTree tree(image);
        tree.EnableCompression();
        const Bytes more = TextSample(unit / 2, 11);
        tree.WriteAt(u"comp\\text.txt", unit - 100, more);
        std::copy(more.begin(), more.end(), files[u"comp\\text.txt"].begin() + static_cast<long>(unit - 100));
        tree.WriteAt(u"comp\\holes.bin", 6 * unit, more);
        std::copy(more.begin(), more.end(), files[u"comp\\holes.bin"].begin() + static_cast<long>(6 * unit));
        tree.Append(u"comp\\random.bin", more);
        files[u"comp\\random.bin"] = Join({files[u"comp\\random.bin"], more});
    }
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, CompressedFiles, ::testing::Values(4096u, 512u));
