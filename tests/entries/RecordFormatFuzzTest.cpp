#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "entries/Attribute.h"
#include "entries/RecordFormat.h"
#include "support/EngineVolume.h"

using namespace volcore;
using namespace volcore::test;

// Damaged copies of real records: one to four bytes of the attribute area
// replaced by random or boundary values. Nothing may crash, read outside a
// buffer or the device, allocate without bound, or write to the device; the
// only acceptable failures are the engine's own refusals.
TEST(RecordFormatFuzz, DamagedMkntfsRecordsAreRefusedCleanly) {
    EngineVolume image(ImageOptions{}, ELoadDepth::BootSector);
    std::mt19937_64 random(2024);
    const uint8_t boundaries[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xF8, 0x08, 0x40};
    uint64_t writes = image.Device().writeCount;
    std::vector<uint8_t> out(1024), head(4096);
    for (uint64_t number = 0; number < 16; ++number) {
        MftRecBufferPtr original = image.RawRecord(number);
        CByteReader header(original->bytes);
        size_t first = header.U16(FileRecord::FirstAttribute);
        size_t used = std::min<size_t>(header.U32(FileRecord::BytesInUse), original->bytes.size());
        for (int round = 0; round < 200; ++round) {
            auto damaged = std::make_shared<CMftRecBuffer>(*original);
            for (int c = 0, changes = 1 + static_cast<int>(random() % 4); c < changes; ++c)
                damaged->bytes[first + random() % (used - first)] =
                    random() % 2 ? static_cast<uint8_t>(random()) : boundaries[random() % 8];
            ParseMap parsed;
            try {
                ParseAttributeRecords(damaged, parsed);
                for (const auto& [key, locations] : parsed) {
                    CAttribute attribute(image.Volume(), MakeReference(30, 1), locations);
                    uint64_t size = std::min<uint64_t>(attribute.GetSize(), head.size());
                    if (size > 0) attribute.ReadData(0, head.data(), static_cast<uint32_t>(size));
                    attribute.Serialize(CByteWriter(out));
                }
            } catch (const CException&) {
            } catch (const std::overflow_error&) {
            }
        }
    }
    EXPECT_EQ(image.Device().writeCount, writes);
}
