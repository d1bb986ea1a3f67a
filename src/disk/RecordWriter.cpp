#include "disk/RecordWriter.h"

#include "base/NumericCast.h"
#include "disk/RecordFormat.h"

namespace volcore {
namespace {

// The fields every attribute record starts with, and its name; zeroes the
// rest of the header and the name's padding.
uint32_t WriteCommonHeader(const CByteWriter& out, const SAttributeHeader& header) {
    const uint32_t headerSize = AttributeHeaderSize(header.nonResident, header.IsCompressedForm());
    const uint32_t body = AttributeBodyOffset(header);
    out.Fill(0, 0, body);
    out.U32(AttrRecord::Type, header.type);
    out.U8(AttrRecord::NonResident, header.nonResident ? 1 : 0);
    out.U8(AttrRecord::NameLength, NumericCast<uint8_t>(header.name.size()));  // raises for a longer name
    out.U16(AttrRecord::NameOffset, static_cast<uint16_t>(headerSize));
    out.U16(AttrRecord::Flags, header.flags);
    out.U16(AttrRecord::Instance, header.instance);
    out.Utf16(headerSize, header.name);
    return body;
}

}  // namespace

uint32_t AttributeHeaderSize(bool nonResident, bool compressedForm) {
    if (!nonResident) return AttrRecord::ResidentHeaderSize;
    return compressedForm ? AttrRecord::CompressedHeaderSize : AttrRecord::NonResidentHeaderSize;
}

uint32_t AttributeBodyOffset(const SAttributeHeader& header) {
    return AttributeBodyOffset(header.nonResident, header.flags, header.name.size());
}

uint32_t WriteResidentRecord(const CByteWriter& out, const SAttributeHeader& header, std::span<const uint8_t> value) {
    const uint32_t position = WriteCommonHeader(out, header);
    out.U8(AttrRecord::IndexedFlag, header.type == AttrType::FileName ? 1 : 0);
    out.U32(AttrRecord::ValueLength, NumericCast<uint32_t>(value.size()));
    out.U16(AttrRecord::ValueOffset, NumericCast<uint16_t>(position));
    out.CopyFrom(position, value.data(), value.size());
    const uint32_t length = NumericCast<uint32_t>(RoundUp(position + value.size(), 8));
    out.Fill(position + value.size(), 0, length - position - value.size());  // raises when the padding does not fit
    out.U32(AttrRecord::Length, length);
    return length;
}

uint32_t WriteNonResidentHeader(const CByteWriter& out, const SAttributeHeader& header) {
    const uint32_t position = WriteCommonHeader(out, header);
    const bool compressedForm = header.IsCompressedForm();
    out.U64(AttrRecord::LowestVcn, header.lowestVcn);
    out.U64(AttrRecord::HighestVcn, header.highestVcn);
    out.U16(AttrRecord::MappingPairsOffset, NumericCast<uint16_t>(position));
    out.U16(AttrRecord::CompressionUnit, compressedForm ? header.compressionUnit : 0);
    if (header.lowestVcn == 0) {
        out.U64(AttrRecord::AllocatedSize, header.allocatedSize);
        out.U64(AttrRecord::DataSize, header.dataSize);
        out.U64(AttrRecord::InitializedSize, header.initializedSize);
        if (compressedForm) out.U64(AttrRecord::CompressedSize, header.compressedSize.value_or(0));
    }
    return position;
}

}  // namespace volcore
