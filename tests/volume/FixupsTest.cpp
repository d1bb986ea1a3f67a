#include <gtest/gtest.h>

#include "base/Bytes.h"
#include "support/Images.h"
#include "volume/Fixups.h"

using namespace volcore;
using volcore::test::FailureOf;
using volcore::test::Pattern;

namespace {

constexpr uint32_t kStride = UpdateSequence::Stride;

// `count` records of `size` bytes with reproducible contents, each with its
// update sequence array at `usaOffset` and sequence number usn + its index.
std::vector<uint8_t> Records(uint32_t count, uint32_t size, uint16_t usaOffset, uint16_t usn, uint32_t seed = 1) {
    std::vector<uint8_t> records = Pattern(count * size, seed);
    for (uint32_t r = 0; r < count; ++r) {
        CByteWriter record = CByteWriter(records).Sub(r * size, size);
        record.CopyFrom(UpdateSequence::Signature, "FILE", 4);
        record.U16(UpdateSequence::Offset, usaOffset);
        record.U16(UpdateSequence::Count, static_cast<uint16_t>(UpdateSequence::CountFor(size)));
        if (usaOffset + 2u <= size) record.U16(usaOffset, static_cast<uint16_t>(usn + r));
    }
    return records;
}

}  // namespace

TEST(Fixups, ProtectStampsEveryStrideAndUnprotectRestoresIt) {
    for (auto [count, size, usaOffset] : {std::tuple{3u, 1024u, 48}, {1u, 4096u, 40}}) {
        std::vector<uint8_t> buffer = Records(count, size, static_cast<uint16_t>(usaOffset), 0x10);
        const std::vector<uint8_t> original = buffer;
        MstProtect(buffer, count, size);
        // Each record carries its own number at the end of its last stride.
        EXPECT_EQ(CByteReader(buffer).U16(count * size - 2), 0x10 + count - 1);
        MstUnprotect(buffer, count, size);
        // Everything but the array, which keeps the saved tails, is as before.
        for (uint32_t i = 0; i < buffer.size(); ++i) {
            bool inArray = i % size >= usaOffset + 2u && i % size < usaOffset + 2 * UpdateSequence::CountFor(size);
            ASSERT_TRUE(inArray || buffer[i] == original[i]) << i;
        }
    }
    // Number 0 is never stamped (it becomes 1), and the number is never advanced.
    for (auto [usn, stamped] : {std::pair{0, 1}, {0xFFFF, 0xFFFF}}) {
        auto record = Records(1, 1024, 48, static_cast<uint16_t>(usn));
        MstProtect(record, 1, 1024);
        MstUnprotect(record, 1, 1024);
        MstProtect(record, 1, 1024);
        EXPECT_EQ(CByteReader(record).U16(1024 - 2), stamped);
    }
}

TEST(Fixups, TornStrideIsReportedAtItsIndexAfterRestoringEarlierOnes) {
    auto record = Records(1, 4096, 48, 0x1234);
    auto original = record;
    MstProtect(record, 1, 4096);
    CByteWriter(record).U16(3 * kStride - 2, 0xBEEF);
    EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 1, 4096); }), "MST: usn mismatch at index 2 (value: 48879, expected: 4660)");
    EXPECT_EQ(CByteReader(record).U16(kStride - 2), CByteReader(original).U16(kStride - 2));

    // In the second record of a buffer the index is that record's stride.
    auto two = Records(2, 1024, 48, 5);
    MstProtect(two, 2, 1024);
    two[2048 - 2] ^= 1;
    EXPECT_EQ(FailureOf([&] { MstUnprotect(two, 2, 1024); }), "MST: usn mismatch at index 1 (value: 7, expected: 6)");
}

TEST(Fixups, InvalidHeadersAndShortBuffersAreRefused) {
    // (size, array offset, count) -> how both directions fail.
    const std::string invalid = "Invalid record. Type: 1162627398, size: ";
    const std::vector<std::tuple<uint32_t, uint16_t, uint16_t, std::string>> cases = {
        {1024, 48, 2, invalid + "1024, update sequence array offset: 48, count: 2"},
        {1024, 48, 4, invalid + "1024, update sequence array offset: 48, count: 4"},
        {4096, 41, 9, invalid + "4096, update sequence array offset: 41, count: 9"},
        {1024, 48, 0, invalid + "1024, update sequence array offset: 48, count: 0"},
        {1024, 1022, 3, invalid + "1024, update sequence array offset: 1022, count: 3"},
        {1000, 48, 3, invalid + "1000, update sequence array offset: 48, count: 3"},
    };
    for (const auto& [recordSize, offset, count, failure] : cases) {
        const uint32_t size = recordSize;
        auto record = Records(1, size, offset, 1);
        CByteWriter(record).U16(UpdateSequence::Count, count);
        EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 1, size); }), failure);
        EXPECT_EQ(FailureOf([&] { MstProtect(record, 1, size); }), failure);
    }
    // The header rule lets the array end 2 bytes past the record; the access check catches it.
    auto pastTheEnd = Records(1, 1024, 1020, 1);
    EXPECT_EQ(FailureOf([&] { MstProtect(pastTheEnd, 1, 1024); }), "Invalid offset: 1024 (buffer size: 1024)");
    auto atTheEnd = Records(1, 1024, 1018, 1);
    MstProtect(atTheEnd, 1, 1024);
    EXPECT_EQ(FailureOf([&] { MstUnprotect(atTheEnd, 1, 1024); }), "");
    auto record = Records(1, 1024, 48, 1);
    EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 2, 1024); }), "Invalid offset: 0 (buffer size: 1024)");
    std::vector<uint8_t> garbage(64, 0xAB), untouched = garbage;
    MstUnprotect(garbage, 0, 1024);
    MstProtect(garbage, 5, 0);
    EXPECT_EQ(garbage, untouched);
}
