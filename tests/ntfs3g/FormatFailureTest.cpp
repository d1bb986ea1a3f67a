// How formatting fails: refused geometries, failing device callbacks, and the
// one failure that only marks the new volume for checking.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntfs3g/FormatSupport.h"
#include "support/FamilyDevice.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "volkit/filesystem.h"

namespace volkit::test {
namespace {

constexpr uint64_t MiB = 1ull << 20;
using Lines = std::vector<std::string>;
const Lines kFailureLines = {"Failed to create NTFS filesystem", "failed to create NTFS"};

TEST(FormatFailure, RefusedGeometriesFailBeforeAnyWrite) {
    struct Case {
        uint64_t size;
        uint32_t clusterSize;
    };
    const std::vector<Case> cases = {
        {MiB, 0},         {0, 0},           {100 * MiB, 1000}, {100 * MiB, 256},
        {100 * MiB, 131072}, {100 * MiB, 3 * 4096},
    };
    TempDir temp;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, cluster " + std::to_string(c.clusterSize));
        FormatFileDevice device(temp.File("refused.img"), c.size);
        FamilyLogCapture log;
        EXPECT_FALSE(filesystem::format(true, c.clusterSize, device.Device()));
        EXPECT_EQ(log.Errors(), kFailureLines);
        EXPECT_EQ(device.writeCount, 0u);
    }

    MemoryDevice memory(std::vector<uint8_t>(4 * MiB));
    memory.failGetSize = true;
    filesystem::device dev = FamilyDeviceOf(memory);
    FamilyLogCapture log;
    EXPECT_FALSE(filesystem::format(false, 0, dev));
    EXPECT_EQ(log.Errors(), kFailureLines);
    EXPECT_EQ(memory.writeCount, 0u);
}

TEST(FormatFailure, NoRoomForSystemDataFails) {
    // 64 KiB clusters leave 16 clusters on 1 MiB: too few for the system files
    // (mkntfs refuses this too).
    MemoryDevice memory(std::vector<uint8_t>(MiB + 512));
    filesystem::device dev = FamilyDeviceOf(memory);
    FamilyLogCapture log;
    EXPECT_FALSE(filesystem::format(true, 65536, dev));
    EXPECT_EQ(log.Errors(), kFailureLines);
}

TEST(FormatFailure, FailingWritesFailTheFormat) {
    TempDir temp;
    const std::string path = temp.File("failing.img");
    // A cluster that no system structure uses on 16 MiB: only the zero fill
    // of a full format touches it.
    const uint64_t idleCluster = 12 * MiB;
    {
        FormatFileDevice device(path, 16 * MiB);
        device.failFrom = idleCluster;
        device.failTo = idleCluster + 1;
        FamilyLogCapture log;
        EXPECT_FALSE(filesystem::format(false, 0, device.Device()));
        EXPECT_EQ(log.Errors(), kFailureLines);
    }
    {
        FormatFileDevice device(path, 16 * MiB);
        device.failFrom = idleCluster;
        device.failTo = idleCluster + 1;
        FamilyLogCapture log;
        EXPECT_TRUE(filesystem::format(true, 0, device.Device()));
        EXPECT_TRUE(log.Errors().empty());
    }
    // The MFT records are written in every mode.
    FormatFileDevice device(path, 16 * MiB);
    device.failFrom = 16384 + 5 * 1024;
    device.failTo = device.failFrom + 1;
    FamilyLogCapture log;
    EXPECT_FALSE(filesystem::format(true, 0, device.Device()));
    EXPECT_EQ(log.Errors(), kFailureLines);
}

TEST(FormatFailure, FullFormatZeroesEveryClusterQuickLeavesThem) {
    const uint64_t size = 4 * MiB;
    const uint64_t idle = 3 * MiB + 4096;  // past the journal, never allocated
    MemoryDevice full(std::vector<uint8_t>(size, 0xAB));
    filesystem::device fullDevice = FamilyDeviceOf(full);
    ASSERT_TRUE(filesystem::format(false, 0, fullDevice));
    MemoryDevice quick(std::vector<uint8_t>(size, 0xAB));
    filesystem::device quickDevice = FamilyDeviceOf(quick);
    ASSERT_TRUE(filesystem::format(true, 0, quickDevice));

    EXPECT_EQ(full.Bytes()[idle], 0);
    EXPECT_EQ(quick.Bytes()[idle], 0xAB);
    // One write per cluster for the zero fill, nothing else differs.
    const uint64_t clusters = (size - 512) / 4096;
    EXPECT_EQ(full.writeCount - quick.writeCount, clusters);
}

TEST(FormatFailure, LostBackupBootSectorOnlyMarksTheVolumeDirty) {
    if (!HaveProgram("ntfsinfo")) GTEST_SKIP() << "ntfsinfo is not installed";
    TempDir temp;
    const std::string path = temp.File("dirty.img");
    {
        FormatFileDevice device(path, 8 * MiB);
        device.failFrom = 8 * MiB - 512;
        device.failTo = 8 * MiB;
        FamilyLogCapture log;
        ASSERT_TRUE(filesystem::format(true, 0, device.Device()));
        EXPECT_TRUE(log.Lines().empty());
    }
    EXPECT_EQ(ReadFileRange(path, 8 * MiB - 512, 512), std::vector<uint8_t>(512, 0));
    CommandResult refused = RunCommand("ntfsinfo -m " + ShellQuote(path));
    EXPECT_NE(refused.output.find("scheduled for check"), std::string::npos) << refused.output;
    CommandResult forced = RunCommand("ntfsinfo -f -m " + ShellQuote(path));
    EXPECT_NE(forced.output.find("Volume Flags: 0x0001"), std::string::npos) << forced.output;
}

}  // namespace
}  // namespace volkit::test
