// What one family writes, the other reads back byte for byte, on one volume.
#include "FamilyFixture.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"

namespace volcore::test {
namespace {

// Reads `readPath`, then writes `data` to a new `writePath`, through the handle family.
std::vector<uint8_t> ReadAndWriteNatively(MemoryDevice& memory, const std::wstring& readPath, const std::wstring& writePath,
                                          const std::vector<uint8_t>& data) {
    api::NtfsVolumeHandle volume;
    api::NtfsFileHandle file;
    unsigned long long size = 0;
    EXPECT_TRUE(api::NtfsOpenVolume(memory.Api(), volume) && api::NtfsOpenFile(readPath.c_str(), file, volume) &&
                api::NtfsGetFileSize(size, file));
    std::vector<uint8_t> read(size);
    EXPECT_TRUE(api::NtfsReadFile(0, read.data(), static_cast<unsigned>(size), file) && api::NtfsCloseFile(file));
    EXPECT_TRUE(api::NtfsCreateFile(writePath.c_str(), file, volume) && api::SetFileSize(data.size(), file) &&
                api::NtfsWriteFile(0, data.data(), static_cast<unsigned>(data.size()), file) &&
                api::NtfsCloseFile(file) && api::NtfsCloseVolume(volume));
    return read;
}

}  // namespace

TEST_F(FamilyTest, EachFamilyReadsWhatTheOtherWrote) {
    // Sizes on both sides of the resident limit and across several clusters.
    const size_t sizes[] = {1, 700, 5000, 300000};
    for (uint32_t i = 0; i < std::size(sizes); ++i) {
        SCOPED_TRACE(sizes[i]);
        const std::vector<uint8_t> ours = Pattern(sizes[i], i), native = Pattern(sizes[i], i + 100);
        const std::string name = std::to_string(i);
        Mount();
        CreateFileWith("/from-family-" + name, ours);
        Dismount();
        const std::wstring wide(name.begin(), name.end());
        EXPECT_EQ(ReadAndWriteNatively(memory, L"from-family-" + wide, L"from-handles-" + wide, native), ours);
        Mount();
        EXPECT_EQ(ReadWhole("from-handles-" + name), native);
        Dismount();
    }
    const CheckOutcome checked = CheckVolume(memory.Api());
    EXPECT_TRUE(checked.Clean()) << checked.Describe();
}

}  // namespace volcore::test
