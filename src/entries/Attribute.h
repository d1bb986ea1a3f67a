#pragma once
// One attribute of a file entry, gathered from all of its extents: a resident
// value in memory, or non-resident data in clusters described by a run map.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/Bytes.h"
#include "entries/RecordFormat.h"
#include "volume/Types.h"

namespace volcore {

class CVolume;

class CAttribute {
public:
    // A new, empty, dirty attribute.
    CAttribute(CVolume& volume, FileReference owner, uint32_t type, std::u16string name, bool resident);
    // An attribute loaded from its extents (the first is the base extent).
    CAttribute(CVolume& volume, FileReference owner, const AttributeLocations& extents);

    uint32_t GetType() const { return m_type; }
    uint16_t GetFlags() const { return m_flags; }
    const std::u16string& GetName() const { return m_name; }
    FileReference GetOwner() const { return m_owner; }
    bool IsNonResident() const { return m_nonResident; }
    bool IsCompressed() const { return (m_flags & AttrRecord::FlagCompressedMask) != 0; }
    bool IsEncrypted() const { return (m_flags & AttrRecord::FlagEncrypted) != 0; }
    bool IsSparse() const { return (m_flags & AttrRecord::FlagSparse) != 0; }
    bool IsDirty() const { return m_dirty; }
    void ClearDirty() { m_dirty = false; }
    const RunMap& GetRuns() const { return m_runs; }

    uint64_t GetSize() const;
    uint64_t GetAllocatedSize() const;
    static uint32_t MaxResidentSize(uint32_t recordSize);

    // Copy attribute data; never change the size. A zero size, or a range past
    // the data size, raises the invalid-arguments failure.
    void ReadData(uint64_t offset, void* buffer, uint32_t size) const;
    void WriteData(uint64_t offset, const void* buffer, uint32_t size);
    // Reads the whole value (size checked against 32 bits).
    std::vector<uint8_t> ReadAll() const;

    void SetSize(uint64_t newSize);
    void Allocate(uint64_t newSize);
    void MakeNonResident(uint64_t newSize);
    void ReleaseClusters();
    void AddExtent(const AttributeLocation& extent);

    uint32_t GetSerializedSize() const;
    // Writes this attribute as one attribute record at the start of `out`
    // (which spans from the record position to the end of the record buffer);
    // returns the record length. The instance field is the caller's.
    uint32_t Serialize(const CByteWriter& out) const;

private:
    // One piece of a transfer: the part of one run that the range covers.
    struct STransferChunk {
        uint64_t lcn = 0;             // SparseLcn for a run without clusters
        uint64_t devicePosition = 0;  // checked to lie inside the device
        uint64_t bufferOffset = 0;
        uint32_t length = 0;
    };

    void InitFromBaseExtent(const AttributeLocation& extent);
    void ValidateLoadedRuns() const;
    void CheckRange(const char* operation, uint64_t offset, uint32_t size) const;
    uint64_t Transfer(uint64_t offset, uint32_t size, const std::function<void(const STransferChunk&)>& move) const;
    [[noreturn]] void ThrowNoncontiguous(uint64_t position, RunMap::const_iterator next) const;
    uint64_t DevicePosition(uint64_t lcn, uint64_t skip, uint32_t length, uint64_t deviceSize) const;
    EAllocationZone Zone() const;
    uint32_t HeaderSize() const;
    uint64_t BytesInUse() const;
    uint32_t SerializeResident(const CByteWriter& out, uint32_t position) const;
    uint32_t SerializeNonResident(const CByteWriter& out, uint32_t position) const;

    CVolume& m_volume;
    RunMap m_runs;
    std::vector<uint8_t> m_value;
    std::u16string m_name;
    FileReference m_owner;
    uint64_t m_dataSize = 0;
    uint32_t m_type = 0;
    uint16_t m_flags = 0;
    uint16_t m_compressionUnit = 0;
    bool m_nonResident = false;
    bool m_dirty = false;
};

using AttributePtr = std::shared_ptr<CAttribute>;

}  // namespace volcore
