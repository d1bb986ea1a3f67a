// How formatting fails: refused geometries and labels, failing device
// callbacks, and the one failure that only marks the new volume for checking.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

namespace volcore::test {
namespace {

constexpr uint64_t MiB = 1ull << 20;

// Formats `memory` and returns the failure line ("" when it succeeded).
std::string FormatFailure(MemoryDevice& memory, volkit::api::NtfsFormatOptions options) {
    LogCapture log;
    bool made = volkit::api::NtfsFormatVolume(memory.Api(), options);
    EXPECT_EQ(made, log.Errors().empty());
    return made ? "" : log.Errors().back();
}

TEST(FormatFailure, RefusalsComeBeforeAnyWrite) {
    const std::wstring longLabel(129, L'x');
    struct Case {
        uint64_t size;
        uint32_t clusterSize;
        const wchar_t* label;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {MiB, 0, nullptr, "Device of 1048576 bytes is too small: NTFS needs at least 1049088"},
        {4 * MiB, 1000, nullptr, "Invalid cluster size: 1000"},
        {4 * MiB, 256, nullptr, "Invalid cluster size: 256"},
        {4 * MiB, 4 * MiB, nullptr, "Invalid cluster size: 4194304"},
        {4 * MiB, 0, longLabel.c_str(), "Volume label is too long: 129 units (at most 128)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        MemoryDevice memory(std::vector<uint8_t>(c.size));
        std::string line = FormatFailure(memory, {true, c.clusterSize, c.label, 0});
        EXPECT_EQ(line.rfind("Failed to format NTFS volume: " + std::string(c.reason), 0), 0u) << line;
        EXPECT_EQ(memory.writeCount, 0u);
    }
    MemoryDevice memory(std::vector<uint8_t>(4 * MiB));
    memory.failGetSize = true;
    EXPECT_EQ(FormatFailure(memory, {}), "Failed to format NTFS volume: Device size query failed");
    EXPECT_EQ(memory.writeCount, 0u);
    // 64 KiB clusters leave 16 clusters on 1 MiB: too few for the system files
    // (mkntfs refuses this too).
    MemoryDevice tiny(std::vector<uint8_t>(MiB + 512));
    EXPECT_NE(FormatFailure(tiny, {true, 65536, nullptr, 0}).find("too small for its system files"), std::string::npos);
}

// A cluster that no system structure uses on 16 MiB: only the zero fill of a
// full format touches it. The MFT records are written in every mode.
TEST(FormatFailure, FailingWritesFailTheFormatAndOnlyAFullOneZeroes) {
    const uint64_t idleCluster = 12 * MiB, mftRecord5 = 16384 + 5 * 1024, nowhere = 32 * MiB;
    for (auto [failAt, quick, fails] : {std::tuple{idleCluster, false, true}, std::tuple{idleCluster, true, false},
                                        std::tuple{mftRecord5, true, true}, std::tuple{nowhere, false, false}}) {
        SCOPED_TRACE(failAt);
        MemoryDevice memory(std::vector<uint8_t>(16 * MiB, 0xAB));
        memory.failWrite = [at = failAt](uint64_t offset, uint32_t length) {
            return offset <= at && at < offset + length;
        };
        std::string line = FormatFailure(memory, {quick, 0, nullptr, 0});
        EXPECT_EQ(line.find("Failed to format NTFS volume: Device write failed (offset"), fails ? 0 : std::string::npos)
            << line;
        const uint8_t idleAfter = memory.Bytes()[idleCluster];
        EXPECT_TRUE(fails || idleAfter == (quick ? 0xAB : 0)) << int{idleAfter};
    }
}

TEST(FormatFailure, LostBackupBootSectorOnlyMarksTheVolumeDirty) {
    if (!HaveProgram("ntfsinfo")) GTEST_SKIP() << "ntfsinfo is not installed";
    MemoryDevice memory(std::vector<uint8_t>(8 * MiB));
    memory.failWrite = [](uint64_t offset, uint32_t) { return offset >= 8 * MiB - 512; };
    ASSERT_EQ(FormatFailure(memory, {}), "");
    EXPECT_EQ(std::vector<uint8_t>(memory.Bytes().end() - 512, memory.Bytes().end()), std::vector<uint8_t>(512, 0));
    TempDir temp;
    const std::string path = temp.File("dirty.img");
    memory.SaveToFile(path);
    CommandResult refused = RunCommand("ntfsinfo -m " + ShellQuote(path));
    EXPECT_NE(refused.output.find("scheduled for check"), std::string::npos) << refused.output;
    CommandResult forced = RunCommand("ntfsinfo -f -m " + ShellQuote(path));
    EXPECT_NE(forced.output.find("Volume Flags: 0x0001"), std::string::npos) << forced.output;
}

}  // namespace
}  // namespace volcore::test
