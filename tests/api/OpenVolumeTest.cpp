#include <gtest/gtest.h>

#include <algorithm>

#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

namespace {

struct Geometry {
    uint32_t clusterSize;
    uint32_t sectorSize;
};

class OpenVolumeGeometry : public ::testing::TestWithParam<Geometry> {};

void* const kUntouched = reinterpret_cast<void*>(0x1234);

}  // namespace

TEST_P(OpenVolumeGeometry, OpensFreshImagesAndLogsTheGeometry) {
    Geometry g = GetParam();
    if (g.clusterSize < g.sectorSize) GTEST_SKIP();
    TempDir dir;
    ImageOptions options;
    options.clusterSize = g.clusterSize;
    options.sectorSize = g.sectorSize;
    options.size = 32ull << 20;
    if (!CanMakeNtfsImage(options)) GTEST_SKIP() << "these sectors need mkntfs, which is missing";
    MakeNtfsImage(dir.File("v.img"), options);
    MemoryDevice device = MemoryDevice::FromFile(dir.File("v.img"));

    LogCapture log;
    NtfsVolumeHandle volume;
    ASSERT_TRUE(NtfsOpenVolume(device.Api(), volume)) << (log.Errors().empty() ? "" : log.Errors()[0]);
    EXPECT_TRUE(IsValidHandle(volume.ptr));

    // mkntfs uses 1024-byte records unless the sector is larger, and 4096-byte index blocks.
    uint32_t recordSize = g.sectorSize > 1024 ? g.sectorSize : 1024;
    std::string geometry = "Sector size " + std::to_string(g.sectorSize) + ", cluster size " +
                           std::to_string(g.clusterSize) + ", MFT LCN ";
    bool found = false;
    for (const auto& text : log.Texts(1)) {
        if (text.rfind(geometry, 0) == 0) {
            found = true;
            EXPECT_NE(text.find(", MFT record size " + std::to_string(recordSize) + ", INDX record size 4096"),
                      std::string::npos)
                << text;
        }
    }
    EXPECT_TRUE(found);
    std::vector<std::string> info = log.Texts(1);
    auto position = info.begin();
    for (const char* step : {"Loading NTFS volume boot sector", "Checking boot sector", "Loading MFT and MFTMirr",
                             "Comparing mirrored records", "Loading Bitmap", "Initializing cluster allocator",
                             "Loading UpCase", "Loading volume root"}) {
        position = std::find(position, info.end(), step);
        ASSERT_NE(position, info.end()) << step << " missing or out of order";
    }
    EXPECT_TRUE(log.Errors().empty());

    EXPECT_TRUE(NtfsCloseVolume(volume));
    EXPECT_EQ(volume.ptr, nullptr);
    EXPECT_TRUE(log.Contains("Flushing MFT")) << "the volume's close writes the MFT";
}

INSTANTIATE_TEST_SUITE_P(ClusterAndSectorSizes, OpenVolumeGeometry,
                         ::testing::Values(Geometry{512, 512}, Geometry{4096, 512}, Geometry{65536, 512},
                                           Geometry{4096, 4096}, Geometry{65536, 4096}),
                         [](const auto& info) {
                             return "c" + std::to_string(info.param.clusterSize) + "_s" +
                                    std::to_string(info.param.sectorSize);
                         });

TEST(OpenVolume, RefusesWithOneErrorLineAndAnUntouchedHandle) {
    TempDir dir;
    MakeNtfsImage(dir.File("v.img"));
    const std::vector<uint8_t> good = ReadFileBytes(dir.File("v.img"));

    struct Case {
        const char* name;
        std::function<void(MemoryDevice&)> spoil;
        std::string error;
    };
    std::vector<Case> cases = {
        {"zeros", [](MemoryDevice& d) { std::fill(d.Bytes().begin(), d.Bytes().begin() + 512, 0); },
         "Failed to open NTFS volume: Invalid OEM ID: 0"},
        {"sector size", [](MemoryDevice& d) { d.Bytes()[11] = 0; d.Bytes()[12] = 1; },
         "Failed to open NTFS volume: Invalid sector size: 256"},
        {"cluster size", [](MemoryDevice& d) { d.Bytes()[13] = 6; },
         "Failed to open NTFS volume: Invalid cluster size: 6"},
        {"reserved", [](MemoryDevice& d) { d.Bytes()[19] = 9; },
         "Failed to open NTFS volume: Reserved fields are not zero: 0 0 9 0"},
        {"mft record", [](MemoryDevice& d) { d.Bytes()[64] = 0; },
         "Failed to open NTFS volume: Invalid MFT record size: 0"},
        {"mft below sector", [](MemoryDevice& d) { d.Bytes()[64] = static_cast<uint8_t>(-8); },
         "Failed to open NTFS volume: MFT record size 256 is less than sector size 512"},
        {"indx record", [](MemoryDevice& d) { d.Bytes()[68] = 5; },
         "Failed to open NTFS volume: Invalid INDX record size: 5"},
        {"read fails", [](MemoryDevice& d) { d.failRead = [](uint64_t, uint32_t) { return true; }; },
         "Failed to open NTFS volume: Device read failed (offset 0, length 512)"},
        {"too short", [](MemoryDevice& d) { d.Bytes().resize(100); },
         "Failed to open NTFS volume: Device read failed (offset 0, length 512)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryDevice device{std::vector<uint8_t>(good)};
        c.spoil(device);
        LogCapture log;
        NtfsVolumeHandle volume{kUntouched};
        EXPECT_FALSE(NtfsOpenVolume(device.Api(), volume));
        EXPECT_EQ(volume.ptr, kUntouched);
        EXPECT_EQ(log.Errors(), std::vector<std::string>{c.error});
    }
}

TEST(OpenVolume, NullHandlesAndNoSink) {
    NtfsVolumeHandle none;
    {
        LogCapture log;
        EXPECT_FALSE(NtfsCloseVolume(none));
        EXPECT_EQ(log.Errors(), std::vector<std::string>{"Failed to close NTFS volume: Invalid volume handle"});
    }
    // Without a sink a failure is only the result.
    EXPECT_FALSE(NtfsCloseVolume(none));
    EXPECT_FALSE(IsValidHandle(nullptr));
    EXPECT_TRUE(IsValidHandle(kUntouched));
}
