#include <gtest/gtest.h>

#include "disk/RecordFormat.h"
#include "support/Images.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// Builds a record of bare attribute records by hand (not through the
// serialiser under test).
struct RecordBuilder {
    RecordBuilder() : buffer(BuildRecordHeader(1024, 30, 0, 1, 1)), position(FirstAttributeOffset(1024)) {}
    RecordBuilder& Add(uint32_t type, std::u16string_view name, bool nonResident, uint32_t valueLength = 0,
                       uint64_t lowestVcn = 0) {
        size_t header = nonResident ? AttrRecord::NonResidentHeaderSize : AttrRecord::ResidentHeaderSize;
        size_t body = header + RoundUp(name.size() * 2, 8);
        uint32_t length = static_cast<uint32_t>(nonResident ? body + 8 : body + RoundUp(valueLength, 8));
        CByteWriter record = Writer().Sub(position, length);
        record.U32(AttrRecord::Type, type);
        record.U32(AttrRecord::Length, length);
        record.U8(AttrRecord::NonResident, nonResident ? 1 : 0);
        record.U8(AttrRecord::NameLength, static_cast<uint8_t>(name.size()));
        record.U16(AttrRecord::NameOffset, static_cast<uint16_t>(header));
        record.Utf16(header, name);
        if (nonResident) {
            record.U64(AttrRecord::LowestVcn, lowestVcn);
            record.U16(AttrRecord::MappingPairsOffset, static_cast<uint16_t>(body));
        } else {
            record.U32(AttrRecord::ValueLength, valueLength);
            record.U16(AttrRecord::ValueOffset, static_cast<uint16_t>(body));
        }
        offsets.push_back(static_cast<uint32_t>(position));
        position += length;
        return *this;
    }
    MftRecBufferPtr End() {
        Writer().U32(position, AttrType::End);
        return buffer;
    }
    CByteWriter Writer() { return CByteWriter(buffer->bytes); }

    MftRecBufferPtr buffer;
    size_t position;
    std::vector<uint32_t> offsets;
};

}  // namespace

TEST(RecordFormat, ParseGroupsExtentsAndNumbersResidentOccurrences) {
    RecordBuilder builder;
    builder.Add(AttrType::FileName, u"", false, 90)
        .Add(AttrType::FileName, u"", false, 80)
        .Add(AttrType::Data, u"", true, 0, 10)
        .Add(AttrType::Data, u"", true, 0, 0)
        .Add(AttrType::Data, u"", true, 0, 10)  // a second extent at VCN 10: the first one read wins
        .Add(AttrType::Data, u"ads", false, 5);
    ParseMap parsed;
    ParseAttributeRecords(builder.End(), parsed);
    ASSERT_EQ(parsed.size(), 4u);
    EXPECT_EQ((parsed[SAttributeKey{AttrType::FileName, u"", 1}][0].offset), builder.offsets[1]);
    EXPECT_EQ((parsed[SAttributeKey{AttrType::Data, u"ads", 0}][0].offset), builder.offsets[5]);
    // Extents in VCN order, whatever their order in the record.
    const AttributeLocations& extents = parsed[SAttributeKey{AttrType::Data, u"", 0}];
    ASSERT_EQ(extents.size(), 2u);
    EXPECT_EQ(extents[0].offset, builder.offsets[3]);
    EXPECT_EQ(extents[1].offset, builder.offsets[2]);
}

TEST(RecordFormat, ParseRefusesRecordsThatLeaveTheirBounds) {
    // One damaged field of a single attribute record, and how the parse fails.
    struct Damage {
        size_t field, width;
        uint64_t value;
        std::string failure;
        bool nonResident = false;
    };
    const size_t at = FirstAttributeOffset(1024);
    const std::vector<Damage> damages = {
        {AttrRecord::Length, 4, 0, "Attribute length cannot be empty. Offset: 56, type: "},
        {AttrRecord::Length, 4, 0x7FFFFFF8, "Attribute record at offset 56 (type 128) runs past the record"},
        {AttrRecord::NameLength, 1, 200, "Attribute name at offset 56 (type 128) runs past its record"},
        {AttrRecord::ValueLength, 4, 0xFFFFFFF0, "Resident value of attribute at offset 56 (type 128) runs past its record"},
        {AttrRecord::NonResident, 1, 1, "Attribute record at offset 56 (type 128) is too short: length 40"},
        {AttrRecord::Length, 4, 1024 - at - 2, "Attribute record at offset 56 (type 128) has length 966, not a multiple of 8"},
        {AttrRecord::NonResident, 1, 2, "Attribute record at offset 56 (type 128) has an unknown form"},
        {AttrRecord::MappingPairsOffset, 2, AttrRecord::LowestVcn, "Mapping pairs of attribute at offset 56 (type 128) lie past", true},
        {AttrRecord::Length, 4, 1024 - at, ""},  // no end marker: the walk stops at the record's end
    };
    for (const Damage& damage : damages) {
        RecordBuilder builder;
        builder.Add(AttrType::Data, u"name", damage.nonResident, 8).End();
        builder.Writer().PutLe(at + damage.field, damage.value, damage.width);
        ParseMap parsed;
        std::string failure = FailureOf([&] { ParseAttributeRecords(builder.buffer, parsed); });
        EXPECT_EQ(failure.substr(0, damage.failure.size()), damage.failure);
        EXPECT_EQ(failure.empty(), damage.failure.empty()) << failure;
    }
}
