#pragma once
// One file or directory as the engine sees it: its base record, the extension
// records reached through its attribute list, and all of its attributes.
// A load only finds where each attribute record lies; an attribute is built
// (its header checked, its runs decoded) when it is first asked for, so that
// an open pays only for the attributes it uses.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/InlineVector.h"
#include "entries/Attribute.h"
#include "disk/RecordFormat.h"
#include "entries/RecordLayout.h"
#include "disk/MftRecBuffer.h"
#include "disk/Types.h"

namespace volcore {

class IVolumeServices;

// Where a save with an attribute list puts the entry's attribute records.
struct SListLayout {
    RecordPieces base;
    std::vector<RecordPieces> extensions;
};

// One attribute record of an entry's loaded records, its header checked at
// load, whose attribute is not built yet.
struct SLocatedRecord {
    uint32_t type = 0;
    uint32_t record = 0;  // which of the entry's loaded records
    uint32_t offset = 0;  // of the attribute record in it
    uint8_t nameLength = 0;
    // As the record said at load: an open counts the names without reading it.
    bool nonResident = false;
};
// Inside the entry up to the attribute records of a usual base record: every load fills it.
using LocatedRecords = CInlineVector<SLocatedRecord, 8>;

class CFileEntry {
public:
    // Sorted by key; an entry holds a handful, so one array serves them
    // without a heap node each.
    using AttributeMap = std::vector<std::pair<SAttributeKey, AttributePtr>>;

    // Loads the entry whose base record is `reference`.
    static std::shared_ptr<CFileEntry> Load(FileReference reference, IVolumeServices& volume);
    // Builds an entry from a record already in memory (reference 0): $MFT itself.
    static std::shared_ptr<CFileEntry> LoadFromBuffer(const MftRecBufferPtr& buffer, IVolumeServices& volume);
    // Takes a free MFT record; the entry starts with no attributes.
    static std::shared_ptr<CFileEntry> Create(uint16_t flags, IVolumeServices& volume);

    CFileEntry(FileReference reference, IVolumeServices& volume, uint16_t flags);

    FileReference GetReference() const { return m_reference; }
    IVolumeServices& GetVolume() const { return m_volume; }
    uint16_t GetFlags() const { return m_flags; }
    bool IsDeleted() const { return m_reference == kDeletedReference; }
    // Header fields a save carries over from the loaded record.
    uint16_t GetSequenceNumber() const { return m_sequenceNumber; }
    uint16_t GetLinkCount() const { return m_linkCount; }
    // Every attribute, built first where it has not been yet.
    const AttributeMap& GetAttributes() const;
    const std::set<FileReference>& GetExtensionRecords() const { return m_extensions; }

    // Occurrence 0 of (type, name); empty when absent.
    AttributePtr FindAttribute(uint32_t type, std::u16string_view name = {}) const;
    // Every occurrence of (type, name) in record order (several $FILE_NAMEs).
    std::vector<AttributePtr> FindAttributes(uint32_t type, std::u16string_view name = {}) const;
    // How many there are, without gathering them.
    size_t CountAttributes(uint32_t type, std::u16string_view name = {}) const;
    // As FindAttribute, raising "Attribute %1 %2 not found" when absent.
    AttributePtr GetAttribute(uint32_t type, std::u16string_view name = {}) const;
    // The value of occurrence 0 of (type, name) where it lies in the loaded
    // record, for a reader that only looks: nothing is built, which spares a
    // first visit the attribute objects it would never use. Valid until the
    // entry is next used. Empty when the attribute must be built to be read:
    // not located (built already, or absent) or not resident.
    std::optional<std::span<const uint8_t>> LocatedResidentValue(uint32_t type, std::u16string_view name = {}) const;
    AttributePtr CreateAttribute(uint32_t type, std::u16string_view name, bool resident);
    void DeleteAttribute(uint32_t type, std::u16string_view name = {});
    // A further occurrence of (type, name) after those present: another
    // $FILE_NAME of an object with several names.
    AttributePtr AddAttribute(uint32_t type, std::u16string_view name, bool resident);
    // Removes this one occurrence; those after it move up.
    void RemoveAttribute(const AttributePtr& attribute);
    // The header's count of names; a save writes it.
    void SetLinkCount(uint16_t count);

    bool IsDirty() const;
    // Makes the next Save rebuild the record even if no attribute changed.
    void MarkDirty() { m_dirty = true; }
    // Rebuilds and writes the entry's records when anything changed. What does
    // not fit the base record moves out: resident values into clusters first,
    // then attributes into extension records listed by an $ATTRIBUTE_LIST.
    void Save();
    // Moves resident values out of a record they no longer fit, as Save would:
    // called before copies of the sizes are taken, so that they match what
    // Save writes.
    // Returns whether the attributes then fit the base record.
    bool SettleResidency();
    // Releases clusters and records; the reference becomes all ones.
    void Delete();

private:
    static std::shared_ptr<CFileEntry> FromBaseRecord(const MftRecBufferPtr& base, FileReference reference,
                                                      IVolumeServices& volume);
    void LoadAttributes(const MftRecBufferPtr& base);
    // Builds the attributes still only located: those of (type, name), or all.
    void BuildAttributes(uint32_t type, std::u16string_view name) const;
    void BuildAllAttributes() const;
    // Whether a built occurrence of this type means all of them are built.
    bool IsBuiltWhole(uint32_t type) const;
    // Checks the header of every attribute record of `record` and notes where
    // each lies, in record order.
    void LocateAttributeRecords(const MftRecBufferPtr& record);
    const MftRecBufferPtr& Loaded(uint32_t record) const {
        return record == 0 ? m_loadedBase : m_loadedExtensions[record - 1];
    }
    SAttributeLocation Location(const SLocatedRecord& located) const { return {Loaded(located.record), located.offset}; }
    bool IsLocated(const SLocatedRecord& located, uint32_t type, std::u16string_view name) const;
    // The non-resident records of (type, name) from `first` on, joined as the
    // extents of one attribute in VCN order.
    AttributeLocations GatherExtents(size_t first, std::u16string_view name) const;
    void LoadAttributeList();
    void ReadExtensionRecords(const CByteReader& list);
    void ReadExtensionRecord(FileReference reference);
    void RenumberOccurrences(uint32_t type, std::u16string_view name);
    bool FitsInBaseRecord() const;
    bool MoveResidentValuesOut();  // whether they fit at the end
    void SaveInBaseRecord();
    void SaveWithAttrList();
    SListLayout PlanAttributeList(CAttribute& list);
    SListLayout PlanMftAttributeList(CAttribute& list);
    std::vector<FileReference> TakeExtensionRecords(size_t count);
    FileReference AllocateExtensionRecord();
    MftRecBufferPtr BuildRecord(FileReference reference, uint16_t sequence, FileReference base, uint16_t flags,
                                uint16_t linkCount, const RecordPieces& pieces) const;
    MftRecBufferPtr BuildBaseRecord() const;
    MftRecBufferPtr StartRecord(FileReference reference, uint16_t sequence, FileReference base, uint16_t flags,
                                uint16_t linkCount, uint64_t size) const;
    static void EndRecord(const CByteWriter& writer, uint32_t position, uint16_t instances);
    void ReleaseExtensionRecords(const std::vector<FileReference>& extensions);
    void ReleaseExtensionRecords();

    std::set<FileReference> m_extensions;
    // Built attributes, and where the records of those not built yet lie in
    // the loaded records: a (type, name) is built whole, so its records are
    // located or its attributes built, never both. The loaded records are the
    // entry's own copies, so what they hold stays what was loaded; they are
    // let go once nothing is located in them. Changes to the set of
    // attributes, saves and deletes build all of them first. A flat list in
    // record order rather than a map: a load allocates nothing per record.
    mutable AttributeMap m_attributes;
    mutable LocatedRecords m_located;
    mutable MftRecBufferPtr m_loadedBase;
    mutable std::vector<MftRecBufferPtr> m_loadedExtensions;
    FileReference m_reference;
    IVolumeServices& m_volume;
    uint16_t m_flags;
    uint16_t m_sequenceNumber = 1;
    uint16_t m_linkCount = 1;
    bool m_dirty = false;
};

using FileEntryPtr = std::shared_ptr<CFileEntry>;

}  // namespace volcore
