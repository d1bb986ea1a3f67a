// Whole volumes written by the formatter, checked by the engine, by the ntfs-3g
// tools and The Sleuth Kit, and against mkntfs on the same device size.
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

#include "api/Bytes.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

namespace volkit::test {
namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;

struct VolumeCase {
    const char* name;
    uint64_t size;
    uint32_t clusterSize;  // 0: automatic
    bool quick;
};

std::ostream& operator<<(std::ostream& out, const VolumeCase& c) { return out << c.name; }

struct BootFields {
    uint32_t clusterSize = 0;
    uint64_t mftLcn = 0;
    uint64_t mirrorLcn = 0;
    uint64_t sectorCount = 0;
};

BootFields ReadBoot(const std::vector<uint8_t>& sector) {
    volcore::CByteReader boot(sector);
    return {uint32_t{boot.U16(11)} * boot.U8(13), boot.U64(48), boot.U64(56), boot.U64(40)};
}

std::vector<uint8_t> ReadAt(const std::string& path, uint64_t offset, size_t size) {
    FileDevice file(path);
    std::vector<uint8_t> bytes(size);
    EXPECT_TRUE(file.Api().read(offset, bytes.data(), static_cast<uint32_t>(size), file.Api().context));
    return bytes;
}

void CreateImage(const std::string& path, uint64_t size) {
    WriteFileBytes(path, {});
    std::filesystem::resize_file(path, size);
}

// The data size of $LogFile as ntfsinfo reports it.
uint64_t LogFileSize(const std::string& image) {
    CommandResult info = RunCommand("ntfsinfo -i 2 " + ShellQuote(image));
    size_t data = info.output.find("Dumping attribute $DATA");
    size_t size = info.output.find("Data size:", data == std::string::npos ? info.output.size() : data);
    if (info.exitCode != 0 || size == std::string::npos) return 0;
    return std::stoull(info.output.substr(size + 10));
}

std::string MakeReference(const TempDir& temp, const VolumeCase& c) {
    std::string path = temp.File("mkntfs.img");
    CreateImage(path, c.size);
    std::string cluster = c.clusterSize ? " -c " + std::to_string(c.clusterSize) : "";
    CommandResult made = RunCommand("mkntfs -F -Q -q" + cluster + " " + ShellQuote(path));
    EXPECT_EQ(made.exitCode, 0) << made.output;
    return path;
}

class FormatVolume : public ::testing::TestWithParam<VolumeCase> {
protected:
    void SetUp() override {
        for (const char* tool : {"mkntfs", "ntfsinfo", "ntfsfix", "ntfscp", "ntfscat", "ntfs-3g.probe", "fsstat", "fls"})
            if (!HaveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
        image = temp.File("ours.img");
    }

    void Format() {
        const VolumeCase& c = GetParam();
        CreateImage(image, c.size);
        FileDevice device(image);
        LogCapture log;
        ASSERT_TRUE(api::NtfsFormatVolume(device.Api(), {c.quick, c.clusterSize, L"Volkit", 0}));
        EXPECT_TRUE(log.Lines().empty());
    }

    TempDir temp;
    std::string image;
};

TEST_P(FormatVolume, MatchesLayoutRulesAndMkntfs) {
    Format();
    const VolumeCase& c = GetParam();
    BootFields ours = ReadBoot(ReadAt(image, 0, 512));
    EXPECT_EQ(ReadAt(image, c.size - 512, 512), ReadAt(image, 0, 512)) << "backup boot sector";
    EXPECT_EQ(ours.sectorCount, c.size / 512 - 1);
    uint64_t middle = ours.sectorCount * 512 / 2;
    EXPECT_EQ(ours.mirrorLcn, middle / ours.clusterSize);

    std::string reference = MakeReference(temp, c);
    BootFields theirs = ReadBoot(ReadAt(reference, 0, 512));
    EXPECT_EQ(ours.clusterSize, theirs.clusterSize);
    EXPECT_EQ(ours.mftLcn, theirs.mftLcn);
    EXPECT_EQ(ours.mirrorLcn, theirs.mirrorLcn);
    uint64_t logSize = LogFileSize(image);
    EXPECT_GT(logSize, 0u);
    EXPECT_EQ(logSize, LogFileSize(reference));
    // The journal follows the mirror and is all 0xFF.
    uint64_t mirrorClusters = (4096 + ours.clusterSize - 1) / ours.clusterSize;
    std::vector<uint8_t> journalStart = ReadAt(image, (ours.mirrorLcn + mirrorClusters) * ours.clusterSize, 4096);
    EXPECT_EQ(journalStart, std::vector<uint8_t>(4096, 0xFF));
    // The mirror holds the first MFT records byte for byte.
    EXPECT_EQ(ReadAt(image, ours.mirrorLcn * ours.clusterSize, 4096), ReadAt(image, ours.mftLcn * ours.clusterSize, 4096));
}

TEST_P(FormatVolume, IndependentCheckersAcceptIt) {
    Format();
    const std::string quoted = ShellQuote(image);
    CommandResult info = RunCommand("ntfsinfo -m " + quoted);
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("Volume Version: 3.1"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Volume Flags: 0x0000"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Volume Name: Volkit"), std::string::npos) << info.output;
    CommandResult fix = RunCommand("ntfsfix -n " + quoted);
    EXPECT_EQ(fix.exitCode, 0) << fix.output;
    EXPECT_NE(fix.output.find("processed successfully"), std::string::npos) << fix.output;
    CommandResult probe = RunCommand("ntfs-3g.probe --readwrite " + quoted);
    EXPECT_EQ(probe.exitCode, 0) << probe.output;
    CommandResult stat = RunCommand("fsstat " + quoted);
    EXPECT_EQ(stat.exitCode, 0) << stat.output;
    CommandResult listing = RunCommand("fls -r " + quoted);
    EXPECT_EQ(listing.exitCode, 0) << listing.output;
    for (const char* name : {"$MFTMirr", "$LogFile", "$Secure:$SDS", "$Secure:$SII", "$UpCase:$Info", "$Quota:$Q",
                             "$ObjId:$O", "$Reparse:$R", "$BadClus:$Bad"})
        EXPECT_NE(listing.output.find(name), std::string::npos) << name << "\n" << listing.output;

    // A round of file work through libntfs-3g, and the volume is still clean.
    std::string source = temp.File("payload.bin");
    // The smallest volume has only a few dozen clusters left.
    std::vector<uint8_t> payload(GetParam().size < 8 * MiB ? 20000 : 300000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + i / 251);
    WriteFileBytes(source, payload);
    CommandResult copy = RunCommand("ntfscp " + quoted + " " + ShellQuote(source) + " /payload.bin");
    ASSERT_EQ(copy.exitCode, 0) << copy.output;
    std::string back = temp.File("back.bin");
    CommandResult cat = RunCommand("ntfscat " + quoted + " /payload.bin > " + ShellQuote(back));
    ASSERT_EQ(cat.exitCode, 0) << cat.output;
    EXPECT_EQ(ReadFileBytes(back), payload);
    fix = RunCommand("ntfsfix -n " + quoted);
    EXPECT_EQ(fix.exitCode, 0) << fix.output;
}

TEST_P(FormatVolume, OpensThroughTheEngine) {
    Format();
    FileDevice device(image);
    api::NtfsVolumeHandle volume;
    ASSERT_TRUE(api::NtfsOpenVolume(device.Api(), volume));
    api::NtfsDirHandle root;
    ASSERT_TRUE(api::NtfsOpenDir(L"", root, volume));
    std::vector<std::wstring> names;
    api::NtfsEnumDir(
        root,
        [](const api::NtfsDirEntry& entry, void* out) {
            static_cast<std::vector<std::wstring>*>(out)->push_back(entry.name);
            return true;
        },
        &names);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"$AttrDef", L"$BadClus", L"$Bitmap", L"$Boot", L"$Extend", L"$LogFile",
                                                L"$MFT", L"$MFTMirr", L"$Secure", L"$UpCase", L"$Volume", L"."}));
    EXPECT_TRUE(api::NtfsCloseDir(root));
    EXPECT_TRUE(api::NtfsCloseVolume(volume));
}

INSTANTIATE_TEST_SUITE_P(
    FormatSizes, FormatVolume,
    ::testing::Values(VolumeCase{"Smallest_1MiB_plus_512_full", MiB + 512, 0, false},
                      VolumeCase{"Small_16MiB_2KiB_full", 16 * MiB, 2048, false},
                      VolumeCase{"Medium_100MiB_auto", 100 * MiB, 0, true},
                      VolumeCase{"Medium_100MiB_512", 100 * MiB, 512, true},
                      VolumeCase{"Medium_100MiB_64KiB", 100 * MiB, 65536, true},
                      VolumeCase{"Large_1GiB_auto", GiB, 0, true},
                      VolumeCase{"Large_1GiB_8KiB", GiB, 8192, true},
                      VolumeCase{"Huge_20GiB_auto", 20 * GiB, 0, true}),
    [](const ::testing::TestParamInfo<VolumeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace volkit::test
