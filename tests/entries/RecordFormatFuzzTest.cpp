#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdexcept>

#include "AttributeTestSupport.h"
#include "entries/Attribute.h"
#include "entries/RecordFormat.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// Everything the record and attribute layers do with one loaded record. The
// only acceptable failures are the engine's own refusals.
void LoadEverything(CVolume& volume, const MftRecBufferPtr& record) {
    ParseMap parsed;
    try {
        ParseAttributeRecords(record, parsed);
    } catch (const CException&) {
        return;
    }
    std::vector<uint8_t> out(volume.GetMftRecordSize());
    for (const auto& [key, locations] : parsed) {
        try {
            CAttribute attribute(volume, MakeReference(30, 1), locations);
            // Sizes up to the device are accepted; keep the test's memory small on huge sparse images.
            if (attribute.GetSize() <= (16u << 20)) attribute.ReadAll();
            else if (attribute.GetSize() > 0) {
                std::vector<uint8_t> head(4096);
                attribute.ReadData(0, head.data(), 4096);
            }
            attribute.GetSerializedSize();
            attribute.Serialize(CByteWriter(out));
        } catch (const CException&) {
        } catch (const std::overflow_error&) {
        }
    }
}

}  // namespace

// Damaged copies of real records: one to four bytes of the attribute area
// replaced by random or boundary values. Nothing may crash, read outside a
// buffer or the device, allocate without bound, or write to the device.
TEST(RecordFormatFuzz, DamagedMkntfsRecordsAreRefusedCleanly) {
    ImageVolume image;
    std::mt19937_64 random(2024);
    const uint8_t boundaries[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xF8, 0x08, 0x40};
    uint64_t writes = image.device.writeCount;
    for (uint64_t number = 0; number < 16; ++number) {
        MftRecBufferPtr original = image.ReadRecord(number);
        CByteReader header(original->bytes);
        size_t first = header.U16(FileRecord::FirstAttribute);
        size_t used = std::min<size_t>(header.U32(FileRecord::BytesInUse), original->bytes.size());
        for (int round = 0; round < 200; ++round) {
            auto damaged = std::make_shared<CMftRecBuffer>(*original);
            int changes = 1 + static_cast<int>(random() % 4);
            for (int c = 0; c < changes; ++c) {
                size_t at = first + random() % (used - first);
                damaged->bytes[at] = random() % 2 ? static_cast<uint8_t>(random()) : boundaries[random() % 8];
            }
            ASSERT_NO_FATAL_FAILURE(LoadEverything(*image.volume, damaged)) << number << "/" << round;
        }
    }
    EXPECT_EQ(image.device.writeCount, writes);
}

namespace {

// Every FILE record the image's own $MFT maps, up to `limit`, read through
// the attribute layer.
void LoadMftRecords(CVolume& volume, uint64_t limit) {
    uint32_t size = volume.GetMftRecordSize();
    auto record0 = std::make_shared<CMftRecBuffer>(size);
    volume.GetDevice().Read(volume.GetMftLcn() * volume.GetClusterSize(), record0->bytes.data(), size);
    MstUnprotect(record0->bytes, 1, size);
    ParseMap parsed;
    ParseAttributeRecords(record0, parsed);
    CAttribute mft(volume, 0, parsed.at(AttributeKey{AttrType::Data, u"", 0}));
    uint64_t count = std::min<uint64_t>(mft.GetSize() / size, limit);
    for (uint64_t n = 0; n < count; ++n) {
        auto record = std::make_shared<CMftRecBuffer>(size);
        try {
            mft.ReadData(n * size, record->bytes.data(), size);
            MstUnprotect(record->bytes, 1, size);
        } catch (const CException&) {
            continue;
        }
        LoadEverything(volume, record);
    }
}

}  // namespace

// The shared corpus of damaged volumes: every record of every image loads or
// is refused cleanly at the record and attribute level.
TEST(RecordFormatFuzz, CorpusRecordsAreLoadedOrRefusedCleanly) {
    size_t images = ForEachCorpusImage([&](const CorpusImage& image) {
        FileDevice device(image.path.string());
        try {
            CVolume volume(std::make_shared<CIoDeviceImpl>(device.Api()), ELoadDepth::BootSector);
            LoadMftRecords(volume, 2048);
        } catch (const CException&) {
        } catch (const std::out_of_range&) {  // no $DATA in record 0
        }
    });
    if (images == 0) GTEST_SKIP() << "no corpus";
    EXPECT_GT(images, 40u);
}
