// $MFT grown into scattered free space: its data maps so many runs that
// record 0 needs extension records, and every reader must still find them
// through the first extent of that data.
#include <gtest/gtest.h>

#include <string>

#include "FaultWorkload.h"
#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/Oracles.h"
#include "support/VolumeCheck.h"

using namespace volcore::test;
namespace api = volkit::api;

namespace {

bool Store(api::NtfsVolumeHandle volume, const std::string& path, size_t size) {
    api::NtfsFileHandle file;
    if (!api::NtfsCreateFile(Wide(path).c_str(), file, volume)) return false;
    std::vector<uint8_t> data(size, 0x5A);
    bool ok = size == 0 || (api::SetFileSize(size, file) && api::NtfsWriteFile(0, data.data(), unsigned(size), file));
    return api::NtfsCloseFile(file) && ok;
}

bool Erase(api::NtfsVolumeHandle volume, const std::string& path) {
    api::NtfsFileHandle file;
    return api::NtfsOpenFile(Wide(path).c_str(), file, volume) && api::NtfsDeleteFile(file);
}

}  // namespace

// The volume is filled with one-cluster files and every other one deleted,
// so each growth of the MFT lands in holes of one cluster; then enough
// names follow for several growths, over two sessions.
TEST(MftGrowth, ScatteredMftKeepsItsFirstExtentInRecordZero) {
    MemoryDevice memory = FormattedMemoryDevice(24 << 20, 4096);
    api::NtfsVolumeHandle volume;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume));
    int filled = 0;
    LogCapture log;
    // The deletes need room for their index changes: a file whose directory
    // keeps its index in its record makes it, and needs none to go.
    api::NtfsDirHandle spare;
    ASSERT_TRUE(api::NtfsCreateDir(L"spare", spare, volume) && api::NtfsCloseDir(spare));
    ASSERT_TRUE(Store(volume, "spare/room", 64 * 4096));
    while (Store(volume, "fill " + std::to_string(filled), 4096)) ++filled;
    ASSERT_GT(filled, 1000) << testing::PrintToString(log.Errors());
    ASSERT_TRUE(Erase(volume, "spare/room")) << testing::PrintToString(log.Errors());
    for (int i = 0; i < filled; i += 2) ASSERT_TRUE(Erase(volume, "fill " + std::to_string(i))) << testing::PrintToString(log.Errors());
    ASSERT_TRUE(api::NtfsCloseVolume(volume));
    for (int session = 0; session < 2; ++session) {
        ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume)) << testing::PrintToString(log.Errors());
        for (int i = 0; i < 4000; ++i)
            ASSERT_TRUE(Store(volume, "name " + std::to_string(session) + "." + std::to_string(i), 0)) << testing::PrintToString(log.Errors());
        ASSERT_TRUE(api::NtfsCloseVolume(volume));
    }
    const CheckOutcome check = CheckVolume(memory.Api());
    EXPECT_TRUE(check.Clean()) << check.Describe();
    EXPECT_TRUE(Libntfs3gMounts(memory));
    if (!NtfsckPath().empty()) {
        TempDir dir;
        memory.SaveToFile(dir.File("mft.img"));
        EXPECT_TRUE(NtfsckAccepts(dir.File("mft.img")));
        EXPECT_EQ(RunCommand("ntfsinfo -i 0 " + ShellQuote(dir.File("mft.img")) + " | grep -c 'Dumping attribute \\$ATTRIBUTE_LIST'").output, "1\n");
    }
}
