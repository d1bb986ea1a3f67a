// Opening a volume through the handle family: a refusal leaves one Error
// line and the caller's handle as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "support/Images.h"
#include "support/LogCapture.h"
#include "support/MemoryDevice.h"
#include "volkit/api.h"

using namespace volkit::api;
using namespace volcore::test;

TEST(OpenVolume, RefusesWithOneErrorLineAndAnUntouchedHandle) {
    void* const untouched = reinterpret_cast<void*>(0x1234);
    struct Case {
        const char* name;
        std::function<void(MemoryDevice&)> spoil;
        std::string error;
    };
    const Case cases[] = {
        {"zeros", [](MemoryDevice& d) { std::fill_n(d.Bytes().begin(), 512, 0); },
         "Failed to open NTFS volume: Invalid OEM ID: 0"},
        {"read fails", [](MemoryDevice& d) { d.failRead = [](uint64_t, uint32_t) { return true; }; },
         "Failed to open NTFS volume: Device read failed (offset 0, length 512)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryDevice device(PristineImage());
        c.spoil(device);
        LogCapture log;
        NtfsVolumeHandle volume{untouched};
        EXPECT_FALSE(NtfsOpenVolume(device.Api(), volume));
        EXPECT_EQ(volume.ptr, untouched);
        EXPECT_EQ(log.Errors(), std::vector<std::string>{c.error});
    }
}
