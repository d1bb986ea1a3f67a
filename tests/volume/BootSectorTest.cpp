#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "support/ImageEditor.h"
#include "support/Images.h"
#include "disk/BootSector.h"

using namespace volcore;
using namespace volcore::test;

namespace {

struct Field {
    size_t offset, width;
    uint64_t value;
};

// A boot sector that passes every check (512-byte sectors, 4096-byte
// clusters, 1024-byte MFT records, 4096-byte index blocks) with `changes`.
std::array<uint8_t, kBootSectorSize> BootSector(const std::vector<Field>& changes) {
    std::array<uint8_t, kBootSectorSize> sector{};
    ImageEditor boot(sector);
    for (size_t i = 0; i < BootField::OemIdSize; ++i) boot.SetField(BootField::OemId + i, 1, BootField::OemIdValue[i]);
    boot.SetField(BootField::BytesPerSector, 2, 512);
    boot.SetField(BootField::SectorsPerCluster, 1, 8);
    boot.SetField(BootField::MftLcn, 8, 4);
    boot.SetField(BootField::MftMirrorLcn, 8, 16);
    boot.SetField(BootField::ClustersPerMftRecord, 1, static_cast<uint8_t>(-10));
    boot.SetField(BootField::ClustersPerIndexBlock, 1, 1);
    for (const Field& change : changes) boot.SetField(change.offset, change.width, change.value);
    return sector;
}

}  // namespace

TEST(BootSector, ChecksInOrderWithTheirMessages) {
    const uint8_t minus8 = static_cast<uint8_t>(-8);
    const std::vector<std::pair<std::vector<Field>, std::string>> cases = {
        {{{BootField::OemId, 1, 'X'}}, "Invalid OEM ID: 1397118040"},
        {{{BootField::BytesPerSector, 2, 1024}}, "Invalid sector size: 1024"},
        {{{BootField::SectorsPerCluster, 1, 0}}, "Invalid cluster size: 0"},
        {{{BootField::SectorsPerCluster, 1, 3}}, "Invalid cluster size: 3"},
        {{{BootField::SectorsPerCluster, 1, 255}}, "Invalid cluster size: 255"},
        {{{BootField::SectorsPerCluster, 1, 0xF9}}, "Invalid cluster size: 249"},
        {{{BootField::SectorsPerCluster, 1, 0xF3}}, "Invalid cluster size: 243"},
        // 4096 sectors of 4096 bytes: 16 MiB, beyond the 2 MiB Windows formats.
        {{{BootField::BytesPerSector, 2, 4096}, {BootField::SectorsPerCluster, 1, 0xF4}}, "Invalid cluster size: 244"},
        // 0xF8..0xF4 are 2^(256 - value) sectors (the write interop test reads such volumes); records
        // smaller than a cluster of 128 KiB take the negative form only.
        {{{BootField::SectorsPerCluster, 1, 0xF8}, {BootField::ClustersPerMftRecord, 1, 1}}, "Invalid MFT record size: 1"},
        {{{BootField::SectorsPerCluster, 1, 0xF8}}, "Invalid INDX record size: 1"},
        {{{BootField::ReservedSectors, 2, 1}, {BootField::RootEntries, 2, 2}, {BootField::Sectors16, 2, 3}, {BootField::Sectors32, 4, 4}},
         "Reserved fields are not zero: 1 2 3 4"},
        {{{BootField::ClustersPerMftRecord, 1, 0}}, "Invalid MFT record size: 0"},
        {{{BootField::ClustersPerMftRecord, 1, 3}}, "Invalid MFT record size: 3"},
        {{{BootField::BytesPerSector, 2, 4096}, {BootField::SectorsPerCluster, 1, 1}, {BootField::ClustersPerMftRecord, 1, minus8}},
         "MFT record size 256 is less than sector size 4096"},
        {{{BootField::ClustersPerIndexBlock, 1, 6}}, "Invalid INDX record size: 6"},
        {{{BootField::ClustersPerIndexBlock, 1, 0}}, "Invalid INDX record size: 0"},
    };
    for (const auto& [changes, message] : cases) {
        auto sector = BootSector(changes);
        EXPECT_EQ(FailureOf([&] { ParseBootSector(sector); }), message);
    }
}

