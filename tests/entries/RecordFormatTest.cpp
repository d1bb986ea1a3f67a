#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "AttributeTestSupport.h"
#include "entries/RecordFormat.h"

using namespace volcore;
using namespace volcore::test;

namespace {

// Writes a bare attribute record by hand (not through the serialiser under
// test) and returns its length.
uint32_t PutAttribute(const CByteWriter& record, size_t position, uint32_t type, std::u16string_view name,
                      bool nonResident, uint32_t valueLength = 0, uint64_t lowestVcn = 0) {
    size_t header = nonResident ? 64 : 24;
    size_t body = header + RoundUp(name.size() * 2, 8);
    uint32_t length = static_cast<uint32_t>(nonResident ? body + 8 : body + RoundUp(valueLength, 8));
    record.U32(position, type);
    record.U32(position + 4, length);
    record.U8(position + 8, nonResident ? 1 : 0);
    record.U8(position + 9, static_cast<uint8_t>(name.size()));
    record.U16(position + 10, static_cast<uint16_t>(header));
    record.Utf16(position + header, name);
    if (nonResident) {
        record.U64(position + 16, lowestVcn);
        record.U16(position + 32, static_cast<uint16_t>(body));
    } else {
        record.U32(position + 16, valueLength);
        record.U16(position + 20, static_cast<uint16_t>(body));
    }
    return length;
}

struct RecordBuilder {
    RecordBuilder() : buffer(BuildRecordHeader(1024, 30, 0, 1, 1)), position(FirstAttributeOffset(1024)) {}
    RecordBuilder& Add(uint32_t type, std::u16string_view name, bool nonResident, uint32_t valueLength = 0,
                       uint64_t lowestVcn = 0) {
        offsets.push_back(static_cast<uint32_t>(position));
        position += PutAttribute(Writer(), position, type, name, nonResident, valueLength, lowestVcn);
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

std::string ParseFailure(const MftRecBufferPtr& buffer) {
    ParseMap parsed;
    return FailureOf([&] { ParseAttributeRecords(buffer, parsed); });
}

}  // namespace

TEST(RecordFormat, FreshHeadersFollowTheRecordSize) {
    auto small = BuildRecordHeader(1024, MakeReference(5, 7), 0, 0x0003, 1);
    CByteReader header(small->bytes);
    ASSERT_EQ(small->bytes.size(), 1024u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header.Data()), 4), "FILE");
    EXPECT_EQ(header.U16(FileRecord::UsaOffset), 48);
    EXPECT_EQ(header.U16(FileRecord::UsaCount), 3);
    EXPECT_EQ(header.U16(FileRecord::FirstAttribute), 56);
    EXPECT_EQ(header.U32(FileRecord::BytesInUse), 56u);
    EXPECT_EQ(header.U32(FileRecord::BytesAllocated), 1024u);
    EXPECT_EQ(header.U16(FileRecord::SequenceNumber), 5);  // records 1-15 carry their number
    EXPECT_EQ(header.U32(FileRecord::RecordNumber), 5u);
    EXPECT_TRUE(std::all_of(small->bytes.begin() + 48, small->bytes.end(), [](uint8_t b) { return b == 0; }));

    auto large = BuildRecordHeader(4096, MakeReference(0x12345678, 1), MakeReference(20, 3), 0, 0);
    CByteReader extension(large->bytes);
    EXPECT_EQ(extension.U16(FileRecord::UsaCount), 9);
    EXPECT_EQ(extension.U16(FileRecord::FirstAttribute), 72);
    EXPECT_EQ(extension.U64(FileRecord::BaseReference), MakeReference(20, 3));
    EXPECT_EQ(extension.U16(FileRecord::SequenceNumber), 1);
    EXPECT_EQ(FreshSequenceNumber(0), 1);
    EXPECT_EQ(FreshSequenceNumber(1), 1);
    EXPECT_EQ(FreshSequenceNumber(15), 15);
    EXPECT_EQ(FreshSequenceNumber(16), 1);
    EXPECT_THROW(BuildRecordHeader(1024, 0x100000000ull, 0, 1, 1), std::overflow_error);
}

TEST(RecordFormat, KeysOrderByTypeThenUnsignedNameThenOccurrence) {
    std::vector<AttributeKey> keys = {
        {AttrType::Data, u"\xFFFF", 0}, {AttrType::Data, u"ab", 0},   {AttrType::Data, u"a", 0},
        {AttrType::Data, u"", 0},        {AttrType::FileName, u"", 1}, {AttrType::FileName, u"", 0},
        {AttrType::LoggedUtilityStream, u"", 0}, {AttrType::StandardInformation, u"", 0},
    };
    std::sort(keys.begin(), keys.end());
    std::vector<AttributeKey> expected = {
        {AttrType::StandardInformation, u"", 0}, {AttrType::FileName, u"", 0}, {AttrType::FileName, u"", 1},
        {AttrType::Data, u"", 0}, {AttrType::Data, u"a", 0}, {AttrType::Data, u"ab", 0},
        {AttrType::Data, u"\xFFFF", 0}, {AttrType::LoggedUtilityStream, u"", 0},
    };
    EXPECT_EQ(keys, expected);
}

TEST(RecordFormat, AttrDefTableHoldsFifteenDefinitionsAndAZeroEntry) {
    std::vector<uint8_t> table = BuildAttrDefTable();
    ASSERT_EQ(table.size(), 2560u);
    CByteReader reader(table);
    const size_t fileName = 2 * 160, last = 14 * 160;
    EXPECT_EQ(reader.Utf16(fileName, 11), std::u16string(u"$FILE_NAME") + u'\0');
    EXPECT_EQ(reader.U32(fileName + 128), 0x30u);
    EXPECT_EQ(reader.U32(fileName + 140), 0x42u);
    EXPECT_EQ(reader.U64(fileName + 144), 68u);
    EXPECT_EQ(reader.U64(fileName + 152), 578u);
    EXPECT_EQ(reader.U64(7 * 160 + 152), ~uint64_t{0});  // $DATA has no limit
    EXPECT_EQ(reader.U32(last + 128), 0x100u);
    EXPECT_TRUE(std::all_of(table.begin() + 15 * 160, table.end(), [](uint8_t b) { return b == 0; }));
}

TEST(RecordFormat, ParseGroupsExtentsAndNumbersResidentOccurrences) {
    RecordBuilder builder;
    builder.Add(AttrType::StandardInformation, u"", false, 72)
        .Add(AttrType::FileName, u"", false, 90)
        .Add(AttrType::FileName, u"", false, 80)
        .Add(AttrType::Data, u"", true, 0, 10)
        .Add(AttrType::Data, u"", true, 0, 0)
        .Add(AttrType::Data, u"", true, 0, 10)  // a second extent at VCN 10: the first one read wins
        .Add(AttrType::Data, u"ads", false, 5);
    ParseMap parsed;
    ParseAttributeRecords(builder.End(), parsed);

    std::vector<AttributeKey> keys;
    for (const auto& [key, locations] : parsed) keys.push_back(key);
    std::vector<AttributeKey> expected = {{AttrType::StandardInformation, u"", 0},
                                          {AttrType::FileName, u"", 0},
                                          {AttrType::FileName, u"", 1},
                                          {AttrType::Data, u"", 0},
                                          {AttrType::Data, u"ads", 0}};
    ASSERT_EQ(keys, expected);
    EXPECT_EQ(parsed[expected[1]][0].offset, builder.offsets[1]);
    EXPECT_EQ(parsed[expected[2]][0].offset, builder.offsets[2]);
    const AttributeLocations& extents = parsed[expected[3]];
    ASSERT_EQ(extents.size(), 2u);
    EXPECT_EQ(extents[0].offset, builder.offsets[4]);
    EXPECT_EQ(extents[1].offset, builder.offsets[3]);
    EXPECT_EQ(extents[1].LowestVcn(), 10u);
    EXPECT_TRUE(extents[1].IsNonResident());
    EXPECT_EQ(extents[1].Record().Size(), 72u);
    EXPECT_EQ(parsed[expected[4]][0].Record().U32(16), 5u);

    // A further record of the same entry continues the same map.
    RecordBuilder extension;
    extension.Add(AttrType::Data, u"", true, 0, 20).Add(AttrType::FileName, u"", false, 70);
    ParseAttributeRecords(extension.End(), parsed);
    EXPECT_EQ(parsed[expected[3]].size(), 3u);
    EXPECT_EQ(parsed[expected[3]][2].buffer, extension.buffer);
    EXPECT_EQ(parsed.count(AttributeKey{AttrType::FileName, u"", 2}), 1u);

    ParseMap empty;
    ParseAttributeRecords(RecordBuilder().End(), empty);
    EXPECT_TRUE(empty.empty());
}

TEST(RecordFormat, ParseRefusesRecordsThatLeaveTheirBounds) {
    // One damaged field of a single attribute record: (field offset, width, value, expected failure).
    struct Damage {
        size_t field, width;
        uint64_t value;
        std::string failure;
    };
    const std::vector<Damage> damages = {
        {4, 4, 0, "Attribute length cannot be empty. Offset: 56, type: "},
        {4, 4, 0x7FFFFFF8, "Attribute record at offset 56 (type 128) runs past the record"},
        {9, 1, 200, "Attribute name at offset 56 (type 128) runs past its record"},
        {16, 4, 0xFFFFFFF0, "Resident value of attribute at offset 56 (type 128) runs past its record"},
        {8, 1, 1, "Attribute record at offset 56 (type 128) is too short: length 40"},  // now non-resident
        {4, 4, 1024 - 56 - 2, "Invalid offset: 1022 (buffer size: 1024)"},  // next header cut by the end
    };
    for (const Damage& damage : damages) {
        RecordBuilder builder;
        builder.Add(AttrType::Data, u"name", false, 8);
        builder.End();
        builder.Writer().PutLe(56 + damage.field, damage.value, damage.width);
        EXPECT_EQ(ParseFailure(builder.buffer).substr(0, damage.failure.size()), damage.failure);
    }
    // Without an end marker the walk stops at the record's end.
    RecordBuilder builder;
    builder.Add(AttrType::Data, u"", false, 8);
    builder.Writer().U32(56 + 4, 1024 - 56);
    ParseMap parsed;
    ParseAttributeRecords(builder.buffer, parsed);
    EXPECT_EQ(parsed.size(), 1u);
}
