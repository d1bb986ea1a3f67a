#include <gtest/gtest.h>

#include "entries/Attribute.h"
#include "disk/Runlist.h"
#include "support/EngineVolume.h"

using namespace volcore;
using namespace volcore::test;

namespace {

const uint32_t kAt = FirstAttributeOffset(1024);

// One non-resident base extent with `runs`, built by hand in a record buffer.
AttributeLocations NonResidentExtent(const RunMap& runs, uint64_t dataSize, uint16_t flags = 0,
                                     uint64_t initializedSize = ~uint64_t{0}) {
    auto buffer = CMftRecBuffer::Zeroed(1024);
    CByteWriter record = CByteWriter(buffer->bytes).Sub(kAt, 1024 - kAt);
    record.U32(AttrRecord::Type, AttrType::Data);
    record.U8(AttrRecord::NonResident, 1);
    record.U16(AttrRecord::NameOffset, AttrRecord::NonResidentHeaderSize);
    record.U16(AttrRecord::Flags, flags);
    uint64_t end = runs.empty() ? 0 : runs.rbegin()->first.value + runs.rbegin()->second.length;
    record.U64(AttrRecord::HighestVcn, end == 0 ? 0 : end - 1);
    record.U16(AttrRecord::MappingPairsOffset, AttrRecord::NonResidentHeaderSize);
    record.U64(AttrRecord::DataSize, dataSize);
    record.U64(AttrRecord::InitializedSize, initializedSize == ~uint64_t{0} ? dataSize : initializedSize);
    EncodeMappingPairs(runs, record, AttrRecord::NonResidentHeaderSize);
    return {SAttributeLocation{buffer, kAt}};
}

class AttributeOnImage : public ::testing::Test {
protected:
    CVolume& Volume() { return image.Volume(); }
    std::vector<uint8_t>& Disk() { return image.Bytes(); }

    EngineVolume image{ImageOptions{}, ELoadDepth::BootSector};
};

}  // namespace

TEST_F(AttributeOnImage, ResidentDataStaysInsideItsSize) {
    CAttribute attribute(Volume(), MakeReference(40, 1), AttrType::Data, u"", true);
    attribute.SetSize(100);
    std::vector<uint8_t> value = Pattern(100, 1);
    attribute.WriteData(0, value.data(), 100);
    uint8_t byte = 0;
    attribute.ReadData(99, &byte, 1);  // ends exactly at the data size
    EXPECT_EQ(FailureOf([&] { attribute.ReadData(0, &byte, 0); }),
              "NtfsAttr::ReadData: invalid arguments (offset: 0, buffer size: 0, data size: 100)");
    EXPECT_EQ(FailureOf([&] { attribute.ReadData(100, &byte, 1); }),
              "NtfsAttr::ReadData: invalid arguments (offset: 100, buffer size: 1, data size: 100)");
    EXPECT_EQ(FailureOf([&] { attribute.WriteData(~uint64_t{0}, &byte, 2); }),
              "NtfsAttr::WriteData: invalid arguments (offset: 18446744073709551615, buffer size: 2, data size: 100)");

    // Growing past what a record holds needs clusters: without an allocator
    // it fails and the value stays as it was.
    EXPECT_EQ(FailureOf([&] { attribute.SetSize(896); }),
              "Cannot allocate 1 cluster(s) in DATA: cluster allocator is not initialized.");
    EXPECT_FALSE(attribute.IsNonResident());
    EXPECT_EQ(attribute.ReadAll(), value);
}

TEST_F(AttributeOnImage, HostileRunsNeverReachTheDevice) {
    const uint64_t clusters = Disk().size() / 4096;
    std::vector<uint8_t> buffer(8192, 0xAA);
    uint64_t writes = image.Device().writeCount;

    // A run past the end of the volume.
    CAttribute outside(Volume(), 0, NonResidentExtent({{VCN{0}, {clusters - 1, 2}}}, 8192));
    EXPECT_NE(FailureOf([&] { outside.WriteData(4096, buffer.data(), 10); }).find("lies outside the volume"),
              std::string::npos);
    EXPECT_NE(FailureOf([&] { outside.ReadData(0, buffer.data(), 8192); }).find("lies outside the volume"),
              std::string::npos);
    EXPECT_NO_THROW(outside.ReadData(0, buffer.data(), 4096));  // its first cluster is the volume's last
    // ...and having read it leaves no shortcut for the next piece of that run.
    EXPECT_NE(FailureOf([&] { outside.ReadData(4096, buffer.data(), 4096); }).find("lies outside the volume"),
              std::string::npos);

    // A run without clusters in an attribute not flagged sparse: zeros, never written.
    CAttribute holes(Volume(), 0, NonResidentExtent({{VCN{0}, {3000, 1}}, {VCN{1}, {SparseLcn, 1}}}, 8192));
    holes.ReadData(0, buffer.data(), 8192);
    EXPECT_TRUE(std::all_of(buffer.begin() + 4096, buffer.end(), [](uint8_t b) { return b == 0; }));
    // A write is checked whole before its first piece goes out.
    CAttribute halfOutside(Volume(), 0, NonResidentExtent({{VCN{0}, {3000, 1}}, {VCN{1}, {clusters, 1}}}, 8192));
    std::vector<uint8_t> before(Disk().begin() + 3000 * 4096, Disk().begin() + 3001 * 4096);
    EXPECT_NE(FailureOf([&] { halfOutside.WriteData(0, buffer.data(), 8192); }).find("lies outside the volume"),
              std::string::npos);
    EXPECT_NE(FailureOf([&] { holes.WriteData(0, buffer.data(), 8192); }).find("has no clusters"), std::string::npos);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), Disk().begin() + 3000 * 4096));
    EXPECT_EQ(image.Device().writeCount, writes);

    // Sparse data reads and is written in place; encrypted data is never handed out.
    CAttribute sparse(Volume(), 0, NonResidentExtent({{VCN{0}, {3000, 1}}}, 4096, AttrRecord::FlagSparse));
    EXPECT_NO_THROW(sparse.ReadData(0, buffer.data(), 1));
    EXPECT_NO_THROW(sparse.WriteData(0, buffer.data(), 1));
    CAttribute encrypted(Volume(), MakeReference(40, 1), NonResidentExtent({{VCN{0}, {3000, 1}}}, 4096, AttrRecord::FlagEncrypted));
    EXPECT_EQ(FailureOf([&] { encrypted.ReadData(0, buffer.data(), 1); }),
              "Attribute 128 of record 40 is encrypted (EFS): only Windows, with its owner's key, can read it");
    EXPECT_TRUE(sparse.IsSparse());
    // Saved again, it keeps the longer header that carries the bytes in use.
    std::vector<uint8_t> saved(128, 0xEE);
    ASSERT_EQ(sparse.Serialize(CByteWriter(saved)), 80u);
    EXPECT_EQ(CByteReader(saved).U16(AttrRecord::MappingPairsOffset), 72);
    EXPECT_EQ(CByteReader(saved).U64(AttrRecord::CompressedSize), 4096u);

    // Data beyond the runs, or beyond the volume, is refused at load.
    EXPECT_NE(FailureOf([&] { CAttribute(Volume(), 0, NonResidentExtent({{VCN{0}, {3000, 1}}}, 4097)); })
                  .find("exceeds allocated size"),
              std::string::npos);
    uint64_t huge = 1ull << 40;
    EXPECT_NE(FailureOf([&] { CAttribute(Volume(), 0, NonResidentExtent({{VCN{0}, {SparseLcn, huge}}}, huge)); })
                  .find("exceeds the volume size"),
              std::string::npos);
    // ...unless the attribute is sparse, where reading it is refused instead.
    CAttribute bigSparse(Volume(), 0, NonResidentExtent({{VCN{0}, {SparseLcn, huge}}}, huge * 4096, 0x8000));
    EXPECT_NE(FailureOf([&] { bigSparse.ReadAll(); }).find("exceeds the volume size"), std::string::npos);

    EXPECT_EQ(FailureOf([&] { CAttribute(Volume(), 0, NonResidentExtent({{VCN{0}, {3000, 1}}}, 10, 0, 11)); }),
              "Corrupted attribute 128: initialized size 11 exceeds data size 10");
    EXPECT_EQ(FailureOf([&] { CAttribute(Volume(), 0, AttributeLocations{}); }),
              "Cannot initialize attribute: there is no base extent");
}

TEST_F(AttributeOnImage, ExtentsJoinTheirBaseAndGapsAreReported) {
    AttributeLocations extents = NonResidentExtent({{VCN{0}, {3000, 2}}}, 5 * 4096);
    auto second = NonResidentExtent({{VCN{0}, {3100, 3}}}, 0);
    // Turn the second into an extent starting at VCN 3, leaving VCN 2 unmapped.
    CByteWriter(second[0].buffer->bytes).U64(kAt + AttrRecord::LowestVcn, 3);
    CByteWriter(second[0].buffer->bytes).U64(kAt + AttrRecord::HighestVcn, 5);
    extents.push_back(second[0]);
    CAttribute attribute(Volume(), 0, extents);
    EXPECT_EQ(attribute.GetRuns(), (RunMap{{VCN{0}, {3000, 2}}, {VCN{3}, {3100, 3}}}));
    std::vector<uint8_t> buffer(3 * 4096);
    EXPECT_EQ(FailureOf([&] { attribute.ReadData(4096, buffer.data(), 3 * 4096); }),
              "Block mapping is noncontiguous (current offset: 8192, available: 12288)");
    EXPECT_NO_THROW(attribute.ReadData(3 * 4096, buffer.data(), 2 * 4096));

    EXPECT_EQ(FailureOf([&] { attribute.AddExtent(extents[0]); }), "Extent cannot be base or resident");
    CAttribute resident(Volume(), 0, AttrType::Data, u"", true);
    EXPECT_EQ(FailureOf([&] { resident.AddExtent(second[0]); }), "Cannot add extent: attribute is resident");
    EXPECT_EQ(FailureOf([&] { CAttribute(Volume(), 0, second); }), "Not a base extent");
}

TEST_F(AttributeOnImage, SerialisedRecordsAreAlignedAndPadded) {
    std::vector<uint8_t> room(1024, 0xEE);
    CAttribute named(Volume(), 0, AttrType::FileName, u"abc", true);
    named.SetSize(5);
    const size_t nameAt = AttrRecord::ResidentHeaderSize, valueAt = nameAt + 8, length = valueAt + 8;
    EXPECT_EQ(named.GetSerializedSize(), length);
    ASSERT_EQ(named.Serialize(CByteWriter(room)), length);
    CByteReader record(room);
    EXPECT_EQ(record.U32(AttrRecord::Length), length);
    EXPECT_EQ(record.U16(AttrRecord::NameOffset), nameAt);
    EXPECT_EQ(record.U16(AttrRecord::ValueOffset), valueAt);
    EXPECT_EQ(record.U8(AttrRecord::IndexedFlag), 1);
    EXPECT_EQ(record.Utf16(nameAt, 4), std::u16string(u"abc") + u'\0');  // padded with zeros
    EXPECT_EQ(record.Bytes(valueAt + 5, 3), std::vector<uint8_t>(3, 0));

    std::fill(room.begin(), room.end(), 0xEE);
    CAttribute empty(Volume(), 0, AttrType::Data, u"", false);
    ASSERT_EQ(empty.Serialize(CByteWriter(room)), AttrRecord::NonResidentHeaderSize + 8);
    EXPECT_EQ(record.U16(AttrRecord::MappingPairsOffset), AttrRecord::NonResidentHeaderSize);
    EXPECT_EQ(record.U64(AttrRecord::HighestVcn), ~uint64_t{0});  // no clusters: VCN -1
    EXPECT_EQ(record.U8(AttrRecord::NonResidentHeaderSize), 0);

    CAttribute longName(Volume(), 0, AttrType::Data, std::u16string(256, u'n'), true);
    EXPECT_THROW(longName.Serialize(CByteWriter(room)), std::overflow_error);
}
