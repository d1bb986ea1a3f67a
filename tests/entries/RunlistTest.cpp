#include <gtest/gtest.h>

#include "disk/RecordFormat.h"
#include "disk/Runlist.h"
#include "support/Images.h"

using namespace volcore;
using namespace volcore::test;

namespace {

constexpr size_t kPairs = AttrRecord::NonResidentHeaderSize;  // where the mapping pairs start

// A non-resident attribute record with `pairs` as its mapping pairs.
std::vector<uint8_t> RecordWithPairs(const std::vector<uint8_t>& pairs, uint64_t highestVcn = 0) {
    std::vector<uint8_t> record(RoundUp(kPairs + pairs.size(), 8), 0);
    CByteWriter writer(record);
    writer.U32(AttrRecord::Type, AttrType::Data);
    writer.U32(AttrRecord::Length, static_cast<uint32_t>(record.size()));
    writer.U8(AttrRecord::NonResident, 1);
    writer.U64(AttrRecord::HighestVcn, highestVcn);
    writer.U16(AttrRecord::MappingPairsOffset, kPairs);
    writer.CopyFrom(kPairs, pairs.data(), pairs.size());
    return record;
}

RunMap Decode(const std::vector<uint8_t>& record) {
    RunMap runs;
    DecodeMappingPairs(CByteReader(record), runs);
    return runs;
}

// Encodes into a record; returns the pair bytes (terminator included).
std::vector<uint8_t> Encode(const RunMap& runs) {
    std::vector<uint8_t> record(1024, 0xCC);
    uint32_t length = EncodeMappingPairs(runs, CByteWriter(record), kPairs);
    EXPECT_EQ(CByteReader(record).U32(AttrRecord::Length), length);
    EXPECT_EQ(length % 8, 0u);
    size_t end = kPairs;
    while (record[end] != 0) end += 1 + (record[end] & 0x0F) + (record[end] >> 4);
    for (size_t i = end; i < length; ++i) EXPECT_EQ(record[i], 0) << i;  // terminator and padding
    return std::vector<uint8_t>(record.begin() + kPairs, record.begin() + static_cast<long>(end) + 1);
}

}  // namespace

TEST(Runlist, EncodesTheShortestMappingPairs) {
    EXPECT_EQ(Encode({{VCN{0}, {100, 16}}}), (std::vector<uint8_t>{0x11, 0x10, 0x64, 0x00}));
    // 0x80 needs a second length byte to stay positive; so does the LCN delta 0x80.
    EXPECT_EQ(Encode({{VCN{0}, {0x80, 0x80}}}), (std::vector<uint8_t>{0x22, 0x80, 0x00, 0x80, 0x00, 0x00}));
    // Sixteen clusters below the previous run: one offset byte 0xF0.
    EXPECT_EQ(Encode({{VCN{0}, {100, 4}}, {VCN{4}, {84, 1}}}),
              (std::vector<uint8_t>{0x11, 0x04, 0x64, 0x11, 0x01, 0xF0, 0x00}));
    // Same LCN as the previous run: an explicit zero delta, not a sparse run.
    RunMap same = {{VCN{0}, {7, 1}}, {VCN{1}, {7, 2}}};
    std::vector<uint8_t> bytes = Encode(same);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x11, 0x01, 0x07, 0x11, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Decode(RecordWithPairs(bytes)), same);
    // Sparse runs have no offset bytes and leave the running LCN alone.
    RunMap sparse = {{VCN{0}, {50, 1}}, {VCN{1}, {SparseLcn, 0x1000}}, {VCN{0x1001}, {52, 1}}};
    EXPECT_EQ(Encode(sparse), (std::vector<uint8_t>{0x11, 0x01, 0x32, 0x02, 0x00, 0x10, 0x11, 0x01, 0x02, 0x00}));

    EXPECT_EQ(Encode({}), std::vector<uint8_t>{0x00});  // no runs: only the terminator
}

TEST(Runlist, CorruptPairsAreRefused) {
    auto failure = [](const std::vector<uint8_t>& pairs, uint64_t highest = 0) {
        std::vector<uint8_t> record = RecordWithPairs(pairs, highest);
        return FailureOf([&] { Decode(record); });
    };
    EXPECT_EQ(failure({0x10, 0x05, 0x00}), "Corrupted runlist: length bytes 0");
    EXPECT_EQ(failure({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}), "Corrupted runlist: length bytes 9");
    EXPECT_EQ(failure({0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}), "Corrupted runlist: LCN bytes 10");
    EXPECT_EQ(failure({0x11, 0xFF, 0x05, 0x00}), "Corrupted runlist: length -1");
    EXPECT_EQ(failure({0x11, 0x00, 0x05, 0x00}), "Corrupted runlist: length 0");
    EXPECT_EQ(failure({0x11, 0x01, 0xFF, 0x00}).rfind("Corrupted runlist: LCN", 0), 0u);  // goes negative
    EXPECT_EQ(failure({0x11, 0x04, 0x05, 0x00}, 9), "Corrupted runlist: highest VCN 9, current 4");
    EXPECT_EQ(failure({0x00}, 3), "Corrupted runlist: highest VCN 3, current 0");
    // LCN overflow past 63 bits.
    EXPECT_EQ(failure({0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x7F, 0x00})
                  .rfind("Corrupted runlist: LCN", 0),
              0u);

    // Pairs that run to the record's end: 0x21 wants 3 bytes after the header.
    std::vector<uint8_t> record = RecordWithPairs({0x11, 0x01, 0x05, 0x11, 0x01, 0x01, 0x21, 0x01});
    EXPECT_EQ(FailureOf([&] { Decode(record); }), "Corrupted runlist: LCN bytes 3");
    // A pair list without terminator that ends exactly at the record's end is complete.
    record[kPairs + 6] = 0x01;  // one sparse cluster, its length byte the record's last byte
    EXPECT_EQ(Decode(record).size(), 3u);
}

TEST(Runlist, EncodingRefusesTooLittleRoomAndBrokenMaps) {
    RunMap runs = {{VCN{0}, {100, 16}}};
    std::vector<uint8_t> tight(kPairs + 3, 0);  // the pair fits, its terminator does not
    EXPECT_EQ(FailureOf([&] { EncodeMappingPairs(runs, CByteWriter(tight), kPairs); }),
              "Cannot serialize mapping pairs: buffer is too small");
    std::vector<uint8_t> noAlign(kPairs + 6, 0);
    EXPECT_EQ(FailureOf([&] { EncodeMappingPairs(runs, CByteWriter(noAlign), kPairs); }),
              "Cannot align non-resident mapping pairs: buffer is too small");
    std::vector<uint8_t> room(128, 0);
    for (const RunMap& broken : {RunMap{{VCN{0}, {100, 16}}, {VCN{20}, {200, 1}}}, RunMap{{VCN{3}, {100, 16}}}})
        EXPECT_NE(FailureOf([&] { EncodeMappingPairs(broken, CByteWriter(room), kPairs); }).find("does not follow"),
                  std::string::npos);
}
