// The libntfs-3g device operations over the caller's callbacks: exact
// transfers, positions and stat, none of which mounting depends on.
#include <gtest/gtest.h>

#include "ntfs3g/DeviceAdapter.h"
#include "support/FamilyDevice.h"
#include "support/MemoryDevice.h"

namespace volcore::test {

TEST(DeviceAdapter, TransfersPositionsAndStat) {
    MemoryDevice memory(std::vector<uint8_t>(8192, 7));
    std::vector<std::pair<uint64_t, uint32_t>> reads;
    memory.failRead = [&](uint64_t offset, uint32_t length) {
        reads.emplace_back(offset, length);
        return false;
    };
    fsfamily::SDeviceAdapter adapter(FamilyDeviceOf(memory));
    ntfs_device* dev = fsfamily::CreateAdapterDevice(&adapter);
    ASSERT_NE(dev, nullptr);
    ntfs_device_operations& ops = *dev->d_ops;

    // Sequential operations move the position; positional ones do not; each
    // asks for exactly what it was given, never split or aligned.
    uint8_t buffer[100];
    const uint8_t pattern[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(ops.seek(dev, 1000, SEEK_SET), 0);
    EXPECT_EQ(ops.read(dev, buffer, 100), 100);
    EXPECT_EQ(ops.pread(dev, buffer, 3, 4097), 3);
    EXPECT_EQ(ops.write(dev, pattern, 5), 5);
    EXPECT_EQ(ops.pwrite(dev, pattern, 2, 10), 2);
    EXPECT_EQ(adapter.position, 1105u);
    EXPECT_EQ(memory.Bytes()[1100], 1);
    EXPECT_EQ(memory.Bytes()[11], 2);
    EXPECT_EQ(reads, (std::vector<std::pair<uint64_t, uint32_t>>{{1000, 100}, {4097, 3}}));

    // Failures (past the end, a negative offset): -1 and the position stays.
    EXPECT_EQ(ops.seek(dev, 8150, SEEK_CUR), 0);  // always absolute
    EXPECT_EQ(ops.read(dev, buffer, 100), -1);
    EXPECT_EQ(ops.write(dev, buffer, 50), -1);
    EXPECT_EQ(ops.pread(dev, buffer, 1, -1), -1);
    EXPECT_EQ(adapter.position, 8150u);

    struct stat info;
    EXPECT_EQ(ops.stat(dev, &info), 0);
    EXPECT_EQ(info.st_size, 8192);
    memory.failGetSize = true;
    EXPECT_EQ(ops.stat(dev, &info), -1);
    // Not owned: closing leaves the adapter to its creator.
    EXPECT_EQ(ops.close(dev), 0);
    EXPECT_EQ(ntfs_device_free(dev), 0);
}

}  // namespace volcore::test
