#pragma once
// The one writer of attribute records, the counterpart of the reader: the
// engine saving a file entry and the formatter building the system files lay
// out every attribute record header through it.
#include <cstdint>
#include <span>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/RecordReader.h"

namespace volcore {

// Header bytes of an attribute record of this form: resident, non-resident,
// or non-resident compressed or sparse (which adds the compressed size).
uint32_t AttributeHeaderSize(bool nonResident, bool compressedForm);
// Where the value or the mapping pairs start: after the header and the name,
// padded to 8 bytes.
uint32_t AttributeBodyOffset(const SAttributeHeader& header);
// The same from the fields it depends on, for a writer that has no header
// yet. Inline: an entry's save asks it several times for each attribute.
inline uint32_t AttributeBodyOffset(bool nonResident, uint16_t flags, size_t nameLength) {
    const uint32_t header = nonResident ? AttributeHeaderSize(true, IsCompressedForm(flags)) : AttrRecord::ResidentHeaderSize;
    return header + static_cast<uint32_t>(RoundUp(nameLength * 2, 8));
}

// Writes a resident attribute record from `header` (type, flags, instance,
// name) and `value`, padded to 8 bytes. Returns its length.
uint32_t WriteResidentRecord(const CByteWriter& out, const SAttributeHeader& header, std::span<const uint8_t> value);

// Writes the header and name of a non-resident attribute record; the sizes
// (and for compressed or sparse data the compressed size) only when it is the
// first extent. Returns where the mapping pairs go: EncodeMappingPairs writes
// them and the record's length.
uint32_t WriteNonResidentHeader(const CByteWriter& out, const SAttributeHeader& header);

}  // namespace volcore
