#include "entries/FileEntry.h"

#include <algorithm>
#include <array>
#include <set>

#include "base/Bytes.h"
#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "disk/VolumeServices.h"

namespace volcore {

namespace {

// Far beyond any real attribute list (each entry maps a whole extent), yet it
// keeps a hostile size from deciding how much memory a load takes.
constexpr uint64_t kLargestAttributeList = 16ull << 20;

void CheckBaseRecord(const CMftRecBuffer& record, uint64_t recordNumber) {
    const SFileRecordHeader header = ReadFileRecordHeader(record.bytes);
    if (!header.IsFileRecord())
        throw CException(EErrorKind::Corrupt, "Cannot load file entry: not a file record %1", recordNumber);
    if (!header.IsInUse())
        throw CException(EErrorKind::Corrupt, "Cannot load file entry: unused record %1", recordNumber);
    if (RecordNumber(header.baseReference) != 0)
        throw CException(EErrorKind::Corrupt, "Cannot load file entry: not a base record %1", recordNumber);
}

// An extension record must really belong to the entry that lists it; anything
// else would graft foreign attributes onto the entry.
void CheckExtensionRecord(const CMftRecBuffer& record, uint64_t recordNumber, FileReference base) {
    const SFileRecordHeader header = ReadFileRecordHeader(record.bytes);
    if (!header.IsInUse() || !SameRecord(header.baseReference, base))
        throw CException(EErrorKind::Corrupt,
                         "Corrupt attribute list of file entry %1: record %2 is not one of its extension records",
                         RecordNumber(base), recordNumber);
}

bool SameTypeAndName(const SAttributeKey& key, uint32_t type, std::u16string_view name) {
    return key.type == type && key.name == name;
}

// Notes where each attribute record of one record lies, refusing the first
// damaged one.
class CRecordLocator final : public IAttributeVisitor {
public:
    CRecordLocator(LocatedRecords& located, uint32_t record) : m_located(located), m_record(record) {}

    void Attribute(const SAttributeHeader& header, const CByteReader&) override {
        m_located.push_back(SLocatedRecord{header.type, m_record, static_cast<uint32_t>(header.offset), header.nameLength,
                                           header.nonResident});
    }
    void Fault(EAttributeFault fault, const SAttributeHeader& header) override { RefuseAttributeRecord(fault, header); }

private:
    LocatedRecords& m_located;
    uint32_t m_record;
};

// Whether an attribute record (its name checked to lie inside it at load)
// carries this name.
bool HasName(const CByteReader& record, std::u16string_view name) {
    if (record.U8(AttrRecord::NameLength) != name.size()) return false;
    const size_t at = record.U16(AttrRecord::NameOffset);
    for (size_t i = 0; i < name.size(); ++i)
        if (record.U16(at + 2 * i) != name[i]) return false;
    return true;
}

bool KeyBefore(const SAttributeKey& key, uint32_t type, std::u16string_view name, uint32_t occurrence) {
    if (key.type != type) return key.type < type;
    if (int order = std::u16string_view(key.name).compare(name); order != 0) return order < 0;
    return key.occurrence < occurrence;
}

using AttributeMap = CFileEntry::AttributeMap;

AttributeMap::iterator LowerBound(AttributeMap& attributes, uint32_t type, std::u16string_view name,
                                  uint32_t occurrence = 0) {
    // A handful of keys, most told apart by their type alone: a straight walk
    // ends sooner than halving, which compares names at every step.
    auto it = attributes.begin();
    while (it != attributes.end() && KeyBefore(it->first, type, name, occurrence)) ++it;
    return it;
}

// An entry holds a handful of attributes: a scan in key order that looks at
// the type first (and at a name only of that type) beats a binary search
// comparing whole keys.
AttributeMap::iterator Find(AttributeMap& attributes, uint32_t type, std::u16string_view name, uint32_t occurrence = 0) {
    for (auto it = attributes.begin(); it != attributes.end(); ++it) {
        if (it->first.type < type) continue;
        if (it->first.type > type) break;
        if (it->first.occurrence == occurrence && std::u16string_view(it->first.name) == name) return it;
    }
    return attributes.end();
}

void Insert(AttributeMap& attributes, SAttributeKey key, AttributePtr attribute) {
    // Room for a usual entry's attributes at once.
    constexpr size_t kUsualAttributes = 6;
    if (attributes.empty()) attributes.reserve(kUsualAttributes);
    auto at = LowerBound(attributes, key.type, key.name, key.occurrence);
    attributes.emplace(at, std::move(key), std::move(attribute));
}

uint32_t CountBuilt(AttributeMap& attributes, uint32_t type, std::u16string_view name) {
    uint32_t count = 0;
    if (attributes.empty()) return count;
    for (auto it = LowerBound(attributes, type, name); it != attributes.end() && SameTypeAndName(it->first, type, name); ++it)
        ++count;
    return count;
}

// A freed record carries the sequence number its next object takes, so that
// references to the object it held before no longer match; a record that was
// never used starts afresh.
uint16_t ReusedSequenceNumber(IVolumeServices& volume, uint64_t recordNumber) {
    // The header lies before the first fixup: damage there cannot hide the
    // number, and a device that fails the read is no free record, so it is
    // reported rather than guessed around.
    // Not a record: nothing refers to it.
    const uint16_t stored = volume.StoredSequenceNumber(recordNumber);
    return stored != 0 ? stored : FreshSequenceNumber(recordNumber);
}

// Sequence numbers skip 0, which references use for "any".
uint16_t NextSequenceNumber(uint16_t sequence) { return sequence == 0xFFFF ? 1 : static_cast<uint16_t>(sequence + 1); }

}  // namespace

CFileEntry::CFileEntry(FileReference reference, IVolumeServices& volume, uint16_t flags)
    : m_reference(reference), m_volume(volume), m_flags(flags),
      m_sequenceNumber(SequenceNumber(reference) != 0 ? SequenceNumber(reference)
                                                      : FreshSequenceNumber(RecordNumber(reference))) {}

std::shared_ptr<CFileEntry> CFileEntry::Load(FileReference reference, IVolumeServices& volume) {
    MftRecBufferPtr base = volume.ReadMftRecord(reference);
    CheckBaseRecord(*base, RecordNumber(reference));
    return FromBaseRecord(base, reference, volume);
}

std::shared_ptr<CFileEntry> CFileEntry::LoadFromBuffer(const MftRecBufferPtr& buffer, IVolumeServices& volume) {
    // The caller keeps this buffer: nothing may wait on what it holds later.
    std::shared_ptr<CFileEntry> entry = FromBaseRecord(buffer, 0, volume);
    entry->BuildAllAttributes();
    return entry;
}

std::shared_ptr<CFileEntry> CFileEntry::FromBaseRecord(const MftRecBufferPtr& base, FileReference reference,
                                                       IVolumeServices& volume) {
    const SFileRecordHeader header = ReadFileRecordHeader(base->bytes);
    // Callers often name system records without a sequence number; the entry
    // carries the one its record has, so that references made from it are whole.
    if (SequenceNumber(reference) == 0) reference = MakeReference(RecordNumber(reference), header.sequence);
    auto entry = std::make_shared<CFileEntry>(reference, volume, header.flags);
    entry->m_sequenceNumber = header.sequence;
    entry->m_linkCount = header.linkCount;
    entry->LoadAttributes(base);
    return entry;
}

std::shared_ptr<CFileEntry> CFileEntry::Create(uint16_t flags, IVolumeServices& volume) {
    uint64_t recordNumber = volume.AllocateMftRecord();
    uint16_t sequence = 0;
    try {
        sequence = ReusedSequenceNumber(volume, recordNumber);
    } catch (...) {
        volume.FreeMftRecord(recordNumber);
        throw;
    }
    auto entry = std::make_shared<CFileEntry>(MakeReference(recordNumber, sequence), volume, flags);
    entry->m_sequenceNumber = sequence;
    entry->m_linkCount = 1;
    return entry;
}

void CFileEntry::LoadAttributes(const MftRecBufferPtr& base) {
    LocateAttributeRecords(base);
    LoadAttributeList();
}

void CFileEntry::LocateAttributeRecords(const MftRecBufferPtr& record) {
    CByteReader bytes(record->bytes);
    CRecordLocator locator(m_located, m_loadedBase ? NumericCast<uint32_t>(m_loadedExtensions.size() + 1) : 0);
    if (m_loadedBase) m_loadedExtensions.push_back(record);
    else m_loadedBase = record;
    WalkAttributeRecords(bytes, bytes.U16(FileRecord::FirstAttribute), bytes.Size(), locator, EHeaderName::Skip);
}

bool CFileEntry::IsLocated(const SLocatedRecord& located, uint32_t type, std::u16string_view name) const {
    if (located.type != type || located.nameLength != name.size()) return false;
    if (name.empty()) return true;
    const CByteReader whole(Loaded(located.record)->bytes);
    return HasName(whole.Sub(located.offset, whole.U32(located.offset + AttrRecord::Length)), name);
}

AttributeLocations CFileEntry::GatherExtents(size_t first, std::u16string_view name) const {
    const uint32_t type = m_located[first].type;
    AttributeLocations extents{Location(m_located[first])};
    for (size_t i = first + 1; i < m_located.size(); ++i) {
        if (!IsLocated(m_located[i], type, name)) continue;
        SAttributeLocation location = Location(m_located[i]);
        if (location.IsNonResident()) JoinExtent(extents, location);
    }
    return extents;
}

// Occurrences are numbered in the order of their first records: a resident
// record is an occurrence of its own; the non-resident records are the
// extents of one.
void CFileEntry::BuildAttributes(uint32_t type, std::u16string_view name) const {
    // Most calls ask for what an earlier one built, or for what the entry
    // lacks: neither leaves a record to build, and neither needs the count.
    const auto firstLocated = std::find_if(m_located.begin(), m_located.end(), [&](const SLocatedRecord& located) {
        return IsLocated(located, type, name);
    });
    if (firstLocated == m_located.end()) return;
    // The attribute list is built at load: further ones number after it.
    const uint32_t built = CountBuilt(m_attributes, type, name);
    uint32_t next = built;
    bool extentsBuilt = false;
    try {
        for (size_t i = static_cast<size_t>(firstLocated - m_located.begin()); i < m_located.size(); ++i) {
            if (!IsLocated(m_located[i], type, name)) continue;
            const SAttributeLocation location = Location(m_located[i]);
            AttributePtr attribute;
            if (!location.IsNonResident()) {
                attribute = std::make_shared<CAttribute>(m_volume, m_reference, std::span(&location, 1));
            } else if (!extentsBuilt) {
                extentsBuilt = true;
                attribute = std::make_shared<CAttribute>(m_volume, m_reference, GatherExtents(i, name));
            } else {
                continue;
            }
            Insert(m_attributes, SAttributeKey{type, std::u16string(name), next++}, std::move(attribute));
        }
    } catch (...) {
        // All occurrences or none: a damaged record stays located and raises
        // again on the next use rather than vanishing.
        for (uint32_t i = built; i < next; ++i) m_attributes.erase(Find(m_attributes, type, name, i));
        throw;
    }
    if (next == built) return;
    m_located.EraseIf([&](const SLocatedRecord& located) { return IsLocated(located, type, name); });
    if (!m_located.empty()) return;
    m_loadedBase.reset();
    m_loadedExtensions.clear();
}

void CFileEntry::BuildAllAttributes() const {
    // The name is copied out as it lies (its bounds were checked when it was
    // located): the build checks the whole header anyway.
    std::array<char16_t, 255> name;
    while (!m_located.empty()) {
        const SLocatedRecord& first = m_located.front();
        const CByteReader whole(Loaded(first.record)->bytes);
        const CByteReader record = whole.Sub(first.offset, whole.U32(first.offset + AttrRecord::Length));
        record.U16Array(record.U16(AttrRecord::NameOffset), name.data(), first.nameLength);
        BuildAttributes(first.type, std::u16string_view(name.data(), first.nameLength));
    }
}

const CFileEntry::AttributeMap& CFileEntry::GetAttributes() const {
    BuildAllAttributes();
    return m_attributes;
}

// The list's records in the base record: one resident record, or extents of
// which only one has a VCN of its own (another at the same VCN is ignored).
void CFileEntry::LoadAttributeList() {
    auto isList = [&](const SLocatedRecord& located) { return IsLocated(located, AttrType::AttributeList, u""); };
    auto first = std::find_if(m_located.begin(), m_located.end(), isList);
    if (first == m_located.end()) return;
    AttributeLocations extents;
    size_t records = 0;
    for (auto it = first; it != m_located.end(); ++it) {
        if (!isList(*it)) continue;
        if (!Location(*it).IsNonResident()) ++records;
        else if (extents.empty()) records += (extents = GatherExtents(static_cast<size_t>(it - m_located.begin()), u"")).size();
    }
    if (records != 1) throw CException(EErrorKind::Corrupt, "attrListItr->second.size() != 1 (%1)", records);
    if (extents.empty()) extents.push_back(Location(*first));

    auto list = std::make_shared<CAttribute>(m_volume, m_reference, extents);
    Insert(m_attributes, SAttributeKey{AttrType::AttributeList, u"", 0}, list);
    m_located.EraseIf(isList);
    if (list->GetSize() > kLargestAttributeList)
        throw CException(EErrorKind::Unsupported, "Attribute list of file entry %1 is too large: %2",
                         RecordNumber(m_reference), list->GetSize());
    if (list->GetSize() == 0) return;
    std::vector<uint8_t> data = list->ReadAll();
    ReadExtensionRecords(CByteReader(data));
    // Extents of the list in extension records belong to the list built
    // here; a resident one would be a further occurrence.
    if (list->IsNonResident())
        m_located.EraseIf([&](const SLocatedRecord& located) {
            return isList(located) && Location(located).IsNonResident();
        });
}

void CFileEntry::ReadExtensionRecords(const CByteReader& list) {
    std::set<uint64_t> read;
    size_t position = 0;
    // Every step advances by a checked, non-zero length inside the list, so the
    // walk ends; a malformed entry ends it early.
    while (position < list.Size()) {
        if (list.Size() - position >= sizeof(uint32_t) && list.U32(position + AttrListEntry::Type) == AttrType::End)
            break;
        SAttributeListEntry entry;
        if (ReadAttributeListEntry(list, position, entry) != EListEntryFault::None) {
            LogWarning(FormatText("File entry %1: attribute list ends at a malformed entry at offset %2",
                                  RecordNumber(m_reference), position));
            break;
        }
        uint64_t recordNumber = RecordNumber(entry.reference);
        if (!SameRecord(entry.reference, m_reference) && read.insert(recordNumber).second)
            ReadExtensionRecord(entry.reference);
        position += entry.length;
    }
}

void CFileEntry::ReadExtensionRecord(FileReference reference) {
    uint64_t recordNumber = RecordNumber(reference);
    uint64_t recordCount = m_volume.GetMftRecordCount();
    if (recordNumber >= recordCount)
        throw CException(EErrorKind::Corrupt,
                         "Corrupt attribute list of file entry %1: extension record %2 is beyond the MFT (%3 records)",
                         RecordNumber(m_reference), recordNumber, recordCount);
    MftRecBufferPtr record = m_volume.ReadMftRecord(reference);
    CheckExtensionRecord(*record, recordNumber, m_reference);
    LocateAttributeRecords(record);
    m_extensions.insert(reference);
}

// Every record of an entry is located at load and a (type, name) is built
// whole, so one built occurrence means no record of it is left to build. The
// attribute list is the exception: it is built at load, and a further record
// of it found in an extension record is built later.
bool CFileEntry::IsBuiltWhole(uint32_t type) const { return type != AttrType::AttributeList; }

AttributePtr CFileEntry::FindAttribute(uint32_t type, std::u16string_view name) const {
    auto it = Find(m_attributes, type, name);
    if (it != m_attributes.end() && IsBuiltWhole(type)) return it->second;
    if (m_located.empty()) return it == m_attributes.end() ? nullptr : it->second;
    BuildAttributes(type, name);
    it = Find(m_attributes, type, name);
    return it == m_attributes.end() ? nullptr : it->second;
}

std::vector<AttributePtr> CFileEntry::FindAttributes(uint32_t type, std::u16string_view name) const {
    BuildAttributes(type, name);
    std::vector<AttributePtr> found;
    for (auto it = LowerBound(m_attributes, type, name); it != m_attributes.end() && SameTypeAndName(it->first, type, name);
         ++it)
        found.push_back(it->second);
    return found;
}

size_t CFileEntry::CountAttributes(uint32_t type, std::u16string_view name) const {
    if (!IsBuiltWhole(type)) {
        BuildAttributes(type, name);
        return CountBuilt(m_attributes, type, name);
    }
    if (const uint32_t built = CountBuilt(m_attributes, type, name); built != 0) return built;
    // Counted where they lie, as BuildAttributes numbers them: every open of
    // a file asks how many names it has, and building them only to count
    // would cost each open an attribute object.
    size_t resident = 0;
    bool extents = false;
    for (const SLocatedRecord& located : m_located) {
        if (located.type != type || !IsLocated(located, type, name)) continue;
        if (located.nonResident) extents = true;
        else ++resident;
    }
    return resident + (extents ? 1 : 0);
}

AttributePtr CFileEntry::GetAttribute(uint32_t type, std::u16string_view name) const {
    AttributePtr attribute = FindAttribute(type, name);
    if (!attribute) throw CException(EErrorKind::Corrupt, "Attribute %1 %2 not found", type, name);
    return attribute;
}

std::optional<std::span<const uint8_t>> CFileEntry::LocatedResidentValue(uint32_t type,
                                                                         std::u16string_view name) const {
    // Every record of a (type, name) stays located until all of them are
    // built, so the first one located is occurrence 0. Further records of
    // the attribute list are the exception.
    if (!IsBuiltWhole(type)) return std::nullopt;
    const auto first = std::find_if(m_located.begin(), m_located.end(), [&](const SLocatedRecord& located) {
        return IsLocated(located, type, name);
    });
    if (first == m_located.end()) return std::nullopt;
    // Its header was checked when it was located (the value lies inside
    // it); the reads below are bounded all the same.
    const CByteReader whole(Loaded(first->record)->bytes);
    const CByteReader record = whole.Sub(first->offset, whole.U32(first->offset + AttrRecord::Length));
    if (record.U8(AttrRecord::NonResident) != 0) return std::nullopt;
    const CByteReader value = record.Sub(record.U16(AttrRecord::ValueOffset), record.U32(AttrRecord::ValueLength));
    return std::span<const uint8_t>(value.Data(), value.Size());
}

AttributePtr CFileEntry::CreateAttribute(uint32_t type, std::u16string_view name, bool resident) {
    BuildAllAttributes();
    if (Find(m_attributes, type, name) != m_attributes.end())
        throw CException(EErrorKind::Argument,
                         "Cannot create new attribute %1 %2 for file entry %3: attribute already exists", type, name,
                         m_reference);
    auto attribute = std::make_shared<CAttribute>(m_volume, m_reference, type, std::u16string(name), resident);
    Insert(m_attributes, SAttributeKey{type, std::u16string(name), 0}, attribute);
    return attribute;
}

void CFileEntry::DeleteAttribute(uint32_t type, std::u16string_view name) {
    BuildAllAttributes();
    auto it = Find(m_attributes, type, name);
    if (it == m_attributes.end())
        throw CException(EErrorKind::Argument, "Cannot delete attribute %1 %2: attributes does not exist", type, name);
    // Releasing rather than shrinking hands a non-resident attribute's clusters
    // back to the allocator instead of leaking them.
    it->second->ReleaseClusters();
    it->second->ClearDirty();
    m_attributes.erase(it);
    m_dirty = true;
    RenumberOccurrences(type, name);
}

AttributePtr CFileEntry::AddAttribute(uint32_t type, std::u16string_view name, bool resident) {
    BuildAllAttributes();
    uint32_t occurrence = static_cast<uint32_t>(CountAttributes(type, name));
    auto attribute = std::make_shared<CAttribute>(m_volume, m_reference, type, std::u16string(name), resident);
    Insert(m_attributes, SAttributeKey{type, std::u16string(name), occurrence}, attribute);
    m_dirty = true;
    return attribute;
}

void CFileEntry::RemoveAttribute(const AttributePtr& attribute) {
    BuildAllAttributes();
    auto it = std::find_if(m_attributes.begin(), m_attributes.end(),
                           [&](const auto& item) { return item.second == attribute; });
    if (it == m_attributes.end()) throw CException(EErrorKind::Argument, "Cannot delete attribute: attributes does not exist");
    SAttributeKey key = it->first;
    it->second->ReleaseClusters();
    it->second->ClearDirty();
    m_attributes.erase(it);
    m_dirty = true;
    RenumberOccurrences(key.type, key.name);
}

void CFileEntry::SetLinkCount(uint16_t count) {
    if (count == m_linkCount) return;
    m_linkCount = count;
    m_dirty = true;
}

// Further records of the same type and name move up, so that the first one
// left is again the one that FindAttribute returns.
void CFileEntry::RenumberOccurrences(uint32_t type, std::u16string_view name) {
    std::vector<AttributePtr> rest;
    auto it = LowerBound(m_attributes, type, name);
    while (it != m_attributes.end() && SameTypeAndName(it->first, type, name)) {
        rest.push_back(it->second);
        it = m_attributes.erase(it);
    }
    for (uint32_t i = 0; i < rest.size(); ++i) Insert(m_attributes, SAttributeKey{type, std::u16string(name), i}, rest[i]);
}

// Attributes not built yet are as loaded.
bool CFileEntry::IsDirty() const {
    if (m_dirty) return true;
    for (const auto& [key, attribute] : m_attributes)
        if (attribute->IsDirty()) return true;
    return false;
}

bool CFileEntry::SettleResidency() {
    BuildAllAttributes();
    const bool fits = FitsInBaseRecord() || MoveResidentValuesOut();
    // A compression unit still in memory takes its clusters now, so that the
    // runs and sizes the record and the names' copies get are final.
    bool stored = false;
    for (const auto& [key, attribute] : m_attributes) stored = attribute->StorePendingUnit() || stored;
    return stored ? FitsInBaseRecord() : fits;
}

bool CFileEntry::FitsInBaseRecord() const {
    uint64_t needed = 0;
    for (const auto& [key, attribute] : m_attributes)
        if (key.type != AttrType::AttributeList) needed += attribute->GetSerializedSize();
    return needed <= RecordCapacity(m_volume.GetMftRecordSize());
}

// Largest values first, as long as their record gets shorter by it; a value
// that a record must hold stays.
bool CFileEntry::MoveResidentValuesOut() {
    constexpr uint64_t kNonResidentRecordBytes = AttrRecord::NonResidentHeaderSize + 8 - AttrRecord::ResidentHeaderSize;
    std::vector<AttributePtr> candidates;
    for (const auto& [key, attribute] : m_attributes) {
        if (attribute->IsNonResident() || key.type == AttrType::AttributeList || !MayBeNonResident(key.type)) continue;
        if (RoundUp(attribute->GetSize(), 8) > kNonResidentRecordBytes) candidates.push_back(attribute);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const AttributePtr& a, const AttributePtr& b) { return a->GetSize() > b->GetSize(); });
    for (const AttributePtr& attribute : candidates) {
        if (FitsInBaseRecord()) return true;
        attribute->MakeNonResident(attribute->GetSize());
    }
    return FitsInBaseRecord();
}

void CFileEntry::Save() {
    if (!IsDirty()) return;
    // Builds every attribute: the records are rebuilt whole.
    if (SettleResidency()) SaveInBaseRecord();
    else SaveWithAttrList();
    for (const auto& [key, attribute] : m_attributes) attribute->ClearDirty();
    m_dirty = false;
    m_volume.ReleasePendingClusters(m_reference);
}

void CFileEntry::SaveInBaseRecord() {
    // Before the record is built: writing bits past the initialized size of
    // $MFT's bitmap moves that size, and record 0 must say so before any
    // record those bits mark is written, or the next session reads the bits
    // as free and hands out live records again.
    m_volume.FlushBitmaps();
    m_volume.WriteMftRecord(m_reference, BuildBaseRecord());
    // Only once the base record no longer points at them.
    if (FindAttribute(AttrType::AttributeList)) DeleteAttribute(AttrType::AttributeList);
    ReleaseExtensionRecords();
}

void CFileEntry::SaveWithAttrList() {
    AttributePtr list = FindAttribute(AttrType::AttributeList);
    if (!list) list = CreateAttribute(AttrType::AttributeList, u"", true);
    SListLayout layout = PlanAttributeList(*list);
    size_t taken = m_extensions.size();
    std::vector<FileReference> extensions = TakeExtensionRecords(layout.extensions.size());
    // Taking records may have grown the MFT itself, and with it this entry
    // when it is $MFT: its layout is planned again.
    if (m_extensions.size() != taken && RecordNumber(m_reference) == kMftRecord) {
        layout = PlanAttributeList(*list);
        extensions = TakeExtensionRecords(layout.extensions.size());
    }
    m_volume.FlushBitmaps();  // as in SaveInBaseRecord, before anything is built
    std::vector<uint8_t> value = BuildAttributeList(layout.base, m_reference, layout.extensions, extensions);
    list->SetSize(value.size());
    list->WriteData(0, value.data(), NumericCast<uint32_t>(value.size()));
    for (SRecordPiece& piece : layout.base)
        if (piece.attribute == list) piece = WholePiece(piece.key, list);

    // The extension records first: the base record's list points at them.
    for (size_t i = 0; i < extensions.size(); ++i)
        m_volume.WriteMftRecord(extensions[i], BuildRecord(extensions[i], SequenceNumber(extensions[i]), m_reference,
                                                           FileRecord::FlagInUse, 0, layout.extensions[i]));
    m_volume.WriteMftRecord(m_reference, BuildRecord(m_reference, m_sequenceNumber, 0,
                                                     m_flags | FileRecord::FlagInUse, m_linkCount, layout.base));
    std::vector<FileReference> surplus;
    for (FileReference extension : m_extensions)
        if (std::find(extensions.begin(), extensions.end(), extension) == extensions.end()) surplus.push_back(extension);
    ReleaseExtensionRecords(surplus);
}

// The base record keeps what must stay there (the standard information) and
// the list, followed by as many attributes in key order as fit; the rest goes
// to extension records. The list stays in the record when it can.
SListLayout CFileEntry::PlanAttributeList(CAttribute& list) {
    if (RecordNumber(m_reference) == kMftRecord) return PlanMftAttributeList(list);
    const uint32_t capacity = RecordCapacity(m_volume.GetMftRecordSize());
    SListLayout layout;
    std::vector<std::pair<SAttributeKey, AttributePtr>> rest;
    AttributePtr listPointer;
    for (const auto& [key, attribute] : m_attributes) {
        if (key.type == AttrType::AttributeList && key.name.empty()) listPointer = attribute;
        else if (key.type < AttrType::AttributeList) layout.base.push_back(WholePiece(key, attribute));
        else rest.emplace_back(key, attribute);
    }
    const uint32_t fixed = PiecesSize(layout.base);
    size_t longest = 0;
    for (uint64_t used = fixed; longest < rest.size(); ++longest) {
        used += rest[longest].second->GetSerializedSize();
        if (used > capacity) break;
    }
    for (bool resident : {true, false}) {
        if (resident && list.IsNonResident()) continue;
        if (!resident && !list.IsNonResident()) list.MakeNonResident(0);
        for (size_t prefix = longest + 1; prefix-- > 0;) {
            SListLayout trial{layout.base, {}};
            for (size_t i = 0; i < prefix; ++i) trial.base.push_back(WholePiece(rest[i].first, rest[i].second));
            CRecordPacker packer(capacity);
            for (size_t i = prefix; i < rest.size(); ++i) packer.Add(rest[i].first, rest[i].second);
            trial.extensions = packer.Records();
            uint32_t listBytes = AttributeListSize(trial.base, trial.extensions);
            uint32_t listRecord = AttrRecord::ResidentHeaderSize + static_cast<uint32_t>(RoundUp(listBytes, 8));
            if (!resident) {
                list.SetSize(listBytes);
                listRecord = list.GetSerializedSize();
            }
            if (uint64_t{PiecesSize(trial.base)} + listRecord > capacity) continue;
            SRecordPiece listPiece{SAttributeKey{AttrType::AttributeList, u"", 0}, listPointer, 0, 0, listRecord};
            trial.base.insert(trial.base.begin() + static_cast<std::ptrdiff_t>(layout.base.size()), listPiece);
            return trial;
        }
    }
    throw CException(EErrorKind::Unsupported, "Cannot save file entry %1: its attributes do not fit its records",
                     RecordNumber(m_reference));
}

// The entry's own extension records in record order, then fresh ones.
// $MFT is found through its own $DATA: the extent that maps VCN 0 (and with
// it the records kept for $MFT's extension records) stays in record 0, after
// the attributes that sort before it; the rest of $DATA and what follows it
// go to extension records. The list grows until the room it leaves is enough.
SListLayout CFileEntry::PlanMftAttributeList(CAttribute& list) {
    const uint32_t capacity = RecordCapacity(m_volume.GetMftRecordSize());
    RecordPieces fixed;
    std::vector<std::pair<SAttributeKey, AttributePtr>> rest;
    AttributePtr listPointer;
    for (const auto& [key, attribute] : m_attributes) {
        if (key.type == AttrType::AttributeList && key.name.empty()) listPointer = attribute;
        else if (key.type < AttrType::Data) fixed.push_back(WholePiece(key, attribute));
        else rest.emplace_back(key, attribute);
    }
    if (rest.empty() || rest.front().first.type != AttrType::Data || !rest.front().second->IsNonResident())
        throw CException(EErrorKind::Corrupt, "Cannot save the MFT: record 0 has no non-resident $DATA attribute");
    for (bool resident : {true, false}) {
        if (resident && list.IsNonResident()) continue;
        if (!resident && !list.IsNonResident()) list.MakeNonResident(0);
        uint32_t listRecord = resident ? AttrRecord::ResidentHeaderSize : list.GetSerializedSize();
        while (uint64_t{PiecesSize(fixed)} + listRecord < capacity) {
            CRecordPacker packer(capacity, PiecesSize(fixed) + listRecord);
            packer.AddSplit(rest.front().first, rest.front().second);
            for (size_t i = 1; i < rest.size(); ++i) packer.Add(rest[i].first, rest[i].second);
            SListLayout trial{fixed, {packer.Records().begin() + 1, packer.Records().end()}};
            const RecordPieces& inBase = packer.Records().front();
            if (inBase.empty()) break;  // not even one run fits beside this list
            trial.base.insert(trial.base.end(), inBase.begin(), inBase.end());
            const uint32_t listBytes = AttributeListSize(trial.base, trial.extensions);
            if (!resident) list.SetSize(listBytes);
            const uint32_t needed = resident ? AttrRecord::ResidentHeaderSize + static_cast<uint32_t>(RoundUp(listBytes, 8))
                                             : list.GetSerializedSize();
            if (needed > listRecord) {
                listRecord = needed;
                continue;
            }
            auto position = std::find_if(trial.base.begin(), trial.base.end(), [](const SRecordPiece& piece) {
                return piece.key.type > AttrType::AttributeList;
            });
            trial.base.insert(position, SRecordPiece{SAttributeKey{AttrType::AttributeList, u"", 0}, listPointer, 0, 0, listRecord});
            return trial;
        }
    }
    throw CException(EErrorKind::Unsupported, "Cannot save the MFT: record 0 has no room for the first extent of its data");
}

std::vector<FileReference> CFileEntry::TakeExtensionRecords(size_t count) {
    std::vector<FileReference> taken(m_extensions.begin(), m_extensions.end());
    std::sort(taken.begin(), taken.end(),
              [](FileReference a, FileReference b) { return RecordNumber(a) < RecordNumber(b); });
    while (taken.size() < count) {
        taken.push_back(AllocateExtensionRecord());
        m_extensions.insert(taken.back());
    }
    taken.resize(count);
    return taken;
}

FileReference CFileEntry::AllocateExtensionRecord() {
    const uint64_t recordNumber = RecordNumber(m_reference) == kMftRecord ? m_volume.AllocateMftExtensionRecord()
                                                                          : m_volume.AllocateMftRecord();
    // A reused record continues its sequence, so that a stale reference to
    // what it held before can be told apart.
    uint16_t sequence = 1;
    try {
        MftRecBufferPtr record = m_volume.ReadMftRecord(recordNumber);
        const SFileRecordHeader old = ReadFileRecordHeader(record->bytes);
        if (old.IsFileRecord()) sequence = NextSequenceNumber(old.sequence);
    } catch (const std::exception&) {
        // An unreadable free record starts again at 1.
    }
    return MakeReference(recordNumber, sequence);
}

MftRecBufferPtr CFileEntry::BuildRecord(FileReference reference, uint16_t sequence, FileReference base,
                                        uint16_t flags, uint16_t linkCount, const RecordPieces& pieces) const {
    MftRecBufferPtr record = StartRecord(reference, sequence, base, flags, linkCount, PiecesSize(pieces));
    CByteWriter writer(record->bytes);
    uint32_t position = writer.Reader().U16(FileRecord::FirstAttribute);
    uint16_t instance = 0;
    for (const SRecordPiece& piece : pieces) {
        CByteWriter out = writer.Sub(position, writer.Size() - position);
        uint32_t length = piece.attribute->IsNonResident()
                              ? piece.attribute->SerializeExtent(out, piece.firstVcn, piece.endVcn)
                              : piece.attribute->Serialize(out);
        writer.U16(position + AttrRecord::Instance, instance++);
        position += length;
    }
    EndRecord(writer, position, instance);
    return record;
}

// Every attribute but the list, whole and in key order: the bytes BuildRecord
// makes of their whole pieces, without a piece for each. Save has sized them
// already; the room they took is checked once they are written.
MftRecBufferPtr CFileEntry::BuildBaseRecord() const {
    MftRecBufferPtr record = StartRecord(m_reference, m_sequenceNumber, 0, m_flags | FileRecord::FlagInUse, m_linkCount, 0);
    CByteWriter writer(record->bytes);
    const uint32_t first = writer.Reader().U16(FileRecord::FirstAttribute);
    uint32_t position = first;
    uint16_t instance = 0;
    for (const auto& [key, attribute] : m_attributes) {
        if (key.type == AttrType::AttributeList) continue;
        uint32_t length = attribute->Serialize(writer.Sub(position, writer.Size() - position));
        writer.U16(position + AttrRecord::Instance, instance++);
        position += length;
    }
    if (position - first > RecordCapacity(m_volume.GetMftRecordSize()))
        throw CException(EErrorKind::Unsupported, "Cannot save file entry %1: record %2 would overflow",
                         RecordNumber(m_reference), RecordNumber(m_reference));
    EndRecord(writer, position, instance);
    return record;
}

// The volume's record buffer with the header written, once the attribute
// records of `size` bytes are known to fit.
MftRecBufferPtr CFileEntry::StartRecord(FileReference reference, uint16_t sequence, FileReference base, uint16_t flags,
                                        uint16_t linkCount, uint64_t size) const {
    if (size > RecordCapacity(m_volume.GetMftRecordSize()))
        throw CException(EErrorKind::Unsupported, "Cannot save file entry %1: record %2 would overflow",
                         RecordNumber(m_reference), RecordNumber(reference));
    MftRecBufferPtr record = m_volume.RecordBuffer();
    WriteRecordHeader(CByteWriter(record->bytes), RecordNumber(reference), sequence, base, flags, linkCount);
    return record;
}

void CFileEntry::EndRecord(const CByteWriter& writer, uint32_t position, uint16_t instances) {
    writer.U32(position, AttrType::End);
    writer.U32(position + AttrRecord::Length, 0);
    writer.U16(FileRecord::NextInstance, instances);
    writer.U32(FileRecord::BytesInUse, position + FileRecord::EndMarkerSize);
}

void CFileEntry::ReleaseExtensionRecords(const std::vector<FileReference>& extensions) {
    uint32_t recordSize = m_volume.GetMftRecordSize();
    for (FileReference extension : extensions) {
        MftRecBufferPtr record = BuildRecordHeader(recordSize, extension, m_reference, 0, 0);
        CByteWriter(record->bytes).U16(FileRecord::SequenceNumber, NextSequenceNumber(SequenceNumber(extension)));
        m_volume.WriteMftRecord(extension, record);
        m_volume.FreeMftRecord(extension);
        m_extensions.erase(extension);
    }
}

void CFileEntry::ReleaseExtensionRecords() {
    ReleaseExtensionRecords(std::vector<FileReference>(m_extensions.begin(), m_extensions.end()));
}

void CFileEntry::Delete() {
    // A damaged attribute that holds clusters refuses the delete before the
    // record goes out of use. Records left resident release nothing (their
    // bounds were checked when they were located): a small file's delete
    // builds no attribute object at all.
    const bool mayHoldClusters =
        !m_extensions.empty() || std::any_of(m_located.begin(), m_located.end(), [](const SLocatedRecord& located) {
            return located.nonResident || located.type == AttrType::AttributeList;
        });
    if (mayHoldClusters) BuildAllAttributes();
    uint16_t flags = static_cast<uint16_t>(m_flags & ~FileRecord::FlagInUse);
    MftRecBufferPtr record = BuildRecordHeader(m_volume.GetMftRecordSize(), m_reference, 0, flags, 1);
    // References to the deleted object must not match the record's next one.
    CByteWriter(record->bytes).U16(FileRecord::SequenceNumber, NextSequenceNumber(m_sequenceNumber));
    // Out of use on disk first: should that fail, the record and everything
    // it points at stay taken, a leak rather than clusters handed out twice.
    m_volume.WriteMftRecord(m_reference, record);
    for (const auto& [key, attribute] : m_attributes) attribute->ReleaseClusters();
    m_attributes.clear();
    m_volume.ReleasePendingClusters(m_reference);
    ReleaseExtensionRecords();
    m_volume.FreeMftRecord(m_reference);
    m_reference = kDeletedReference;
}

}  // namespace volcore
