#include "entries/FileEntry.h"

#include <set>

#include "api/Bytes.h"
#include "api/Exception.h"
#include "api/Log.h"
#include "api/NumericCast.h"
#include "volume/Bitmap.h"
#include "volume/Mft.h"
#include "volume/Volume.h"

namespace volcore {

namespace {

constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
// Fixed part of an attribute list entry up to and including the reference.
constexpr uint32_t kListEntryFixedSize = 24;
// Far beyond any real attribute list (each entry maps a whole extent), yet it
// keeps a hostile size from deciding how much memory a load takes.
constexpr uint64_t kLargestAttributeList = 16ull << 20;

void CheckBaseRecord(const CMftRecBuffer& record, uint64_t recordNumber) {
    CByteReader reader(record.bytes);
    if (reader.U32(FileRecord::Signature) != kFileSignature)
        throw CException("Cannot load file entry: not a file record %1", recordNumber);
    if ((reader.U16(FileRecord::Flags) & FileRecord::FlagInUse) == 0)
        throw CException("Cannot load file entry: unused record %1", recordNumber);
    if (RecordNumber(reader.U64(FileRecord::BaseReference)) != 0)
        throw CException("Cannot load file entry: not a base record %1", recordNumber);
}

// An extension record must really belong to the entry that lists it; anything
// else would graft foreign attributes onto the entry.
void CheckExtensionRecord(const CMftRecBuffer& record, uint64_t recordNumber, FileReference base) {
    CByteReader reader(record.bytes);
    if (reader.U32(FileRecord::Signature) != kFileSignature ||
        (reader.U16(FileRecord::Flags) & FileRecord::FlagInUse) == 0 ||
        !SameRecord(reader.U64(FileRecord::BaseReference), base))
        throw CException("Corrupt attribute list of file entry %1: record %2 is not one of its extension records",
                         RecordNumber(base), recordNumber);
}

size_t CountAttributeListRecords(const ParseMap& parsed) {
    size_t count = 0;
    for (auto it = parsed.lower_bound(AttributeKey{AttrType::AttributeList, u"", 0});
         it != parsed.end() && it->first.type == AttrType::AttributeList && it->first.name.empty(); ++it)
        count += it->second.size();
    return count;
}

bool SameTypeAndName(const AttributeKey& key, uint32_t type, std::u16string_view name) {
    return key.type == type && key.name == name;
}

// A freed record carries the sequence number its next object takes, so that
// references to the object it held before no longer match; a record that was
// never used starts afresh.
uint16_t ReusedSequenceNumber(CVolume& volume, uint64_t recordNumber) {
    try {
        MftRecBufferPtr record = volume.ReadMftRecord(recordNumber);
        CByteReader header(record->bytes);
        uint16_t sequence = header.U16(FileRecord::SequenceNumber);
        if (header.U32(FileRecord::Signature) == kFileSignature && sequence != 0) return sequence;
    } catch (const CException&) {
        // Not a readable record: nothing refers to it.
    }
    return FreshSequenceNumber(recordNumber);
}

}  // namespace

CFileEntry::CFileEntry(FileReference reference, CVolume& volume, uint16_t flags)
    : m_reference(reference), m_volume(volume), m_flags(flags),
      m_sequenceNumber(SequenceNumber(reference) != 0 ? SequenceNumber(reference)
                                                      : FreshSequenceNumber(RecordNumber(reference))) {}

std::shared_ptr<CFileEntry> CFileEntry::Load(FileReference reference, CVolume& volume) {
    MftRecBufferPtr base = volume.ReadMftRecord(reference);
    CheckBaseRecord(*base, RecordNumber(reference));
    return FromBaseRecord(base, reference, volume);
}

std::shared_ptr<CFileEntry> CFileEntry::LoadFromBuffer(const MftRecBufferPtr& buffer, CVolume& volume) {
    return FromBaseRecord(buffer, 0, volume);
}

std::shared_ptr<CFileEntry> CFileEntry::FromBaseRecord(const MftRecBufferPtr& base, FileReference reference,
                                                       CVolume& volume) {
    CByteReader reader(base->bytes);
    uint16_t sequence = reader.U16(FileRecord::SequenceNumber);
    // Callers often name system records without a sequence number; the entry
    // carries the one its record has, so that references made from it are whole.
    if (SequenceNumber(reference) == 0) reference = MakeReference(RecordNumber(reference), sequence);
    auto entry = std::make_shared<CFileEntry>(reference, volume, reader.U16(FileRecord::Flags));
    entry->m_sequenceNumber = sequence;
    entry->m_linkCount = reader.U16(FileRecord::LinkCount);
    entry->LoadAttributes(base);
    return entry;
}

std::shared_ptr<CFileEntry> CFileEntry::Create(uint16_t flags, CVolume& volume) {
    uint64_t recordNumber = volume.GetMft().AllocateRecord();
    uint16_t sequence = ReusedSequenceNumber(volume, recordNumber);
    auto entry = std::make_shared<CFileEntry>(MakeReference(recordNumber, sequence), volume, flags);
    entry->m_sequenceNumber = sequence;
    entry->m_linkCount = 1;
    return entry;
}

void CFileEntry::LoadAttributes(const MftRecBufferPtr& base) {
    ParseMap parsed;
    ParseAttributeRecords(base, parsed);
    LoadAttributeList(parsed);
    for (const auto& [key, extents] : parsed) {
        if (m_attributes.contains(key)) continue;
        m_attributes.emplace(key, std::make_shared<CAttribute>(m_volume, m_reference, extents));
    }
}

void CFileEntry::LoadAttributeList(ParseMap& parsed) {
    AttributeKey key{AttrType::AttributeList, u"", 0};
    auto found = parsed.find(key);
    if (found == parsed.end()) return;
    size_t records = CountAttributeListRecords(parsed);
    if (records != 1) throw CException("attrListItr->second.size() != 1 (%1)", records);

    auto list = std::make_shared<CAttribute>(m_volume, m_reference, found->second);
    m_attributes.emplace(key, list);
    if (list->GetSize() > kLargestAttributeList)
        throw CException("Attribute list of file entry %1 is too large: %2", RecordNumber(m_reference), list->GetSize());
    if (list->GetSize() == 0) return;
    std::vector<uint8_t> data = list->ReadAll();
    ReadExtensionRecords(CByteReader(data), parsed);
}

void CFileEntry::ReadExtensionRecords(const CByteReader& list, ParseMap& parsed) {
    std::set<uint64_t> read;
    size_t position = 0;
    // Every step advances by a checked, non-zero length inside the list, so the
    // walk ends; a malformed entry ends it early.
    while (list.Size() - position >= kListEntryFixedSize) {
        if (list.U32(position + AttrListEntry::Type) == AttrType::End) break;
        uint16_t length = list.U16(position + AttrListEntry::Length);
        if (length < kListEntryFixedSize || length > list.Size() - position) {
            LogWarning(FormatText("File entry %1: attribute list ends at a malformed entry at offset %2",
                                  RecordNumber(m_reference), position));
            break;
        }
        FileReference reference = list.U64(position + AttrListEntry::Reference);
        uint64_t recordNumber = RecordNumber(reference);
        if (!SameRecord(reference, m_reference) && read.insert(recordNumber).second)
            ReadExtensionRecord(reference, parsed);
        position += length;
    }
}

void CFileEntry::ReadExtensionRecord(FileReference reference, ParseMap& parsed) {
    uint64_t recordNumber = RecordNumber(reference);
    uint64_t recordCount = m_volume.GetMft().GetRecordCount();
    if (recordNumber >= recordCount)
        throw CException("Corrupt attribute list of file entry %1: extension record %2 is beyond the MFT (%3 records)",
                         RecordNumber(m_reference), recordNumber, recordCount);
    MftRecBufferPtr record = m_volume.ReadMftRecord(reference);
    CheckExtensionRecord(*record, recordNumber, m_reference);
    ParseAttributeRecords(record, parsed);
    m_extensions.insert(reference);
}

AttributePtr CFileEntry::FindAttribute(uint32_t type, std::u16string_view name) const {
    auto it = m_attributes.find(AttributeKey{type, std::u16string(name), 0});
    return it == m_attributes.end() ? nullptr : it->second;
}

std::vector<AttributePtr> CFileEntry::FindAttributes(uint32_t type, std::u16string_view name) const {
    std::vector<AttributePtr> found;
    for (auto it = m_attributes.lower_bound(AttributeKey{type, std::u16string(name), 0});
         it != m_attributes.end() && SameTypeAndName(it->first, type, name); ++it)
        found.push_back(it->second);
    return found;
}

AttributePtr CFileEntry::GetAttribute(uint32_t type, std::u16string_view name) const {
    AttributePtr attribute = FindAttribute(type, name);
    if (!attribute) throw CException("Attribute %1 %2 not found", type, name);
    return attribute;
}

AttributePtr CFileEntry::CreateAttribute(uint32_t type, std::u16string_view name, bool resident) {
    AttributeKey key{type, std::u16string(name), 0};
    if (m_attributes.contains(key))
        throw CException("Cannot create new attribute %1 %2 for file entry %3: attribute already exists", type, name,
                         m_reference);
    auto attribute = std::make_shared<CAttribute>(m_volume, m_reference, type, std::u16string(name), resident);
    m_attributes.emplace(std::move(key), attribute);
    return attribute;
}

void CFileEntry::DeleteAttribute(uint32_t type, std::u16string_view name) {
    auto it = m_attributes.find(AttributeKey{type, std::u16string(name), 0});
    if (it == m_attributes.end())
        throw CException("Cannot delete attribute %1 %2: attributes does not exist", type, name);
    // Releasing rather than shrinking hands a non-resident attribute's clusters
    // back to the allocator instead of leaking them.
    it->second->ReleaseClusters();
    it->second->ClearDirty();
    m_attributes.erase(it);
    RenumberOccurrences(type, name);
}

// Further records of the same type and name move up, so that the first one
// left is again the one that FindAttribute returns.
void CFileEntry::RenumberOccurrences(uint32_t type, std::u16string_view name) {
    std::vector<AttributePtr> rest;
    auto it = m_attributes.lower_bound(AttributeKey{type, std::u16string(name), 0});
    while (it != m_attributes.end() && SameTypeAndName(it->first, type, name)) {
        rest.push_back(it->second);
        it = m_attributes.erase(it);
    }
    for (uint32_t i = 0; i < rest.size(); ++i) m_attributes.emplace(AttributeKey{type, std::u16string(name), i}, rest[i]);
}

void CFileEntry::SetLinkCount(uint16_t count) {
    if (count == m_linkCount) return;
    m_linkCount = count;
    m_dirty = true;
}

bool CFileEntry::IsDirty() const {
    if (m_dirty) return true;
    for (const auto& [key, attribute] : m_attributes)
        if (attribute->IsDirty()) return true;
    return false;
}

void CFileEntry::SaveWithAttrList() const {
    throw CException("void __cdecl volcore::CFileEntry::SaveWithAttrList(void) not implemented (%1:%2)", "FileEntry",
                     251);
}

void CFileEntry::Save() {
    if (!IsDirty()) return;
    if (FindAttribute(AttrType::AttributeList)) SaveWithAttrList();
    MftRecBufferPtr record = BuildBaseRecord();
    m_volume.WriteMftRecord(m_reference, record);
    for (const auto& [key, attribute] : m_attributes) attribute->ClearDirty();
    m_dirty = false;
    ReleaseExtensionRecords();
}

MftRecBufferPtr CFileEntry::BuildBaseRecord() const {
    uint32_t recordSize = m_volume.GetMftRecordSize();
    MftRecBufferPtr record = BuildRecordHeader(recordSize, m_reference, 0, m_flags | FileRecord::FlagInUse, m_linkCount);
    CByteWriter writer(record->bytes);
    // An existing entry keeps the sequence number its references carry.
    writer.U16(FileRecord::SequenceNumber, m_sequenceNumber);

    CByteReader header = writer.Reader();
    uint32_t position = header.U16(FileRecord::FirstAttribute);
    uint64_t capacity = uint64_t{header.U32(FileRecord::BytesAllocated)} - header.U32(FileRecord::BytesInUse) + 8;
    uint64_t needed = 0;
    for (const auto& [key, attribute] : m_attributes) {
        needed += attribute->GetSerializedSize();
        if (needed > capacity) SaveWithAttrList();
    }

    uint16_t instance = 0;
    for (const auto& [key, attribute] : m_attributes) {
        uint32_t length = attribute->Serialize(writer.Sub(position, recordSize - position));
        writer.U16(position + AttrRecord::Instance, instance++);
        position += length;
    }
    writer.U32(position, AttrType::End);
    writer.U32(position + 4, 0);
    writer.U16(FileRecord::NextInstance, instance);
    writer.U32(FileRecord::BytesInUse, position + 8);
    return record;
}

void CFileEntry::ReleaseExtensionRecords() {
    uint32_t recordSize = m_volume.GetMftRecordSize();
    for (FileReference extension : m_extensions) {
        MftRecBufferPtr record = BuildRecordHeader(recordSize, extension, m_reference, 0, 0);
        m_volume.WriteMftRecord(extension, record);
        m_volume.GetMft().FreeRecord(extension);
    }
    m_extensions.clear();
}

void CFileEntry::Delete() {
    for (const auto& [key, attribute] : m_attributes) attribute->ReleaseClusters();
    m_attributes.clear();
    ReleaseExtensionRecords();
    uint16_t flags = static_cast<uint16_t>(m_flags & ~FileRecord::FlagInUse);
    MftRecBufferPtr record = BuildRecordHeader(m_volume.GetMftRecordSize(), m_reference, 0, flags, 1);
    // References to the deleted object must not match the record's next one.
    uint16_t next = static_cast<uint16_t>(m_sequenceNumber + 1);
    CByteWriter(record->bytes).U16(FileRecord::SequenceNumber, next == 0 ? 1 : next);
    m_volume.WriteMftRecord(m_reference, record);
    m_volume.GetMft().FreeRecord(m_reference);
    m_reference = kDeletedReference;
}

}  // namespace volcore
