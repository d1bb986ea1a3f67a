// Size decisions and fixed contents of the formatter, checked without a device.
#include <gtest/gtest.h>

#include <string>

#include "api/Bytes.h"
#include "format/FormatBootCode.h"
#include "format/FormatGeometry.h"
#include "format/FormatRecord.h"
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
    EXPECT_EQ(EncodeClustersPerRecord(1024, 4096), -10);
    EXPECT_EQ(EncodeClustersPerRecord(4096, 65536), -12);
    EXPECT_EQ(EncodeClustersPerRecord(1024, 512), 2);
    EXPECT_EQ(EncodeClustersPerRecord(4096, 4096), 1);
}

TEST(FormatTables, BootImageLayoutAndCode) {
    const auto& image = BootImage();
    EXPECT_EQ(image.size(), 4136u);
    EXPECT_EQ(image[0], 0xEB);
    EXPECT_EQ(image[1], 0x52);
    EXPECT_EQ(image[2], 0x90);
    EXPECT_EQ(std::string(image.begin() + 3, image.begin() + 11), "NTFS    ");
    EXPECT_EQ(image[510], 0x55);
    EXPECT_EQ(image[511], 0xAA);
    // The short jump lands on the first instruction (cli) of the code, after
    // the parameter block, which the image leaves zero.
    size_t target = 2 + image[1];
    EXPECT_EQ(target, kBootCodeOffset);
    EXPECT_EQ(image[target], 0xFA);
    for (size_t offset = 11; offset < kBootCodeOffset; ++offset) EXPECT_EQ(image[offset], 0) << offset;

    std::string sector(image.begin(), image.begin() + 512);
    for (std::string message : {"BOOTMGR is missing", "A disk read error occurred"}) {
        size_t at = sector.find(message);
        ASSERT_NE(at, std::string::npos) << message;
        // The code addresses each message through `mov si, 0x7C00 + offset`.
        std::string load = {'\xBE', static_cast<char>((0x7C00 + at) & 0xFF), static_cast<char>((0x7C00 + at) >> 8)};
        EXPECT_NE(sector.find(load, kBootCodeOffset), std::string::npos) << message;
        EXPECT_EQ(sector[at + message.size() + 2], '\0');
    }
}

TEST(FormatTables, BootSectorCarriesGeometryAndPassesTheEnginesCheck) {
    SFormatGeometry g = DecideGeometry(100 * MiB, 65536);
    std::vector<uint8_t> area = BuildBootArea(g, 0x0123456789ABCDEFull, 63);
    ASSERT_EQ(area.size(), 8192u);
    volcore::CByteReader boot(area);
    EXPECT_EQ(boot.U16(11), 512);
    EXPECT_EQ(boot.U8(13), 128);
    EXPECT_EQ(boot.U8(21), 0xF8);
    EXPECT_EQ(boot.U64(40), g.sectorCount);
    EXPECT_EQ(boot.U64(48), g.mftLcn);
    EXPECT_EQ(boot.U64(56), g.mirrorLcn);
    EXPECT_EQ(boot.S8(64), -10);
    EXPECT_EQ(boot.S8(68), -12);
    EXPECT_EQ(boot.U64(72), 0x0123456789ABCDEFull);
    EXPECT_EQ(boot.U16(510), 0xAA55);
    EXPECT_EQ(boot.U32(28), 63u);
    EXPECT_EQ(ParseBootSector(std::span<const uint8_t>(area).first(512)).clusterSize, 65536u);
    EXPECT_EQ(BuildBootArea(g, 0, 1ull << 32)[28 + 3], 0) << "hidden sectors past 32 bits are left out";
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
    volcore::CByteReader root(rootDescriptor);
    EXPECT_EQ(root.U32(4), 0x1014u);  // owner after the 0x1000-byte DACL
    EXPECT_EQ(root.U16(0x14 + 4), 8);  // ACEs

    std::vector<uint8_t> table = BuildUpCaseTable();
    ASSERT_EQ(table.size(), 131072u);
    volcore::CByteReader units(table);
    EXPECT_EQ(units.U16('a' * 2), 'A');
    EXPECT_EQ(units.U16(0x3B1 * 2), 0x391);  // Greek alpha
    // The value mkntfs stores for the same table, and the table itself.
    EXPECT_EQ(UpCaseCrc64(table), 0xDADC7E776B1B690Cull);
    if (volkit::test::HaveProgram("mkntfs") && volkit::test::HaveProgram("ntfscat")) {
        volkit::test::TempDir temp;
        volkit::test::MakeNtfsImage(temp.File("mkntfs.img"));
        std::string theirs = temp.File("upcase.bin");
        ASSERT_EQ(volkit::test::RunCommand("ntfscat " + temp.File("mkntfs.img") + " '$UpCase' > " + theirs).exitCode, 0);
        EXPECT_EQ(table, volkit::test::ReadFileBytes(theirs));
    }
    EXPECT_EQ(BuildAttrDef().size(), 2560u);
}

TEST(FormatRecord, MappingPairsAndRecordLayout) {
    EXPECT_EQ(EncodeMappingPairs({{100, 16}}), (std::vector<uint8_t>{0x11, 0x10, 0x64, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({{0x80, 0x80}, {0x70, 1}}),
              (std::vector<uint8_t>{0x22, 0x80, 0x00, 0x80, 0x00, 0x11, 0x01, 0xF0, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({{kSparseLcn, 300}}), (std::vector<uint8_t>{0x02, 0x2C, 0x01, 0x00}));

    std::vector<uint8_t> record(1024, 0xCC);
    WriteFileRecord(volcore::CByteWriter(record), {7, 7, 1, kRecordInUse},
                    {SAttribute::NonResident(kData, {{2, 2}}, 8192), SAttribute::Resident(0x10, std::vector<uint8_t>(72))},
                    4096);
    volcore::CByteReader in(record);
    EXPECT_EQ(in.U16(20), 56);
    EXPECT_EQ(in.U32(56), 0x10u);  // ordered by type
    EXPECT_EQ(in.U32(56 + 96), 0x80u);
    EXPECT_EQ(in.U64(56 + 96 + 40), 8192u);  // allocated
    EXPECT_EQ(in.U32(56 + 96 + 72), 0xFFFFFFFFu);
    EXPECT_EQ(in.U32(24), 56u + 96 + 72 + 8);
    EXPECT_EQ(in.U16(40), 2);
    EXPECT_EQ(in.U32(44), 7u);
}

}  // namespace
}  // namespace volcore::format
