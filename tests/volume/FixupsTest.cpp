#include <gtest/gtest.h>

#include <random>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "support/Images.h"
#include "volume/Fixups.h"

using namespace volcore;
using volcore::test::FailureOf;

namespace {

// A record of `size` bytes with random contents and the given header.
std::vector<uint8_t> MakeRecord(uint32_t size, uint16_t usaOffset, uint16_t usaCount, uint16_t usn, uint32_t seed) {
    std::vector<uint8_t> record(size);
    std::mt19937 random(seed);
    for (auto& byte : record) byte = static_cast<uint8_t>(random());
    CByteWriter writer(record);
    writer.CopyFrom(0, "FILE", 4);
    writer.U16(4, usaOffset);
    writer.U16(6, usaCount);
    if (usaOffset + 2u <= size) writer.U16(usaOffset, usn);
    return record;
}


}  // namespace

TEST(Fixups, ProtectThenUnprotectRestoresEveryRecord) {
    // Three 1024-byte FILE records and one 4096-byte INDX-style layout.
    std::vector<uint8_t> buffer;
    for (uint32_t r = 0; r < 3; ++r) {
        auto record = MakeRecord(1024, 48, 3, static_cast<uint16_t>(0x10 + r), r);
        buffer.insert(buffer.end(), record.begin(), record.end());
    }
    const std::vector<uint8_t> original = buffer;
    MstProtect(buffer, 3, 1024);
    CByteReader reader(buffer);
    for (uint32_t r = 0; r < 3; ++r) {
        uint16_t usn = static_cast<uint16_t>(0x10 + r);
        EXPECT_EQ(reader.U16(r * 1024 + 510), usn);
        EXPECT_EQ(reader.U16(r * 1024 + 1022), usn);
        EXPECT_EQ(reader.U16(r * 1024 + 50), CByteReader(original).U16(r * 1024 + 510));
        EXPECT_EQ(reader.U16(r * 1024 + 52), CByteReader(original).U16(r * 1024 + 1022));
    }
    MstUnprotect(buffer, 3, 1024);
    // The array keeps the saved tails; everything else is as before.
    for (uint32_t r = 0; r < 3; ++r)
        for (uint32_t i = 0; i < 1024; ++i) {
            if (i >= 50 && i < 54) continue;
            ASSERT_EQ(buffer[r * 1024 + i], original[r * 1024 + i]) << r << ":" << i;
        }

    auto block = MakeRecord(4096, 40, 9, 7, 99);
    auto blockOriginal = block;
    MstProtect(block, 1, 4096);
    MstUnprotect(block, 1, 4096);
    EXPECT_TRUE(std::equal(block.begin() + 58, block.end(), blockOriginal.begin() + 58));
}

TEST(Fixups, UsnZeroBecomesOneAndIsNeverAdvanced) {
    auto record = MakeRecord(1024, 48, 3, 0, 1);
    MstProtect(record, 1, 1024);
    EXPECT_EQ(CByteReader(record).U16(48), 1);
    MstUnprotect(record, 1, 1024);
    MstProtect(record, 1, 1024);
    EXPECT_EQ(CByteReader(record).U16(48), 1);

    auto top = MakeRecord(1024, 48, 3, 0xFFFF, 2);
    MstProtect(top, 1, 1024);
    EXPECT_EQ(CByteReader(top).U16(48), 0xFFFF);
    EXPECT_EQ(CByteReader(top).U16(1022), 0xFFFF);
}

TEST(Fixups, TornStrideIsReportedAtItsIndexAfterRestoringEarlierOnes) {
    auto record = MakeRecord(4096, 48, 9, 0x1234, 3);
    auto original = record;
    MstProtect(record, 1, 4096);
    CByteWriter(record).U16(3 * 512 + 510 - 512, 0xBEEF);  // stride 2 torn
    EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 1, 4096); }),
              "MST: usn mismatch at index 2 (value: 48879, expected: 4660)");
    EXPECT_EQ(CByteReader(record).U16(510), CByteReader(original).U16(510));
    EXPECT_EQ(CByteReader(record).U16(1022), CByteReader(original).U16(1022));

    // A mismatch in the second record of a buffer names that record's stride.
    std::vector<uint8_t> two = MakeRecord(1024, 48, 3, 5, 4);
    auto second = MakeRecord(1024, 48, 3, 6, 5);
    two.insert(two.end(), second.begin(), second.end());
    MstProtect(two, 2, 1024);
    two[1024 + 1022] ^= 1;
    EXPECT_EQ(FailureOf([&] { MstUnprotect(two, 2, 1024); }), "MST: usn mismatch at index 1 (value: 7, expected: 6)");
}

TEST(Fixups, InvalidHeadersAndShortBuffersAreRefused) {
    auto invalid = [](uint32_t size, uint16_t offset, uint16_t count) {
        auto record = MakeRecord(size, offset, count, 1, 7);
        return FailureOf([&] { MstUnprotect(record, 1, size); }) + " | " +
               FailureOf([&] { MstProtect(record, 1, size); });
    };
    const std::string type = "1162627398";  // "FILE"
    EXPECT_EQ(invalid(1024, 48, 2), "Invalid record. Type: " + type + ", size: 1024, update sequence array offset: 48, count: 2 | "
                                    "Invalid record. Type: " + type + ", size: 1024, update sequence array offset: 48, count: 2");
    EXPECT_NE(invalid(1024, 48, 4).find("count: 4"), std::string::npos);
    EXPECT_NE(invalid(4096, 41, 9).find("offset: 41"), std::string::npos);
    EXPECT_NE(invalid(1024, 48, 0).find("Invalid record"), std::string::npos);
    EXPECT_NE(invalid(1024, 1022, 3).find("Invalid record"), std::string::npos);  // array past the record
    // The header rule lets the last entry end 2 bytes past the record; the access check catches it.
    EXPECT_NE(invalid(1024, 1020, 3).find("Invalid offset: 1024 (buffer size: 1024)"), std::string::npos);
    EXPECT_NE(invalid(1000, 48, 3).find("size: 1000"), std::string::npos);
    EXPECT_EQ(invalid(1024, 1018, 3).find("Invalid record"), std::string::npos);  // array ends exactly at the end

    auto record = MakeRecord(1024, 48, 3, 1, 8);
    EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 2, 1024); }), "Invalid offset: 0 (buffer size: 1024)");

    std::vector<uint8_t> garbage(64, 0xAB);
    auto untouched = garbage;
    MstUnprotect(garbage, 0, 1024);
    MstProtect(garbage, 5, 0);
    EXPECT_EQ(garbage, untouched);
}
