// Size decisions and fixed contents of the formatter, checked without a device.
#include <gtest/gtest.h>

#include <string>

#include "api/Bytes.h"
#include "format/FormatGeometry.h"
#include "format/FormatClusterMap.h"
#include "format/FormatSecurity.h"
#include "format/FormatTables.h"
#include "support/Images.h"
#include "volume/BootSector.h"

namespace volcore::format {
namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;

bool Refused(uint64_t deviceSize, uint32_t clusterSize) {
    try {
        DecideGeometry(deviceSize, clusterSize);
        return false;
    } catch (const CException&) {
        return true;
    }
}

TEST(FormatGeometry, SmallestVolumeAndRefusedSizes) {
    SFormatGeometry smallest = DecideGeometry(MiB + 512, 0);
    EXPECT_EQ(smallest.volumeSize, MiB);
    EXPECT_EQ(smallest.sectorCount, 2048u);
    EXPECT_EQ(smallest.logSize, 256u * 1024);

    EXPECT_TRUE(Refused(MiB, 0));
    EXPECT_TRUE(Refused(0, 0));
    EXPECT_TRUE(Refused(100 * MiB, 1000));
    EXPECT_TRUE(Refused(100 * MiB, 256));
    EXPECT_TRUE(Refused(100 * MiB, 131072));
    // 64 KiB clusters leave no room for the system files' data on 1 MiB, but
    // the geometry itself is valid.
    EXPECT_FALSE(Refused(100 * MiB, 65536));
    EXPECT_FALSE(Refused(100 * MiB, 512));
}

TEST(FormatGeometry, AutomaticClusterSizeKeepsClusterCountIn32Bits) {
    EXPECT_EQ(DecideGeometry(100 * GiB, 0).clusterSize, 4096u);
    EXPECT_EQ(DecideGeometry(16 * 1024 * GiB - 512, 0).clusterSize, 4096u);
    EXPECT_EQ(DecideGeometry(20 * 1024 * GiB, 0).clusterSize, 8192u);
    EXPECT_EQ(DecideGeometry(100 * 1024 * GiB, 0).clusterSize, 32768u);
    EXPECT_TRUE(Refused(130 * 1024 * GiB, 0));  // would need 64 KiB
    // A given cluster size that would need more than 2^32 clusters is refused.
    EXPECT_TRUE(Refused(20 * 1024 * GiB, 512));
}

TEST(FormatGeometry, JournalSizeAndFixedPositions) {
    SFormatGeometry medium = DecideGeometry(100 * MiB, 0);
    EXPECT_EQ(medium.logSize, 2 * MiB);
    SFormatGeometry large = DecideGeometry(GiB, 0);
    EXPECT_EQ(large.logSize, large.clusterCount * 4096 / 200 / 4096 * 4096);
    EXPECT_EQ(large.logSize, 5365760u);
    EXPECT_EQ(DecideGeometry(20 * GiB, 0).logSize, 64 * MiB);
    EXPECT_EQ(DecideGeometry(3 * MiB, 0).logSize, 512u * 1024);

    for (uint32_t clusterSize : {512u, 1024u, 4096u, 65536u}) {
        SFormatGeometry g = DecideGeometry(100 * MiB, clusterSize);
        SCOPED_TRACE(clusterSize);
        // The mirror starts at the cluster holding the volume's middle byte.
        uint64_t middle = g.sectorCount * 512 / 2;
        EXPECT_LE(g.mirrorLcn * clusterSize, middle);
        EXPECT_GT((g.mirrorLcn + 1) * clusterSize, middle);
        EXPECT_EQ(g.logLcn, g.mirrorLcn + g.mirrorClusters);
        EXPECT_EQ(g.mftBitmapLcn * clusterSize, std::max<uint64_t>(8192, clusterSize));
        EXPECT_GE(g.mftLcn * clusterSize, 16384u);
        EXPECT_GT(g.mftLcn, g.mftBitmapLcn);
        EXPECT_EQ(g.mftSize, std::max<uint64_t>(27 * 1024, clusterSize));
        EXPECT_EQ(g.MftBitmapBytes() % 8, 0u);
        EXPECT_GE(g.ClusterBitmapBytes() * 8, g.clusterCount);
        EXPECT_EQ(g.logSize % clusterSize, 0u);
    }
}

TEST(FormatTables, BootAreaCarriesGeometryAndReachableCode) {
    SFormatGeometry g = DecideGeometry(100 * MiB, 65536);
    std::vector<uint8_t> area = BuildBootArea(g, 0x0123456789ABCDEFull, 63);
    ASSERT_EQ(area.size(), 8192u);
    SBootGeometry parsed = ParseBootSector(std::span<const uint8_t>(area).first(512));
    EXPECT_EQ(parsed.clusterSize, 65536u);
    EXPECT_EQ(parsed.mftRecordSize, 1024u);
    EXPECT_EQ(parsed.indxRecordSize, 4096u);
    EXPECT_EQ(parsed.mftLcn, g.mftLcn);
    EXPECT_EQ(parsed.mftMirrorLcn, g.mirrorLcn);
    CByteReader boot(area);
    EXPECT_EQ(boot.U64(BootField::TotalSectors), g.sectorCount);
    EXPECT_EQ(boot.U64(BootField::SerialNumber), 0x0123456789ABCDEFull);
    EXPECT_EQ(boot.U32(BootField::HiddenSectors), 63u);
    EXPECT_EQ(BuildBootArea(g, 0, 1ull << 32)[BootField::HiddenSectors + 3], 0) << "past 32 bits it is left out";
    EXPECT_EQ(boot.U16(BootField::EndMarker), 0xAA55);

    // The hand-assembled code addresses each message through
    // `mov si, 0x7C00 + offset`, and each message ends in CR LF NUL.
    std::string sector(area.begin(), area.begin() + 512);
    EXPECT_EQ(uint8_t(sector[BootField::BootCode]), 0xFA) << "cli";
    for (std::string message : {"BOOTMGR is missing", "A disk read error occurred"}) {
        size_t at = sector.find(message);
        ASSERT_NE(at, std::string::npos) << message;
        std::string load = {'\xBE', static_cast<char>((0x7C00 + at) & 0xFF), static_cast<char>((0x7C00 + at) >> 8)};
        EXPECT_NE(sector.find(load, BootField::BootCode), std::string::npos) << message;
        EXPECT_EQ(sector.substr(at + message.size(), 3), std::string("\r\n", 3)) << message;
    }
}

TEST(FormatTables, SecurityDescriptorsAndUpCase) {
    // The stored hashes are those of the descriptors really written.
    std::vector<uint8_t> sds = BuildSdsStream();
    ASSERT_EQ(sds.size(), 0x400FCu);
    for (const SSecurityId& id : SharedSecurityIds()) {
        SCOPED_TRACE(id.id);
        EXPECT_EQ(id.length, 124u);
        std::vector<uint8_t> descriptor(sds.begin() + id.offset + 20, sds.begin() + id.offset + id.length);
        EXPECT_EQ(SecurityDescriptorHash(descriptor), id.hash);
        EXPECT_TRUE(std::equal(sds.begin() + id.offset, sds.begin() + id.offset + id.length,
                               sds.begin() + 0x40000 + id.offset));
    }
    EXPECT_EQ(SystemFileDescriptor(true).size(), 100u);
    EXPECT_EQ(RootDirectoryDescriptor().size(), 0x102Cu);
    const std::vector<uint8_t> rootDescriptor = RootDirectoryDescriptor();
    CByteReader root(rootDescriptor);
    EXPECT_EQ(root.U32(4), 0x1014u);  // owner after the 0x1000-byte DACL
    EXPECT_EQ(root.U16(0x14 + 4), 8);  // ACEs

    std::vector<uint8_t> table = BuildUpCaseTable();
    ASSERT_EQ(table.size(), 131072u);
    CByteReader units(table);
    EXPECT_EQ(units.U16('a' * 2), 'A');
    EXPECT_EQ(units.U16(0x3B1 * 2), 0x391);  // Greek alpha
    // The value mkntfs stores for the same table, and the table itself.
    EXPECT_EQ(UpCaseCrc64(table), 0xDADC7E776B1B690Cull);
    if (volkit::test::HaveProgram("mkntfs") && volkit::test::HaveProgram("ntfscat")) {
        volkit::test::TempDir temp;
        volkit::test::MakeNtfsImage(temp.File("mkntfs.img"));
        std::string theirs = temp.File("upcase.bin");
        std::string command = "ntfscat " + temp.File("mkntfs.img") + " '$UpCase' > " + theirs;
        ASSERT_EQ(volkit::test::RunCommand(command).exitCode, 0);
        EXPECT_EQ(table, volkit::test::ReadFileBytes(theirs));
    }
}

TEST(FormatClusterMap, AllocatesAroundTakenRangesAndStreamsItsBitmap) {
    CClusterMap map(100);
    map.Reserve(0, 3);
    map.Reserve(10, 6);
    EXPECT_THROW(map.Reserve(15, 2), CException);
    EXPECT_THROW(map.Reserve(99, 2), CException);
    RunMap runs = map.Allocate(12, 8);  // 8-9, 16-25
    EXPECT_EQ(runs, (RunMap{{VCN{0}, {8, 2}}, {VCN{2}, {16, 10}}}));
    EXPECT_EQ(map.Allocate(75, 90), (RunMap{{VCN{0}, {90, 10}}, {VCN{10}, {3, 5}}, {VCN{15}, {26, 60}}}));
    EXPECT_THROW(map.Allocate(5, 0), CException);  // 86-89 are all that is left
    std::vector<uint8_t> whole(16), pieces(16);
    CClusterMap sparse(100);
    sparse.Reserve(5, 20);
    sparse.Reserve(63, 2);
    sparse.FillBitmap(0, whole);
    for (size_t at = 0; at < pieces.size(); at += 3)
        sparse.FillBitmap(at, std::span<uint8_t>(pieces).subspan(at, std::min<size_t>(3, pieces.size() - at)));
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(whole,
              (std::vector<uint8_t>{0xE0, 0xFF, 0xFF, 0x01, 0, 0, 0, 0x80, 0x01, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace volcore::format
