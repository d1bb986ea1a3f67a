// Whole-disk images: the tool finds the volume through an MBR or a GPT that
// the test writes byte by byte, and never writes outside the partition.
#include <gtest/gtest.h>

#include <cstring>

#include "base/Bytes.h"
#include "support/Images.h"
#include "disk/BootSector.h"
#include "tools/ToolRunner.h"

using namespace volcore::test;
using volcore::CByteWriter;

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kVolumeBytes = 16ull << 20;
constexpr uint64_t kVolumeSectors = kVolumeBytes / kSector;

void PutMbrEntry(std::vector<uint8_t>& disk, int index, uint8_t type, uint32_t first, uint32_t count) {
    const CByteWriter entry(disk.data() + 446 + 16 * index, 16);
    entry.U8(4, type);
    entry.U32(8, first);
    entry.U32(12, count);
    CByteWriter(disk).U16(510, 0xAA55);
}

void PutGptEntry(std::vector<uint8_t>& disk, int index, uint64_t first, uint64_t last) {
    static const uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                           0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
    const CByteWriter entry(disk.data() + 2 * kSector + 128 * index, 128);
    entry.CopyFrom(0, kBasicData, 16);
    entry.U8(16, static_cast<uint8_t>(index + 1));  // a unique partition GUID is enough for us
    entry.U64(32, first);
    entry.U64(40, last);
}

// A GPT header at LBA 1 with 128 entries of 128 bytes at LBA 2.
void PutGptHeader(std::vector<uint8_t>& disk, uint32_t entryCount = 128) {
    const uint64_t sectors = disk.size() / kSector;
    PutMbrEntry(disk, 0, 0xEE, 1, static_cast<uint32_t>(sectors - 1));
    const CByteWriter header(disk.data() + kSector, kSector);
    header.CopyFrom(0, "EFI PART", 8);
    for (const auto& [at, value, width] : {std::tuple<size_t, uint64_t, size_t>{8, 0x00010000, 4}, {12, 92, 4}, {24, 1, 8},
                                           {32, sectors - 1, 8}, {40, 34, 8}, {48, sectors - 34, 8}, {72, 2, 8},
                                           {80, entryCount, 4}, {84, 128, 4}})
        header.PutLe(at, value, width);
}

class ToolWholeDisk : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveProgram("mkntfs") || !HaveProgram("ntfscat")) GTEST_SKIP() << "ntfs-3g tools missing";
        ImageOptions options;
        options.size = kVolumeBytes;
        MakeNtfsImage(dir.File("volume.img"), options);
        volume = ReadFileBytes(dir.File("volume.img"));
    }

    // A disk of `sectors` with the NTFS volume copied in at `firstSector`.
    std::vector<uint8_t> DiskWithVolumeAt(uint64_t firstSector, uint64_t sectors) {
        std::vector<uint8_t> disk(sectors * kSector, 0xE5);
        std::memset(disk.data(), 0, 34 * kSector);
        std::copy(volume.begin(), volume.end(), disk.begin() + static_cast<std::ptrdiff_t>(firstSector * kSector));
        return disk;
    }

    // Puts a file into the partition with the tool, then reads it back with
    // ntfscat from the partition's bytes; checks nothing outside changed.
    void ExpectPutLandsInsidePartition(const std::string& selection, uint64_t firstSector) {
        const std::vector<uint8_t> before = ReadFileBytes(disk);
        WriteFileBytes(dir.File("payload"), std::vector<uint8_t>(100'000, 0x42));
        ToolResult put = RunTool("put " + selection + " " + Q(disk) + " " + Q(dir.File("payload")) + " /payload");
        ASSERT_EQ(put.exitCode, 0) << put.err;
        const std::vector<uint8_t> after = ReadFileBytes(disk);
        const auto start = static_cast<std::ptrdiff_t>(firstSector * kSector);
        const auto end = start + static_cast<std::ptrdiff_t>(kVolumeBytes);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + start, after.begin()));
        EXPECT_TRUE(std::equal(before.begin() + end, before.end(), after.begin() + end));
        WriteFileBytes(dir.File("extracted.img"), std::vector<uint8_t>(after.begin() + start, after.begin() + end));
        CommandResult cat = RunCommand("ntfscat " + Q(dir.File("extracted.img")) + " /payload");
        EXPECT_EQ(cat.output, std::string(100'000, 0x42));
    }

    TempDir dir;
    std::string disk = dir.File("disk.img");
    std::vector<uint8_t> volume;
};

}  // namespace

TEST_F(ToolWholeDisk, MbrPrimaryAndLogicalPartitionsAndOffsetsReachTheirVolumes) {
    // Partition 1 at 2048, then an extended partition 2 whose first logical
    // partition (5) starts 2048 sectors into it: two copies of the volume.
    const uint64_t extended = 2048 + kVolumeSectors, logical = extended + 2048;
    std::vector<uint8_t> image = DiskWithVolumeAt(2048, logical + kVolumeSectors + 2048);
    std::copy(volume.begin(), volume.end(), image.begin() + static_cast<std::ptrdiff_t>(logical * kSector));
    PutMbrEntry(image, 0, 0x07, 2048, static_cast<uint32_t>(kVolumeSectors));
    PutMbrEntry(image, 1, 0x0F, static_cast<uint32_t>(extended), static_cast<uint32_t>(2048 + kVolumeSectors + 1024));
    std::vector<uint8_t> ebr(kSector);
    PutMbrEntry(ebr, 0, 0x07, 2048, static_cast<uint32_t>(kVolumeSectors));
    PutMbrEntry(ebr, 1, 0x05, 0, 1);  // a link back to itself ends the chain
    std::copy(ebr.begin() + 446, ebr.end(), image.begin() + static_cast<std::ptrdiff_t>(extended * kSector + 446));
    WriteFileBytes(disk, image);

    ToolResult info = RunTool("info --partition 1 " + Q(disk));
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("volume offset:    1048576\n"), std::string::npos) << info.out;
    const std::string logicalOffset = "volume offset:    " + std::to_string(logical * kSector) + "\n";
    EXPECT_NE(RunTool("info --partition 5 " + Q(disk)).out.find(logicalOffset), std::string::npos);
    EXPECT_EQ(RunTool("ls --offset 1M " + Q(disk)).out, RunTool("ls " + Q(disk) + " --partition=1").out);
    // The put into the logical partition leaves the primary one's volume alone.
    ExpectPutLandsInsidePartition("--partition 5", logical);

    ExpectRows({{"ls --partition 6 IMG", 1, "the MBR has no partition 6"},
                {"ls --partition 3 IMG", 1, "MBR partition 3 is not in use"},
                {"ls --partition 2 IMG", 1, "is an extended partition"},
                {"mkfs --partition 5 IMG", 1, "already holds an NTFS file system"}},
               disk);
}

TEST_F(ToolWholeDisk, GptPartitionIsFoundByItsNumberAndMkfsRecordsItsStart) {
    std::vector<uint8_t> image = DiskWithVolumeAt(4096, 4096 + kVolumeSectors + 2048);
    PutGptHeader(image);
    PutGptEntry(image, 0, 2048, 4095);  // a first partition with no file system
    PutGptEntry(image, 1, 4096, 4096 + kVolumeSectors - 1);
    WriteFileBytes(disk, image);

    ExpectRows({{"ls --partition 1 IMG", 1, ""}, {"ls --partition 3 IMG", 1, "GPT partition 3 is not in use"}}, disk);
    ASSERT_EQ(RunTool("mkfs --force --partition 2 " + Q(disk)).exitCode, 0);
    const std::vector<uint8_t> after = ReadFileBytes(disk);
    const size_t boot = 4096 * kSector, backup = boot + (kVolumeSectors - 1) * kSector;
    for (size_t sector : {boot, backup})
        EXPECT_EQ(volcore::CByteReader(after).U32(sector + volcore::BootField::HiddenSectors), 4096u) << sector;
    ExpectPutLandsInsidePartition("--partition 2", 4096);
}

TEST_F(ToolWholeDisk, HostilePartitionTablesAreRefused) {
    const uint64_t sectors = 4096 + kVolumeSectors;
    struct Case {
        const char* expected;
        void (*damage)(std::vector<uint8_t>&);
    } cases[] = {
        {"does not lie inside the image",
         [](std::vector<uint8_t>& d) { PutMbrEntry(d, 0, 0x07, 4096, 0xFFFFFFF0u); }},
        {"does not lie inside the image", [](std::vector<uint8_t>& d) { PutMbrEntry(d, 0, 0x07, 0, 100); }},
        {"the GPT header is damaged", [](std::vector<uint8_t>& d) { PutGptHeader(d, 0xFFFFFFFFu); }},
        {"GPT partition 1 ends before it starts",
         [](std::vector<uint8_t>& d) { PutGptHeader(d), PutGptEntry(d, 0, 5000, 4096); }},
        {"does not lie inside the image",
         [](std::vector<uint8_t>& d) { PutGptHeader(d), PutGptEntry(d, 0, 4096, ~0ull - 1); }},
        {"no GPT header", [](std::vector<uint8_t>& d) { PutMbrEntry(d, 0, 0xEE, 1, 100); }},
        {"no partition table", [](std::vector<uint8_t>&) {}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = DiskWithVolumeAt(4096, sectors);
        c.damage(image);
        WriteFileBytes(disk, image);
        ExpectRows({{"ls --partition 1 IMG", 1, c.expected}}, disk);
    }
}
