// Size decisions and fixed contents of the formatter, checked without a device.
#include <gtest/gtest.h>

#include "base/Bytes.h"
#include "disk/SecurityFormat.h"
#include "format/FormatClusterMap.h"
#include "format/FormatGeometry.h"
#include "format/FormatSecurity.h"
#include "format/FormatTables.h"
#include "disk/BootSector.h"

namespace volcore::format {
namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;

// Sizes no test can format; the smaller ones are pinned whole by the output
// checksums and compared with mkntfs.
TEST(FormatGeometry, AutomaticClusterSizeKeepsClusterCountIn32Bits) {
    EXPECT_EQ(DecideGeometry(100 * GiB, 0).clusterSize, 4096u);
    EXPECT_EQ(DecideGeometry(16 * 1024 * GiB - 512, 0).clusterSize, 4096u);
    EXPECT_EQ(DecideGeometry(20 * 1024 * GiB, 0).clusterSize, 8192u);
    EXPECT_EQ(DecideGeometry(100 * 1024 * GiB, 0).clusterSize, 32768u);
    EXPECT_THROW(DecideGeometry(130 * 1024 * GiB, 0), CException);  // would need 64 KiB
    // A given cluster size that would need more than 2^32 clusters is refused.
    EXPECT_THROW(DecideGeometry(20 * 1024 * GiB, 512), CException);
}

TEST(FormatTables, BootAreaCarriesItsStartIn32BitsOnly) {
    SFormatGeometry g = DecideGeometry(100 * MiB, 65536);
    std::vector<uint8_t> area = BuildBootArea(g, 0x0123456789ABCDEFull, 63);
    EXPECT_EQ(CByteReader(area).U32(BootField::HiddenSectors), 63u);
    EXPECT_EQ(CByteReader(BuildBootArea(g, 0, 1ull << 32)).U32(BootField::HiddenSectors), 0u) << "past 32 bits it is left out";
}

TEST(FormatTables, SecurityDescriptorsAndUpCase) {
    // The stored hashes are those of the descriptors really written.
    std::vector<uint8_t> sds = BuildSdsStream();
    for (const SSecurityId& id : SharedSecurityIds()) {
        SCOPED_TRACE(id.id);
        std::vector<uint8_t> descriptor(sds.begin() + id.offset + SdsEntry::HeaderSize, sds.begin() + id.offset + id.length);
        EXPECT_EQ(SecurityDescriptorHash(descriptor), id.hash);
        EXPECT_TRUE(std::equal(sds.begin() + id.offset, sds.begin() + id.offset + id.length,
                               sds.begin() + SdsEntry::MirrorDistance + id.offset));
    }
    // The value mkntfs stores for its table, which libntfs-3g's is byte for byte.
    EXPECT_EQ(UpCaseCrc64(BuildUpCaseTable()), 0xDADC7E776B1B690Cull);
}

TEST(FormatClusterMap, AllocatesAroundTakenRangesAndWrapsAround) {
    CClusterMap map(100);
    map.Reserve(0, 3);
    map.Reserve(10, 6);
    EXPECT_THROW(map.Reserve(15, 2), CException);
    EXPECT_THROW(map.Reserve(99, 2), CException);
    RunMap runs = map.Allocate(12, 8);  // 8-9, 16-25
    EXPECT_EQ(runs, (RunMap{{VCN{0}, {8, 2}}, {VCN{2}, {16, 10}}}));
    EXPECT_EQ(map.Allocate(75, 90), (RunMap{{VCN{0}, {90, 10}}, {VCN{10}, {3, 5}}, {VCN{15}, {26, 60}}}));
    EXPECT_THROW(map.Allocate(5, 0), CException);  // 86-89 are all that is left
}

}  // namespace
}  // namespace volcore::format
