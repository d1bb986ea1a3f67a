// Whole volumes written by the formatter, checked by the engine, by the ntfs-3g
// tools and The Sleuth Kit, and against mkntfs on the same device size; with
// the time stamp and serial number fixed, the smaller ones are pinned whole by
// a checksum of the accepted bytes, so that a change of any byte must be meant.
//
// Known differences from mkntfs, none of which the checkers mind: records are
// stamped with update sequence number 1 (mkntfs: 2); every record carries the
// 72-byte $STANDARD_INFORMATION (mkntfs writes the 48-byte form where the
// security id is 0); the root's $FILE_NAME says 0x10000026 (mkntfs:
// 0x10000006); attribute instances follow the record order; free records hold
// their own record number.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/Bytes.h"
#include "base/IoDevice.h"
#include "format/Formatter.h"
#include "support/MemoryDevice.h"
#include "support/Images.h"
#include "support/VolumeCheck.h"
#include "disk/BootSector.h"

namespace volcore::test {
namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;

struct VolumeCase {
    const char* name;
    uint64_t size;
    uint32_t clusterSize;  // 0: automatic
    bool quick;
    uint64_t checksum;  // FNV-1a of the whole image; 0 for images too large to hash
};

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001B3ull;
    return hash;
}

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t size) {
    FileDevice file(path);
    std::vector<uint8_t> bytes(size);
    EXPECT_TRUE(file.Api().read(offset, bytes.data(), static_cast<uint32_t>(size), file.Api().context));
    return bytes;
}

SBootGeometry ReadBoot(const std::string& path) { return ParseBootSector(ReadAt(path, 0, kBootSectorSize)); }

// The data size of $LogFile as ntfsinfo reports it.
uint64_t LogFileSize(const std::string& image) {
    CommandResult info = RunCommand("ntfsinfo -i 2 " + ShellQuote(image));
    size_t data = info.output.find("Dumping attribute $DATA");
    size_t size = info.output.find("Data size:", data == std::string::npos ? info.output.size() : data);
    if (info.exitCode != 0 || size == std::string::npos) return 0;
    return std::stoull(info.output.substr(size + 10));
}

std::string CreateImage(const TempDir& temp, const char* name, uint64_t size) {
    const std::string path = temp.File(name);
    WriteFileBytes(path, {});
    std::filesystem::resize_file(path, size);
    return path;
}

class FormatVolume : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(FormatVolume, MatchesMkntfsAndEveryCheckerAcceptsIt) {
    for (const char* tool : {"mkntfs", "ntfsinfo", "ntfsfix", "ntfscp", "ntfscat", "ntfs-3g.probe", "fsstat", "fls"})
        if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
    const VolumeCase& c = GetParam();
    TempDir temp;
    const std::string image = CreateImage(temp, "ours.img", c.size), quoted = ShellQuote(image);
    {
        FileDevice device(image);
        CIoDeviceImpl target(device.Api());
        format::FormatVolumeAt({c.quick, c.clusterSize, u"Volkit", 0}, target, 0x01D9000012345678ull, 0x1122334455667788ull);
        const CheckOutcome checked = CheckVolume(device.Api());
        EXPECT_TRUE(checked.Clean()) << checked.Describe();
    }
    if (c.checksum != 0) {
        EXPECT_EQ(Fnv1a(ReadFileBytes(image)), c.checksum) << "the formatter's output changed";
    }
    const std::vector<uint8_t> boot = ReadAt(image, 0, kBootSectorSize);
    EXPECT_EQ(ReadAt(image, c.size - kBootSectorSize, kBootSectorSize), boot) << "backup boot sector";
    EXPECT_EQ(CByteReader(boot).U64(BootField::TotalSectors), c.size / 512 - 1);

    // The same geometry as mkntfs: the mirror at the middle, the journal of
    // the same size after it and all 0xFF, the mirror a copy of the first records.
    const std::string reference = CreateImage(temp, "mkntfs.img", c.size);
    const std::string cluster = c.clusterSize ? " -c " + std::to_string(c.clusterSize) : "";
    ASSERT_EQ(RunCommand("mkntfs -F -Q -q" + cluster + " " + ShellQuote(reference)).exitCode, 0);
    const SBootGeometry ours = ReadBoot(image), theirs = ReadBoot(reference);
    EXPECT_EQ(std::tie(ours.clusterSize, ours.mftLcn, ours.mftMirrorLcn),
              std::tie(theirs.clusterSize, theirs.mftLcn, theirs.mftMirrorLcn));
    EXPECT_EQ(ours.mftMirrorLcn, (c.size / 512 - 1) * 512 / 2 / ours.clusterSize);
    EXPECT_GT(LogFileSize(image), 0u);
    EXPECT_EQ(LogFileSize(image), LogFileSize(reference));
    const uint64_t journal = (ours.mftMirrorLcn + (4096 + ours.clusterSize - 1) / ours.clusterSize) * ours.clusterSize;
    EXPECT_EQ(ReadAt(image, journal, 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(ReadAt(image, ours.mftMirrorLcn * ours.clusterSize, 4096), ReadAt(image, ours.mftLcn * ours.clusterSize, 4096));

    CommandResult info = RunCommand("ntfsinfo -m " + quoted);
    for (const char* line : {"Volume Version: 3.1", "Volume Flags: 0x0000", "Volume Name: Volkit"})
        EXPECT_NE(info.output.find(line), std::string::npos) << info.output;
    EXPECT_NE(RunCommand("ntfsfix -n " + quoted).output.find("processed successfully"), std::string::npos);
    for (const char* command : {"ntfs-3g.probe --readwrite ", "fsstat "}) EXPECT_EQ(RunCommand(command + quoted).exitCode, 0) << command;
    CommandResult listing = RunCommand("fls -r " + quoted);
    EXPECT_EQ(listing.exitCode, 0) << listing.output;
    for (const char* name : {"$MFTMirr", "$LogFile", "$Secure:$SDS", "$Secure:$SII", "$UpCase:$Info", "$Quota:$Q",
                             "$ObjId:$O", "$Reparse:$R", "$BadClus:$Bad"})
        EXPECT_NE(listing.output.find(name), std::string::npos) << name << "\n" << listing.output;

    // A round of file work through libntfs-3g, and the volume is still clean.
    // The smallest volume has only a few dozen clusters left.
    const std::vector<uint8_t> payload = Pattern(c.size < 8 * MiB ? 20000 : 300000, 1);
    WriteFileBytes(temp.File("payload.bin"), payload);
    ASSERT_EQ(RunCommand("ntfscp " + quoted + " " + ShellQuote(temp.File("payload.bin")) + " /payload.bin").exitCode, 0);
    ASSERT_EQ(RunCommand("ntfscat " + quoted + " /payload.bin > " + ShellQuote(temp.File("back.bin"))).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(temp.File("back.bin")), payload);
    CommandResult fix = RunCommand("ntfsfix -n " + quoted);
    EXPECT_EQ(fix.exitCode, 0) << fix.output;
}

INSTANTIATE_TEST_SUITE_P(
    FormatSizes, FormatVolume,
    ::testing::Values(VolumeCase{"Smallest_1MiB_plus_512_full", MiB + 512, 0, false, 0xC5B499F7F2D486A0ull},
                      VolumeCase{"Small_5MiB_8KiB", 5 * MiB, 8192, true, 0xE67A801A2816DB96ull},
                      VolumeCase{"Small_16MiB_2KiB_full", 16 * MiB, 2048, false, 0x8191F039779D2C20ull},
                      VolumeCase{"Odd_37MiB_plus_5632_1KiB", 37 * MiB + 5632, 1024, true, 0x7805B1263947A0FFull},
                      VolumeCase{"Medium_100MiB_auto", 100 * MiB, 0, true, 0xE23B3A9A25851FB7ull},
                      VolumeCase{"Medium_100MiB_512", 100 * MiB, 512, true, 0x21C4999D369D92B7ull},
                      VolumeCase{"Medium_100MiB_64KiB", 100 * MiB, 65536, true, 0x76F258EA80EAF5F3ull},
                      VolumeCase{"Large_1GiB_auto", GiB, 0, true, 0},
                      VolumeCase{"Large_1GiB_8KiB", GiB, 8192, true, 0},
                      VolumeCase{"Huge_20GiB_auto", 20 * GiB, 0, true, 0}),
    [](const ::testing::TestParamInfo<VolumeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace volcore::test
