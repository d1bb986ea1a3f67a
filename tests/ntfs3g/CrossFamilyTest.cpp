// What one family writes, the other reads back byte for byte, on one volume.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/FamilyDevice.h"
#include "support/Images.h"
#include "support/MemoryDevice.h"
#include "support/VolumeCheck.h"
#include "volkit/api.h"
#include "volkit/filesystem.h"

using namespace volcore::test;
namespace api = volkit::api;

namespace {

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed + i / 4096);
    return bytes;
}

void WriteWithFilesystemFamily(MemoryDevice& memory, const char* path, const std::vector<uint8_t>& data) {
    volkit::filesystem::device device = FamilyDeviceOf(memory);
    volkit::filesystem::handle volume;
    ASSERT_TRUE(volkit::filesystem::open(volume, device));
    volkit::file::handle file;
    ASSERT_TRUE(volkit::file::create(file, path, volume));
    ASSERT_TRUE(volkit::file::setSize(file, data.size()));
    ASSERT_TRUE(volkit::file::write(file, 0, data.data(), static_cast<uint32_t>(data.size())));
    ASSERT_TRUE(volkit::file::close(file));
    ASSERT_TRUE(volkit::filesystem::close(volume));
}

std::vector<uint8_t> ReadWithFilesystemFamily(MemoryDevice& memory, const char* path) {
    volkit::filesystem::device device = FamilyDeviceOf(memory);
    volkit::filesystem::handle volume;
    std::vector<uint8_t> data;
    if (!volkit::filesystem::open(volume, device)) return data;
    volkit::file::handle file;
    uint64_t size = 0;
    if (volkit::file::open(file, path, volume) && volkit::file::getSize(file, size)) {
        data.resize(size);
        if (size > 0 && !volkit::file::read(file, 0, data.data(), static_cast<uint32_t>(size))) data.clear();
        volkit::file::close(file);
    }
    volkit::filesystem::close(volume);
    return data;
}

void WriteWithHandleFamily(MemoryDevice& memory, const wchar_t* path, const std::vector<uint8_t>& data) {
    api::NtfsVolumeHandle volume;
    ASSERT_TRUE(api::NtfsOpenVolume(memory.Api(), volume));
    api::NtfsFileHandle file;
    ASSERT_TRUE(api::NtfsCreateFile(path, file, volume));
    ASSERT_TRUE(api::SetFileSize(data.size(), file));
    ASSERT_TRUE(api::NtfsWriteFile(0, data.data(), static_cast<unsigned>(data.size()), file));
    ASSERT_TRUE(api::NtfsCloseFile(file));
    ASSERT_TRUE(api::NtfsCloseVolume(volume));
}

std::vector<uint8_t> ReadWithHandleFamily(MemoryDevice& memory, const wchar_t* path) {
    api::NtfsVolumeHandle volume;
    std::vector<uint8_t> data;
    if (!api::NtfsOpenVolume(memory.Api(), volume)) return data;
    api::NtfsFileHandle file;
    unsigned long long size = 0;
    if (api::NtfsOpenFile(path, file, volume) && api::NtfsGetFileSize(size, file)) {
        data.resize(size);
        if (size > 0 && !api::NtfsReadFile(0, data.data(), static_cast<unsigned>(size), file)) data.clear();
        api::NtfsCloseFile(file);
    }
    api::NtfsCloseVolume(volume);
    return data;
}

}  // namespace

TEST(CrossFamily, EachFamilyReadsWhatTheOtherWrote) {
    TempDir dir;
    MakeNtfsImage(dir.File("v.img"));
    MemoryDevice memory = MemoryDevice::FromFile(dir.File("v.img"));

    // Sizes on both sides of the resident limit and across several clusters.
    const std::vector<size_t> sizes = {1, 700, 5000, 300000};
    for (size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(sizes[i]);
        std::vector<uint8_t> data = Pattern(sizes[i], static_cast<uint8_t>(i));
        std::string narrow = "/from-ntfs3g-" + std::to_string(i) + ".bin";
        std::wstring wide = L"from-ntfs3g-" + std::to_wstring(i) + L".bin";
        WriteWithFilesystemFamily(memory, narrow.c_str(), data);
        EXPECT_EQ(ReadWithHandleFamily(memory, wide.c_str()), data);

        std::vector<uint8_t> back = Pattern(sizes[i], static_cast<uint8_t>(i + 100));
        std::wstring wideOut = L"from-native-" + std::to_wstring(i) + L".bin";
        std::string narrowOut = "/from-native-" + std::to_string(i) + ".bin";
        WriteWithHandleFamily(memory, wideOut.c_str(), back);
        EXPECT_EQ(ReadWithFilesystemFamily(memory, narrowOut.c_str()), back);
    }
    CheckOutcome checked = CheckVolume(memory.Api());
    EXPECT_TRUE(checked.Clean()) << checked.Describe();
}
