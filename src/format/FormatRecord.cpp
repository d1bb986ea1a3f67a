#include "format/FormatRecord.h"

#include <algorithm>

#include "api/Exception.h"
#include "format/FormatGeometry.h"

namespace volcore::format {
namespace {

constexpr uint16_t kUsaOffset = 48;
constexpr uint32_t kEndMarker = 0xFFFFFFFF;

// Fewest bytes that read back as the same signed little-endian number.
size_t SignedWidth(int64_t value) {
    size_t width = 1;
    while (width < 8) {
        int64_t low = -(int64_t{1} << (width * 8 - 1));
        int64_t high = (int64_t{1} << (width * 8 - 1)) - 1;
        if (value >= low && value <= high) break;
        ++width;
    }
    return width;
}

void AppendLe(std::vector<uint8_t>& out, int64_t value, size_t width) {
    uint64_t bits = static_cast<uint64_t>(value);
    for (size_t i = 0; i < width; ++i, bits >>= 8) out.push_back(static_cast<uint8_t>(bits));
}

size_t NameBytes(const SAttribute& attribute) { return RoundUp(attribute.name.size() * 2, 8); }

size_t WriteCommonHeader(const CByteWriter& out, const SAttribute& attribute, uint16_t instance) {
    size_t headerSize = attribute.nonResident ? 64 : 24;
    if (attribute.name.size() > 255) throw CException("Attribute name of %1 units is too long", attribute.name.size());
    out.U32(0, attribute.type);
    out.U8(8, attribute.nonResident ? 1 : 0);
    out.U8(9, static_cast<uint8_t>(attribute.name.size()));
    out.U16(10, static_cast<uint16_t>(headerSize));
    out.U16(12, 0);
    out.U16(14, instance);
    out.Utf16(headerSize, attribute.name);
    return headerSize + NameBytes(attribute);
}

size_t WriteResident(const CByteWriter& out, const SAttribute& attribute, uint16_t instance) {
    size_t valueOffset = WriteCommonHeader(out, attribute, instance);
    out.U32(16, static_cast<uint32_t>(attribute.value.size()));
    out.U16(20, static_cast<uint16_t>(valueOffset));
    out.U8(22, attribute.type == kFileName ? 1 : 0);
    out.CopyFrom(valueOffset, attribute.value.data(), attribute.value.size());
    return RoundUp(valueOffset + attribute.value.size(), 8);
}

size_t WriteNonResident(const CByteWriter& out, const SAttribute& attribute, uint16_t instance,
                        uint32_t clusterSize) {
    size_t pairsOffset = WriteCommonHeader(out, attribute, instance);
    uint64_t clusters = RunlistClusters(attribute.runs);
    out.U64(16, 0);
    out.U64(24, clusters == 0 ? 0 : clusters - 1);
    out.U16(32, static_cast<uint16_t>(pairsOffset));
    out.U64(40, clusters * clusterSize);
    out.U64(48, attribute.dataSize);
    out.U64(56, attribute.initializedSize);
    std::vector<uint8_t> pairs = EncodeMappingPairs(attribute.runs);
    out.CopyFrom(pairsOffset, pairs.data(), pairs.size());
    return RoundUp(pairsOffset + pairs.size(), 8);
}

bool SortsBefore(const SAttribute& a, const SAttribute& b) {
    if (a.type != b.type) return a.type < b.type;
    return a.name < b.name;
}

uint16_t UsaCount() { return kMftRecordSize / 512 + 1; }
uint16_t FirstAttributeOffset() { return static_cast<uint16_t>(RoundUp(kUsaOffset + 2 * UsaCount(), 8)); }

}  // namespace

SAttribute SAttribute::Resident(uint32_t type, std::vector<uint8_t> value, std::u16string name) {
    SAttribute attribute;
    attribute.type = type;
    attribute.name = std::move(name);
    attribute.value = std::move(value);
    return attribute;
}

SAttribute SAttribute::NonResident(uint32_t type, Runlist runs, uint64_t dataSize, std::u16string name) {
    SAttribute attribute;
    attribute.type = type;
    attribute.name = std::move(name);
    attribute.nonResident = true;
    attribute.runs = std::move(runs);
    attribute.dataSize = dataSize;
    attribute.initializedSize = dataSize;
    return attribute;
}

std::vector<uint8_t> EncodeMappingPairs(const Runlist& runs) {
    std::vector<uint8_t> out;
    int64_t previousLcn = 0;
    for (const SRun& run : runs) {
        int64_t length = static_cast<int64_t>(run.length);
        size_t lengthWidth = SignedWidth(length);
        size_t offsetWidth = 0;
        int64_t delta = 0;
        if (run.lcn != kSparseLcn) {
            delta = run.lcn - previousLcn;
            offsetWidth = SignedWidth(delta);
            previousLcn = run.lcn;
        }
        out.push_back(static_cast<uint8_t>((offsetWidth << 4) | lengthWidth));
        AppendLe(out, length, lengthWidth);
        AppendLe(out, delta, offsetWidth);
    }
    out.push_back(0);
    return out;
}

void WriteFileRecord(const CByteWriter& record, const SRecordHeader& header,
                     std::vector<SAttribute> attributes, uint32_t clusterSize) {
    std::stable_sort(attributes.begin(), attributes.end(), SortsBefore);
    record.Fill(0, 0, record.Size());
    record.CopyFrom(0, "FILE", 4);
    record.U16(4, kUsaOffset);
    record.U16(6, UsaCount());
    record.U16(16, header.sequence);
    record.U16(18, header.linkCount);
    record.U16(20, FirstAttributeOffset());
    record.U16(22, header.flags);
    record.U32(28, static_cast<uint32_t>(record.Size()));
    record.U32(44, header.number);

    size_t position = FirstAttributeOffset();
    uint16_t instance = 0;
    for (const SAttribute& attribute : attributes) {
        // The end marker must still fit after this attribute.
        size_t room = record.Size() - position;
        if (room < 8) throw CException("Attributes overflow MFT record %1", header.number);
        CByteWriter out = record.Sub(position, room - 8);
        size_t length = attribute.nonResident ? WriteNonResident(out, attribute, instance, clusterSize)
                                              : WriteResident(out, attribute, instance);
        if (length > out.Size()) throw CException("Attributes overflow MFT record %1", header.number);
        out.U32(4, static_cast<uint32_t>(length));
        position += length;
        ++instance;
    }
    record.U32(position, kEndMarker);
    record.U32(position + 4, 0);
    record.U32(24, static_cast<uint32_t>(position + 8));
    record.U16(40, instance);
}

}  // namespace volcore::format
