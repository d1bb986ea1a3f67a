#include <gtest/gtest.h>

#include "base/Bytes.h"
#include "support/Images.h"
#include "disk/Fixups.h"

using namespace volcore;
using volcore::test::FailureOf;
using volcore::test::Pattern;

namespace {

// One record of `size` bytes with reproducible contents, its update sequence
// array at `usaOffset` and sequence number 1.
std::vector<uint8_t> Record(uint32_t size, uint16_t usaOffset) {
    std::vector<uint8_t> bytes = Pattern(size, 1);
    CByteWriter record(bytes);
    record.CopyFrom(UpdateSequence::Signature, "FILE", 4);
    record.U16(UpdateSequence::Offset, usaOffset);
    record.U16(UpdateSequence::Count, static_cast<uint16_t>(UpdateSequence::CountFor(size)));
    if (usaOffset + 2u <= size) record.U16(usaOffset, 1);
    return bytes;
}

}  // namespace

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
        auto record = Record(size, offset);
        CByteWriter(record).U16(UpdateSequence::Count, count);
        EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 1, size); }), failure);
        EXPECT_EQ(FailureOf([&] { MstProtect(record, 1, size); }), failure);
    }
    // The header rule lets the array end 2 bytes past the record; the access check catches it.
    auto pastTheEnd = Record(1024, 1020);
    EXPECT_EQ(FailureOf([&] { MstProtect(pastTheEnd, 1, 1024); }), "Invalid offset: 1024 (buffer size: 1024)");
    auto atTheEnd = Record(1024, 1018);
    MstProtect(atTheEnd, 1, 1024);
    EXPECT_EQ(FailureOf([&] { MstUnprotect(atTheEnd, 1, 1024); }), "");
    auto record = Record(1024, 48);
    EXPECT_EQ(FailureOf([&] { MstUnprotect(record, 2, 1024); }), "Invalid offset: 0 (buffer size: 1024)");
    std::vector<uint8_t> garbage(64, 0xAB), untouched = garbage;
    MstUnprotect(garbage, 0, 1024);
    MstProtect(garbage, 5, 0);
    EXPECT_EQ(garbage, untouched);
}
