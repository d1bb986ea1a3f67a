#pragma once
// Where the attribute records of one file entry go when they do not all fit
// its base record: whole attributes, and extents of non-resident ones cut at
// run boundaries, packed in key order into as few records as they need.
#include <cstdint>
#include <vector>

#include "entries/Attribute.h"
#include "disk/RecordFormat.h"

namespace volcore {

// One attribute record of a layout: a whole attribute, or the extent of a
// non-resident one that maps VCNs [firstVcn, endVcn).
struct SRecordPiece {
    SAttributeKey key;
    AttributePtr attribute;
    uint64_t firstVcn = 0;
    uint64_t endVcn = 0;
    uint32_t size = 0;  // record bytes
};
using RecordPieces = std::vector<SRecordPiece>;

// Bytes of attribute records that one FILE record holds, its end marker aside.
uint32_t RecordCapacity(uint32_t recordSize);

SRecordPiece WholePiece(const SAttributeKey& key, const AttributePtr& attribute);
uint32_t PiecesSize(const RecordPieces& pieces);

// Fills records one after the other: a piece that does not fit the current
// record opens the next one, and a non-resident attribute whose mapping pairs
// do not fit is continued by an extent in the next record. Raises when a
// piece does not fit even an empty record.
class CRecordPacker {
public:
    explicit CRecordPacker(uint32_t capacity) : m_capacity(capacity) {}
    // Starts in a record of which `used` bytes are taken already.
    CRecordPacker(uint32_t capacity, uint32_t used) : m_capacity(capacity), m_used(used), m_records(1) {}
    void Add(const SAttributeKey& key, const AttributePtr& attribute);
    // Adds a non-resident attribute as extents, the first in the current
    // record even when the whole would fit the next one.
    void AddSplit(const SAttributeKey& key, const AttributePtr& attribute) { AddExtents(key, attribute); }
    const std::vector<RecordPieces>& Records() const { return m_records; }

private:
    void AddExtents(const SAttributeKey& key, const AttributePtr& attribute);
    void Place(SRecordPiece piece);
    void OpenRecord();
    uint32_t Room() const { return m_records.empty() ? 0 : m_capacity - m_used; }

    uint32_t m_capacity;
    uint32_t m_used = 0;  // bytes taken in the last record
    std::vector<RecordPieces> m_records;
};

// The $ATTRIBUTE_LIST value for the base record's pieces and those of the
// extension records: one entry per piece but the list's own, in record order
// (which is key and VCN order), each naming its record and instance, the
// number of the piece in its record.
uint32_t AttributeListSize(const RecordPieces& base, const std::vector<RecordPieces>& extensions);
std::vector<uint8_t> BuildAttributeList(const RecordPieces& base, FileReference baseReference,
                                        const std::vector<RecordPieces>& extensions,
                                        const std::vector<FileReference>& extensionReferences);

}  // namespace volcore
