// The formatter with clusters of 128 KiB to 2 MiB, as Windows 10 offers them:
// our check, ntfsfix and ntfsck accept the volume, libntfs-3g writes a file
// into it that the handle family reads back. (The Sleuth Kit of Debian 12 does
// not read such volumes.)
#include <gtest/gtest.h>

#include <filesystem>

#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/Ntfs3gTree.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"
#include "volume/BootSector.h"

using namespace volcore;
using namespace volcore::test;

namespace {

class LargeClusterFormat : public ::testing::TestWithParam<uint32_t> {};

}  // namespace

TEST_P(LargeClusterFormat, CheckersAcceptItAndLibntfs3gWritesIntoIt) {
    if (!HaveProgram("ntfsfix")) GTEST_SKIP() << "ntfsfix is missing";
    const uint32_t clusterSize = GetParam();
    TempDir temp;
    const std::string image = temp.File("large.img");
    {
        MemoryDevice device(std::vector<uint8_t>(clusterSize > (1u << 20) ? 512u << 20 : 64u << 20, 0));
        volkit::api::NtfsFormatOptions options;
        options.clusterSize = clusterSize;
        ASSERT_TRUE(volkit::api::NtfsFormatVolume(device.Api(), options));
        EXPECT_EQ(ParseBootSector(std::span(device.Bytes()).first(kBootSectorSize)).clusterSize, clusterSize);
        const CheckOutcome checked = CheckVolume(device.Api());
        EXPECT_TRUE(checked.Clean()) << checked.Describe();
        device.SaveToFile(image);
    }
    const CommandResult fix = RunCommand("ntfsfix -n " + ShellQuote(image));
    EXPECT_EQ(fix.exitCode, 0) << fix.output;
    const std::string ntfsck = std::string(VOLKIT_SHARED_DIR) + "/tools/ntfsck/ntfsck";
    if (std::filesystem::exists(ntfsck)) {
        const std::string verdict = RunCommand(ShellQuote(ntfsck) + " -n " + ShellQuote(image) + " 2>&1 | tail -n 1").output;
        EXPECT_NE(verdict.find("Clean, No errors found or left"), std::string::npos) << verdict;
    }
    const std::vector<uint8_t> payload = Pattern(clusterSize + 4321, 5);
    {
        Ntfs3gTree tree(image);
        tree.MakeDirectory(u"dir");
        tree.MakeFile(u"dir\\payload.bin", payload);
    }
    MemoryDevice device = MemoryDevice::FromFile(image);
    volkit::api::NtfsVolumeHandle volume;
    ASSERT_TRUE(volkit::api::NtfsOpenVolume(device.Api(), volume));
    volkit::api::NtfsFileHandle file;
    ASSERT_TRUE(volkit::api::NtfsOpenFile(L"dir\\payload.bin", file, volume));
    std::vector<uint8_t> back(payload.size());
    EXPECT_TRUE(volkit::api::NtfsReadFile(0, back.data(), static_cast<unsigned>(back.size()), file));
    EXPECT_EQ(back, payload);
    EXPECT_TRUE(volkit::api::NtfsCloseFile(file) && volkit::api::NtfsCloseVolume(volume));
    EXPECT_TRUE(CheckVolume(device.Api()).Clean());
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, LargeClusterFormat, ::testing::Values(131072u, 2097152u));
