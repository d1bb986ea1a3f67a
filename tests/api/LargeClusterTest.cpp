// Volumes with clusters of 128 KiB to 2 MiB, as Windows 10 formats them (the
// sectors-per-cluster byte above 0x80 means 2^(256 - value) sectors; MFT
// records and index blocks are smaller than a cluster), made by mkntfs or by
// our formatter: two sessions of the handle family write and read them, our
// check, ntfsfix and ntfsck find them clean, libntfs-3g reads and changes
// them, and we read them again. (Debian 12's Sleuth Kit does not read them.)
#include <gtest/gtest.h>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"

using namespace volkit::api;
using namespace volcore::test;

class LargeClusters : public ::testing::TestWithParam<std::pair<uint32_t, bool>> {};

TEST_P(LargeClusters, WrittenReadAndChangedByEveryone) {
    if (!HaveProgram("mkntfs") || !HaveProgram("ntfsfix")) GTEST_SKIP() << "mkntfs or ntfsfix is missing";
    const auto [clusterSize, ourFormatter] = GetParam();
    TempDir dir;
    const std::string image = dir.File("large.img");
    MakeNtfsImage(image, WithClusters(clusterSize, clusterSize > (1u << 20) ? 512ull << 20 : 64ull << 20));  // mkntfs needs room for its journal
    MemoryDevice device = MemoryDevice::FromFile(image);
    NtfsFormatOptions options;
    options.clusterSize = clusterSize;
    ASSERT_TRUE(!ourFormatter || NtfsFormatVolume(device.Api(), options));
    ASSERT_EQ(1u << (256 - device.Bytes()[13]), clusterSize / 512);

    std::map<std::u16string, Bytes> files;
    for (const std::u16string folder : {u"first", u"second"}) {
        NtfsVolumeHandle volume;
        NtfsDirHandle created;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        ASSERT_TRUE(NtfsCreateDir(volcore::Utf16ToWide(folder).c_str(), created, volume) && NtfsCloseDir(created));
        const auto put = [&](const std::string& name, size_t size) {
            const std::u16string path = folder + u"\\" + U16(name);
            WriteThroughHandles(volume, path, files[path] = Pattern(size, static_cast<uint32_t>(name.size())));
        };
        for (size_t size : {size_t{0}, size_t{700}, size_t{clusterSize}, size_t{2} * clusterSize + 12345}) put(std::to_string(size), size);
        for (int n = 0; n < 40; ++n) put("name " + std::to_string(n), n * 10u);  // enough names for index blocks
        for (const auto& [path, bytes] : files) EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
        ASSERT_TRUE(NtfsCloseVolume(volume));
        EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
    }
    device.SaveToFile(image);
    EXPECT_TRUE(NtfsfixAccepts(image));
    if (!NtfsckPath().empty()) {
        EXPECT_TRUE(NtfsckAccepts(image));
    }
    {
        Ntfs3gTree other(image);
        for (const auto& [path, bytes] : files) EXPECT_EQ(other.Read(path), bytes) << Utf8(path);
        const Bytes more = Pattern(3000, 9);
        other.Append(u"first\\700", more);
        files[u"first\\700"].insert(files[u"first\\700"].end(), more.begin(), more.end());
        other.MakeFile(u"second\\from libntfs-3g", files[u"second\\from libntfs-3g"] = Pattern(clusterSize + 1, 10));
    }
    MemoryDevice again = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(again.Api(), volume));
    for (const auto& [path, bytes] : files) EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
    ASSERT_TRUE(NtfsCloseVolume(volume));
}

// 128 KiB clusters from our formatter, 2 MiB clusters from mkntfs.
INSTANTIATE_TEST_SUITE_P(ClusterSizes, LargeClusters, ::testing::Values(std::pair{131072u, true}, std::pair{2097152u, false}));
