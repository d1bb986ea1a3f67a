// filesystem::format: the engine's formatter reported the family's way, and
// its volumes mounted by the family.
#include "FamilyFixture.h"

namespace volcore::test {

TEST(FormatFamily, FailuresKeepTheFamilysLinesAndVolumesMount) {
    constexpr uint64_t MiB = 1ull << 20;
    for (auto [size, clusterSize, failGetSize] : {std::tuple{MiB, 0u, false}, std::tuple{100 * MiB, 1000u, false},
                                                  std::tuple{4 * MiB, 0u, true}, std::tuple{16 * MiB, 2048u, false}}) {
        MemoryDevice memory{std::vector<uint8_t>(size)};
        memory.failGetSize = failGetSize;
        filesystem::device dev = FamilyDeviceOf(memory);
        FamilyLogCapture log;
        const bool made = filesystem::format(size != 16 * MiB, clusterSize, dev);
        if (!made) {
            EXPECT_EQ(log.Errors(), (Lines{"Failed to create NTFS filesystem", "failed to create NTFS"}));
            EXPECT_EQ(memory.writeCount, 0u);
            continue;
        }
        EXPECT_TRUE(log.Lines().empty());
        filesystem::handle volume;
        ASSERT_TRUE(filesystem::open(volume, dev)) << (log.Errors().empty() ? "" : log.Errors().back());
        EXPECT_TRUE(directory::fetch("", volume, [](const directory::dirEntry&, void*) { return true; }, nullptr));
        EXPECT_TRUE(filesystem::close(volume));
    }
}

}  // namespace volcore::test
