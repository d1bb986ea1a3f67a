// filesystem::format: the engine's formatter reported the family's way, and
// its volumes mounted by the family.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "format/FormatTables.h"
#include "ntfs3g/Ntfs3g.h"
#include "support/FamilyDevice.h"
#include "support/MemoryDevice.h"
#include "volkit/filesystem.h"

namespace volkit::test {
namespace {

constexpr uint64_t MiB = 1ull << 20;

TEST(FormatFamily, FailuresKeepTheFamilysLines) {
    const std::vector<std::string> failureLines = {"Failed to create NTFS filesystem", "failed to create NTFS"};
    for (auto [size, clusterSize, failGetSize] : {std::tuple{MiB, 0u, false}, std::tuple{100 * MiB, 1000u, false},
                                                  std::tuple{4 * MiB, 0u, true}}) {
        MemoryDevice memory{std::vector<uint8_t>(size)};
        memory.failGetSize = failGetSize;
        filesystem::device dev = FamilyDeviceOf(memory);
        FamilyLogCapture log;
        EXPECT_FALSE(filesystem::format(true, clusterSize, dev));
        EXPECT_EQ(log.Errors(), failureLines);
        EXPECT_EQ(memory.writeCount, 0u);
    }
}

bool CollectName(const directory::dirEntry& entry, void* context) {
    std::string name;
    for (const char16_t* unit = entry.name; *unit; ++unit) name += static_cast<char>(*unit);
    static_cast<std::set<std::string>*>(context)->insert(name);
    return true;
}

TEST(FormatFamily, FormattedVolumeMountsThroughTheFamily) {
    MemoryDevice memory(std::vector<uint8_t>(16 * MiB));
    filesystem::device dev = FamilyDeviceOf(memory);
    FamilyLogCapture log;
    ASSERT_TRUE(filesystem::format(false, 2048, dev));
    EXPECT_TRUE(log.Lines().empty());
    filesystem::handle volume;
    ASSERT_TRUE(filesystem::open(volume, dev)) << (log.Errors().empty() ? "" : log.Errors().back());
    std::set<std::string> names;
    EXPECT_TRUE(directory::fetch("", volume, &CollectName, &names));
    EXPECT_EQ(names, (std::set<std::string>{"$AttrDef", "$BadClus", "$Bitmap", "$Boot", "$Extend", "$LogFile", "$MFT",
                                            "$MFTMirr", "$Secure", "$UpCase", "$Volume"}));
    EXPECT_TRUE(filesystem::close(volume));
}

TEST(FormatFamily, UpCaseTableIsLibntfsOwn) {
    std::vector<ntfschar> units(65536);
    ntfs_upcase_table_build(units.data(), static_cast<u32>(units.size() * sizeof(ntfschar)));
    std::vector<uint8_t> theirs(units.size() * 2);
    std::memcpy(theirs.data(), units.data(), theirs.size());  // little-endian, as stored
    EXPECT_EQ(volcore::format::BuildUpCaseTable(), theirs);
}

}  // namespace
}  // namespace volkit::test
