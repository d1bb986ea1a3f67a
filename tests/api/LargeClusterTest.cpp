// Volumes with clusters of 128 KiB to 2 MiB, as Windows 10 formats them (the
// boot sector's sectors-per-cluster byte above 0x80 means 2^(256 - value)
// sectors; MFT records and index blocks are smaller than a cluster). mkntfs
// makes them; the handle family writes and reads them over several sessions,
// libntfs-3g reads and changes what it wrote, and our check and ntfsck find
// them clean. (The Sleuth Kit of Debian 12 does not read such volumes.)
#include <gtest/gtest.h>

#include <filesystem>

#include "InteropSupport.h"
#include "base/Unicode.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

// ntfsck -n from the shared tools; its exit status says nothing, its last line does.
std::string NtfsckVerdict(const std::string& image) {
    const std::string ntfsck = std::string(VOLKIT_SHARED_DIR) + "/tools/ntfsck/ntfsck";
    if (!std::filesystem::exists(ntfsck)) return "";
    const std::string output = RunCommand(ShellQuote(ntfsck) + " -n " + ShellQuote(image) + " 2>&1 | tail -n 1").output;
    return output.find("Clean, No errors found or left") != std::string::npos ? "clean" : output;
}

class LargeClusters : public ::testing::TestWithParam<uint32_t> {};

}  // namespace

TEST_P(LargeClusters, WrittenReadAndChangedByEveryone) {
    if (!HaveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is missing";
    const uint32_t clusterSize = GetParam();
    TempDir dir;
    const std::string image = dir.File("large.img");
    // mkntfs needs 512 MiB for 2 MiB clusters (room for its journal).
    MakeNtfsImage(image, WithClusters(clusterSize, clusterSize > (1u << 20) ? 512ull << 20 : 64ull << 20));
    const uint8_t encoded = ReadFileBytes(image)[13];
    ASSERT_EQ(1u << (256 - encoded), clusterSize / 512) << "sectors-per-cluster byte " << int{encoded};

    std::map<std::u16string, Bytes> files;
    MemoryDevice device = MemoryDevice::FromFile(image);
    for (int session = 0; session < 2; ++session) {
        NtfsVolumeHandle volume;
        ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume));
        const std::u16string folder = session == 0 ? u"first" : u"second";
        NtfsDirHandle created;
        ASSERT_TRUE(NtfsCreateDir(volcore::Utf16ToWide(folder).c_str(), created, volume) && NtfsCloseDir(created));
        const std::pair<const char*, size_t> sizes[] = {{"empty", 0}, {"small", 700}, {"cluster", clusterSize},
                                                       {"several", 2 * clusterSize + 12345}};
        for (const auto& [name, size] : sizes) {
            const std::u16string path = folder + u"\\" + U16(name);
            files[path] = Pattern(size, static_cast<uint32_t>(size + session));
            WriteThroughHandles(volume, path, files[path]);
        }
        for (int n = 0; n < 40; ++n) {  // enough names for index blocks
            const std::u16string path = folder + u"\\name " + U16(std::to_string(n));
            files[path] = Pattern(n * 10, n);
            WriteThroughHandles(volume, path, files[path]);
        }
        for (const auto& [path, bytes] : files) EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
        ASSERT_TRUE(NtfsCloseVolume(volume));
        EXPECT_TRUE(CheckVolume(device.Api()).Clean()) << CheckVolume(device.Api()).Describe();
    }
    device.SaveToFile(image);
    const std::string verdict = NtfsckVerdict(image);
    if (verdict.empty()) std::fprintf(stderr, "ntfsck is missing from the shared tools: not run\n");
    if (!verdict.empty()) {
        EXPECT_EQ(verdict, "clean");
    }
    {
        Ntfs3gTree other(image);
        for (const auto& [path, bytes] : files) EXPECT_EQ(other.Read(path), bytes) << Utf8(path);
        const Bytes more = Pattern(3000, 9);
        other.Append(u"first\\several", more);
        files[u"first\\several"].insert(files[u"first\\several"].end(), more.begin(), more.end());
        other.MakeFile(u"second\\from libntfs-3g", files[u"second\\from libntfs-3g"] = Pattern(clusterSize + 1, 10));
    }
    MemoryDevice again = MemoryDevice::FromFile(image);
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(again.Api(), volume));
    for (const auto& [path, bytes] : files) EXPECT_EQ(ReadThroughHandles(volume, path), bytes) << Utf8(path);
    ASSERT_TRUE(NtfsCloseVolume(volume));
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, LargeClusters, ::testing::Values(131072u, 2097152u));
