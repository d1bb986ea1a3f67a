// The formatter's whole output, pinned: with the time stamp and serial number
// fixed, every byte of these volumes is known (checksums of images that the
// independent checkers accepted). A change here must be meant.
#include <gtest/gtest.h>

#include "api/IoDevice.h"
#include "format/Formatter.h"
#include "support/MemoryDevice.h"

namespace volcore::format {
namespace {

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001B3ull;
    return hash;
}

TEST(FormatOutput, KnownVolumesAreByteForByteTheSame) {
    constexpr uint64_t MiB = 1ull << 20;
    const struct {
        uint64_t size;
        uint32_t clusterSize;
        uint64_t checksum;
    } cases[] = {
        {MiB + 512, 0, 0xDD65EE2048FC0740ull},         {5 * MiB, 8192, 0x2D12FCBE4B973D2Eull},
        {16 * MiB, 2048, 0x95D5B864705A296Cull},       {37 * MiB + 5632, 1024, 0x02523B1E1AF53537ull},
        {100 * MiB, 512, 0xF5DCE86DC2230EBBull},       {100 * MiB, 65536, 0x19C7F81FB5AEDF87ull},
    };
    for (const auto& c : cases) {
        volkit::test::MemoryDevice memory(std::vector<uint8_t>(c.size, 0));
        CIoDeviceImpl device(memory.Api());
        SFormatOptions options;
        options.quick = true;
        options.clusterSize = c.clusterSize;
        FormatVolumeAt(options, device, 0x01D9000012345678ull, 0x1122334455667788ull);
        EXPECT_EQ(Fnv1a(memory.Bytes()), c.checksum) << c.size << " bytes, clusters of " << c.clusterSize;
    }
}

}  // namespace
}  // namespace volcore::format
