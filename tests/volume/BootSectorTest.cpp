#include <gtest/gtest.h>

#include <array>

#include "base/Exception.h"
#include "volume/BootSector.h"

using namespace volcore;

namespace {

// A boot sector that passes every check: 512-byte sectors, 8 sectors per
// cluster, 1024-byte MFT records, 4096-byte index records.
std::array<uint8_t, 512> GoodBootSector() {
    std::array<uint8_t, 512> sector{};
    const char oem[] = "NTFS    ";
    std::copy(oem, oem + 8, sector.begin() + 3);
    sector[11] = 0x00; sector[12] = 0x02;  // 512
    sector[13] = 8;
    sector[48] = 4;                        // MFT LCN
    sector[56] = 0x10;                     // mirror LCN
    sector[64] = static_cast<uint8_t>(-10);
    sector[68] = 1;
    return sector;
}

std::string FailureOf(const std::array<uint8_t, 512>& sector) {
    try {
        ParseBootSector(sector);
    } catch (const CException& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(BootSector, DecodesGeometry) {
    auto sector = GoodBootSector();
    SBootGeometry g = ParseBootSector(sector);
    EXPECT_EQ(g.sectorSize, 512u);
    EXPECT_EQ(g.clusterSize, 4096u);
    EXPECT_EQ(g.mftRecordSize, 1024u);
    EXPECT_EQ(g.indxRecordSize, 4096u);
    EXPECT_EQ(g.mftLcn, 4u);
    EXPECT_EQ(g.mftMirrorLcn, 16u);

    sector[11] = 0x00; sector[12] = 0x10;  // 4096-byte sectors, 1 per cluster
    sector[13] = 1;
    sector[64] = 1;  // one cluster per record
    g = ParseBootSector(sector);
    EXPECT_EQ(g.clusterSize, 4096u);
    EXPECT_EQ(g.mftRecordSize, 4096u);
    EXPECT_EQ(g.indxRecordSize, 4096u);
}

TEST(BootSector, ChecksInOrderWithTheirMessages) {
    auto s = GoodBootSector();
    s[3] = 'X';
    EXPECT_EQ(FailureOf(s), "Invalid OEM ID: 1397118040");

    s = GoodBootSector();
    s[11] = 0; s[12] = 4;  // 1024
    EXPECT_EQ(FailureOf(s), "Invalid sector size: 1024");

    for (uint8_t bad : {0, 3, 255}) {
        s = GoodBootSector();
        s[13] = bad;
        EXPECT_EQ(FailureOf(s), "Invalid cluster size: " + std::to_string(bad));
    }
    s = GoodBootSector();
    s[13] = 128;
    EXPECT_EQ(FailureOf(s), "");

    s = GoodBootSector();
    s[14] = 1; s[17] = 2; s[19] = 3; s[32] = 4;
    EXPECT_EQ(FailureOf(s), "Reserved fields are not zero: 1 2 3 4");

    s = GoodBootSector();
    s[64] = 0;
    EXPECT_EQ(FailureOf(s), "Invalid MFT record size: 0");
    s[64] = 3;
    EXPECT_EQ(FailureOf(s), "Invalid MFT record size: 3");

    // 4096-byte sectors with 2^8-byte records.
    s = GoodBootSector();
    s[11] = 0; s[12] = 0x10; s[13] = 1;
    s[64] = static_cast<uint8_t>(-8);
    EXPECT_EQ(FailureOf(s), "MFT record size 256 is less than sector size 4096");

    s = GoodBootSector();
    s[68] = 6;
    EXPECT_EQ(FailureOf(s), "Invalid INDX record size: 6");
    s[68] = 0;
    EXPECT_EQ(FailureOf(s), "Invalid INDX record size: 0");
}

TEST(BootSector, EdgeEncodingsAccepted) {
    auto s = GoodBootSector();
    s[13] = 1;  // 512-byte clusters
    s[64] = 1;  // one cluster per record: 512 bytes, equal to the sector size
    EXPECT_EQ(ParseBootSector(s).mftRecordSize, 512u);
    s[510] = 0; s[511] = 0;  // no end marker: not checked
    EXPECT_NO_THROW(ParseBootSector(s));
}
