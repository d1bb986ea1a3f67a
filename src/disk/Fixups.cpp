#include "disk/Fixups.h"

#include "base/Bytes.h"
#include "base/Exception.h"

namespace volcore {
namespace {

struct SUsaHeader {
    uint16_t offset = 0;
    uint16_t count = 0;
    uint16_t strides = 0;  // count - 1, in 16 bits as stored
};

// Reads and validates the header of one record; `record` spans exactly it.
SUsaHeader ReadUsaHeader(const CByteReader& record, uint32_t recordSize) {
    SUsaHeader header;
    uint32_t type = record.U32(UpdateSequence::Signature);
    header.offset = record.U16(UpdateSequence::Offset);
    header.count = record.U16(UpdateSequence::Count);
    header.strides = static_cast<uint16_t>(header.count - 1);
    bool invalid = recordSize % UpdateSequence::Stride != 0 || header.offset % 2 != 0 ||
                   uint64_t{header.offset} + 2ull * header.strides > recordSize ||
                   recordSize / UpdateSequence::Stride != header.strides;
    if (invalid)
        throw CException(EErrorKind::Corrupt,
                         "Invalid record. Type: %1, size: %2, update sequence array offset: %3, count: %4", type,
                         recordSize, header.offset, header.count);
    return header;
}

// Calls `apply(record)` for every record in the buffer, each record's view
// bounded by the record size.
template <typename Apply>
void ForEachRecord(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize, Apply apply) {
    uint32_t total = recordCount * recordSize;  // 32-bit product, as the callers size their buffers
    if (total == 0) return;
    CByteWriter whole(buffer);
    whole.Check(0, total);
    for (uint64_t start = 0; start < total; start += recordSize) apply(whole.Sub(start, recordSize));
}

[[noreturn]] void ThrowUsnMismatch(uint32_t stride, uint16_t value, uint16_t usn) {
    throw CException(EErrorKind::Corrupt, "MST: usn mismatch at index %1 (value: %2, expected: %3)", stride, value,
                     usn);
}

// Every record and index block read passes here: the loop works on copies
// of the view and the header, so that the writes through the view do not make
// the compiler load them again for every stride.
void UnprotectStrides(const CByteWriter& view, const SUsaHeader& usa) {
    const CByteWriter record = view;
    const CByteReader reader = record.Reader();
    const uint32_t strides = usa.strides;
    const size_t array = usa.offset;
    const uint16_t usn = reader.U16(array);
    for (uint32_t i = 0; i < strides; ++i) {
        const size_t tail = size_t{UpdateSequence::Stride} * i + UpdateSequence::Stride - 2;
        const uint16_t value = reader.U16(tail);
        if (value != usn) [[unlikely]]
            ThrowUsnMismatch(i, value, usn);
        record.U16(tail, reader.U16(array + 2 * (i + 1)));
    }
}

}  // namespace

void MstUnprotect(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize) {
    ForEachRecord(buffer, recordCount, recordSize, [recordSize](const CByteWriter& record) {
        CByteReader reader = record.Reader();
        UnprotectStrides(record, ReadUsaHeader(reader, recordSize));
    });
}

void MstProtect(std::span<uint8_t> buffer, uint32_t recordCount, uint32_t recordSize) {
    ForEachRecord(buffer, recordCount, recordSize, [recordSize](const CByteWriter& record) {
        CByteReader reader = record.Reader();
        SUsaHeader header = ReadUsaHeader(reader, recordSize);
        uint16_t usn = reader.U16(header.offset);
        if (usn == 0) {
            // A record that has never been protected gets its first number; the
            // number is deliberately not advanced on later writes.
            usn = 1;
            record.U16(header.offset, usn);
        }
        for (uint32_t i = 0; i < header.strides; ++i) {
            size_t tail = size_t{UpdateSequence::Stride} * i + UpdateSequence::Stride - 2;
            record.U16(header.offset + 2 * (i + 1), reader.U16(tail));
            record.U16(tail, usn);
        }
    });
}

}  // namespace volcore
