#include "entries/RecordLayout.h"

#include "base/Exception.h"
#include "base/NumericCast.h"
#include "disk/Runlist.h"

namespace volcore {

namespace {

bool IsListPiece(const SRecordPiece& piece) { return piece.key.type == AttrType::AttributeList; }

template <typename Visit>
void ForEachListedPiece(const RecordPieces& base, const std::vector<RecordPieces>& extensions, Visit visit) {
    for (size_t i = 0; i < base.size(); ++i)
        if (!IsListPiece(base[i])) visit(base[i], size_t{0}, i);
    for (size_t record = 0; record < extensions.size(); ++record)
        for (size_t i = 0; i < extensions[record].size(); ++i) visit(extensions[record][i], record + 1, i);
}

}  // namespace

uint32_t RecordCapacity(uint32_t recordSize) { return recordSize - FirstAttributeOffset(recordSize) - 8; }

SRecordPiece WholePiece(const SAttributeKey& key, const AttributePtr& attribute) {
    const RunMap& runs = attribute->GetRuns();
    uint64_t end = runs.empty() ? 0 : runs.rbegin()->first.value + runs.rbegin()->second.length;
    return SRecordPiece{key, attribute, 0, end, attribute->GetSerializedSize()};
}

uint32_t PiecesSize(const RecordPieces& pieces) {
    uint64_t size = 0;
    for (const SRecordPiece& piece : pieces) size += piece.size;
    return NumericCast<uint32_t>(size);
}

void CRecordPacker::OpenRecord() {
    m_records.emplace_back();
    m_used = 0;
}

void CRecordPacker::Place(SRecordPiece piece) {
    if (piece.size > Room()) {
        if (piece.size > m_capacity)
            throw CException(EErrorKind::Unsupported, "Attribute %1 of record %2 does not fit an MFT record (%3 bytes)",
                             piece.key.type, RecordNumber(piece.attribute->GetOwner()), piece.size);
        OpenRecord();
    }
    m_used += piece.size;
    m_records.back().push_back(std::move(piece));
}

void CRecordPacker::Add(const SAttributeKey& key, const AttributePtr& attribute) {
    SRecordPiece whole = WholePiece(key, attribute);
    if (!attribute->IsNonResident() || whole.size <= Room() || whole.size <= m_capacity) {
        Place(std::move(whole));
        return;
    }
    AddExtents(key, attribute);
}

// Each extent takes as many runs as the room left allows, and at least one.
void CRecordPacker::AddExtents(const SAttributeKey& key, const AttributePtr& attribute) {
    const RunMap& runs = attribute->GetRuns();
    const uint32_t header = attribute->ExtentHeaderSize();
    auto next = runs.begin();
    while (next != runs.end()) {
        auto first = next;
        int64_t previousLcn = 0;
        uint64_t pairs = 0;
        while (next != runs.end()) {
            int64_t lcn = previousLcn;
            uint32_t pair = MappingPairSize(next->second, lcn);
            if (header + RoundUp(pairs + pair + 1, 8) > Room()) break;
            pairs += pair;
            previousLcn = lcn;
            ++next;
        }
        if (next == first) {
            if (!m_records.empty() && m_records.back().empty() && m_used == 0)
                throw CException(EErrorKind::Unsupported, "Attribute %1 of record %2 does not fit an MFT record",
                                 key.type, RecordNumber(attribute->GetOwner()));
            OpenRecord();
            continue;
        }
        uint64_t end = next == runs.end() ? std::prev(next)->first.value + std::prev(next)->second.length
                                          : next->first.value;
        Place(SRecordPiece{key, attribute, first->first.value, end, NumericCast<uint32_t>(header + RoundUp(pairs + 1, 8))});
    }
}

uint32_t AttributeListSize(const RecordPieces& base, const std::vector<RecordPieces>& extensions) {
    uint64_t size = 0;
    ForEachListedPiece(base, extensions, [&](const SRecordPiece& piece, size_t, size_t) {
        size += AttrListEntry::LengthForName(piece.key.name.size());
    });
    return NumericCast<uint32_t>(size);
}

std::vector<uint8_t> BuildAttributeList(const RecordPieces& base, FileReference baseReference,
                                        const std::vector<RecordPieces>& extensions,
                                        const std::vector<FileReference>& extensionReferences) {
    std::vector<uint8_t> list(AttributeListSize(base, extensions), 0);
    CByteWriter out(list);
    size_t position = 0;
    ForEachListedPiece(base, extensions, [&](const SRecordPiece& piece, size_t record, size_t instance) {
        uint32_t length = AttrListEntry::LengthForName(piece.key.name.size());
        CByteWriter entry = out.Sub(position, length);
        entry.U32(AttrListEntry::Type, piece.key.type);
        entry.U16(AttrListEntry::Length, static_cast<uint16_t>(length));
        entry.U8(AttrListEntry::NameLength, NumericCast<uint8_t>(piece.key.name.size()));
        entry.U8(AttrListEntry::NameOffset, AttrListEntry::Name);
        entry.U64(AttrListEntry::LowestVcn, piece.attribute->IsNonResident() ? piece.firstVcn : 0);
        entry.U64(AttrListEntry::Reference, record == 0 ? baseReference : extensionReferences.at(record - 1));
        entry.U16(AttrListEntry::Instance, NumericCast<uint16_t>(instance));
        entry.Utf16(AttrListEntry::Name, piece.key.name);
        position += length;
    });
    return list;
}

}  // namespace volcore
