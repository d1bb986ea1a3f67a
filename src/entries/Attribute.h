#pragma once
// One attribute of a file entry, gathered from all of its extents: a resident
// value in memory, or non-resident data in clusters described by a run map.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "disk/RecordFormat.h"
#include "disk/Types.h"

namespace volcore {

class IVolumeServices;

class CAttribute {
public:
    // A new, empty, dirty attribute.
    CAttribute(IVolumeServices& volume, FileReference owner, uint32_t type, std::u16string name, bool resident);
    // An attribute loaded from its extents (the first is the base extent).
    CAttribute(IVolumeServices& volume, FileReference owner, std::span<const SAttributeLocation> extents);
    // The first extent of a non-resident attribute alone, its sizes cut to
    // what that extent maps: how $MFT reads the extension records that hold
    // the rest of its own runs.
    static std::shared_ptr<CAttribute> FirstExtentOnly(IVolumeServices& volume, FileReference owner,
                                                       const SAttributeLocation& extent);

    uint32_t GetType() const { return m_type; }
    uint16_t GetFlags() const { return m_flags; }
    const std::u16string& GetName() const { return m_name; }
    FileReference GetOwner() const { return m_owner; }
    bool IsNonResident() const { return m_nonResident; }
    bool IsCompressed() const { return (m_flags & AttrRecord::FlagCompressedMask) != 0; }
    // Only data is ever stored compressed: on a directory's index the flag
    // just marks the directory compressed (new files in it are compressed).
    bool HoldsCompressedData() const { return IsCompressed() && m_type == AttrType::Data; }
    bool IsEncrypted() const { return (m_flags & AttrRecord::FlagEncrypted) != 0; }
    bool IsSparse() const { return (m_flags & AttrRecord::FlagSparse) != 0; }
    bool IsDirty() const { return m_dirty; }
    // Called once the record holds what the attribute holds.
    void ClearDirty() {
        m_dirty = false;
        m_unsavedClusters.clear();
    }
    const RunMap& GetRuns() const { return m_runMap; }

    uint64_t GetSize() const { return m_nonResident ? m_dataSize : m_value.size(); }
    // A resident value counts in whole 8-byte units, as its record stores it.
    uint64_t GetAllocatedSize() const;
    // What the data takes on the volume: the allocated size less the holes of
    // compressed and sparse data (their records' compressed size), as the
    // names' copies carry it.
    uint64_t GetSizeOnDisk() const;
    // The first bytes at or past `offset` that hold data, as [start, end):
    // holes are runs without clusters (whole compression units of them in
    // compressed data); {size, size} when only holes follow.
    std::pair<uint64_t, uint64_t> DataRangeFrom(uint64_t offset) const;
    // Bytes written so far (valid data length): what lies past it reads as
    // zeros without being read. The data size for a resident value.
    uint64_t GetInitializedSize() const { return m_nonResident ? m_initializedSize : m_value.size(); }
    static uint32_t MaxResidentSize(uint32_t recordSize);

    // Copy attribute data; never change the size. A zero size, or a range past
    // the data size, raises the invalid-arguments failure. A write past the
    // initialized size zeroes the clusters between it and the write first.
    void ReadData(uint64_t offset, void* buffer, uint32_t size) const {
        if (!ReadFromLastRun(offset, static_cast<uint8_t*>(buffer), size))
            ReadDataWalked(offset, static_cast<uint8_t*>(buffer), size);
    }
    void WriteData(uint64_t offset, const void* buffer, uint32_t size);
    // Reads the whole value (size checked against 32 bits).
    std::vector<uint8_t> ReadAll() const;
    // Raises when the data is larger than the volume could hold.
    void CheckSizeFitsVolume() const;

    // Growing never exposes old bytes: the new range reads as zeros. Shrinking
    // returns the clusters past the new end; an unnamed or named $DATA shrunk
    // to nothing goes back into its record.
    void SetSize(uint64_t newSize);
    void Allocate(uint64_t newSize);
    // Clusters for `bytes` of plain non-resident data, the size unchanged: a
    // growth within them later takes no allocation.
    void Reserve(uint64_t bytes);
    void MakeNonResident(uint64_t newSize);
    void ReleaseClusters();
    void AddExtent(const SAttributeLocation& extent);
    // Makes a new, still resident $DATA compressed: once it leaves the record
    // it is stored in compression units of 16 clusters.
    void MakeCompressed();
    // Makes plain $DATA sparse, as FSCTL_SET_SPARSE does: a growth then adds
    // a hole, and a write takes clusters only where it lands. Data kept in the
    // record leaves it first (the flag has no meaning there).
    void MakeSparse();
    // Makes [offset, offset + size) read as zeros, as FSCTL_SET_ZERO_DATA
    // does: in sparse data the clusters wholly inside become a hole (given up
    // at the next save, as a shrink's are) and only the parts of clusters at
    // its ends are written; other data gets zeros written.
    void ZeroRange(uint64_t offset, uint64_t size);
    // Stores the compression unit that writes have changed since it was last
    // stored; a save calls it before the record is built. Returns whether
    // there was one (the runs, and with them the record bytes, may have changed).
    bool StorePendingUnit();

    // Record bytes of the whole attribute in one record, exactly as Serialize
    // writes them.
    uint32_t GetSerializedSize() const;
    // Record bytes of a non-resident attribute's header and name, before its
    // mapping pairs.
    uint32_t ExtentHeaderSize() const;
    // Writes this attribute as one attribute record at the start of `out`
    // (which spans from the record position to the end of the record buffer);
    // returns the record length. The instance field is the caller's.
    uint32_t Serialize(const CByteWriter& out) const;
    // The same for the extent of a non-resident attribute that maps VCNs
    // [firstVcn, endVcn); only the extent at VCN 0 carries the sizes.
    uint32_t SerializeExtent(const CByteWriter& out, uint64_t firstVcn, uint64_t endVcn) const;

private:
    // One piece of a transfer: the part of one run that the range covers.
    struct STransferChunk {
        uint64_t lcn = 0;             // SparseLcn for a run without clusters
        uint64_t devicePosition = 0;  // checked to lie inside the device
        uint64_t bufferOffset = 0;
        uint32_t length = 0;
    };

    void InitFromBaseExtent(const SAttributeLocation& extent);
    void ValidateLoadedRuns() const;
    void CheckRange(const char* operation, uint64_t offset, uint32_t size) const;
    void CheckReadable() const;
    // Compressed attributes (AttributeCompressed.cpp): reads [offset, offset +
    // size) of the data, which lies inside the initialized size, a
    // compression unit at a time.
    void ReadCompressed(uint64_t offset, uint8_t* out, uint64_t size) const;
    uint64_t CompressionUnitBytes() const;
    const std::vector<uint8_t>& CompressionUnit(uint64_t unit) const;
    void CheckChangeable() const;
    // Bytes one step of allocation adds: a compression unit for compressed
    // data (and sparse data that has a unit), else a cluster.
    uint64_t AllocationGranule() const;
    // Writes through whichever form the data is stored in.
    void WriteStored(uint64_t offset, const uint8_t* buffer, uint64_t size);

    // Sparse data (AttributeSparse.cpp): clusters for the holes a write
    // covers, taken one cluster at a time; the rest of the file stays a hole.
    void FillHoles(uint64_t offset, uint64_t size);
    // `count` new clusters placed after `previous` when it can be done.
    std::vector<SLcnAndLength> AllocateAfter(const SLcnAndLength& previous, uint64_t count);
    SLcnAndLength LastClustersBefore(uint64_t vcn) const;
    void MakeHole(uint64_t vcn, uint64_t count);
    // Zeros written over [from, to) where it may hold anything but zeros:
    // not past the initialized size, nor in a hole.
    void WriteZeros(uint64_t from, uint64_t to);
    // Whether every piece lies in clusters taken since the record was last
    // saved: no record on disk points at those, so they may be rewritten.
    bool TakenSinceSave(const std::vector<SLcnAndLength>& pieces) const;

    // Compressed writes (AttributeCompressed.cpp): a unit is read, patched in
    // memory and stored again (compressed, as it is, or as a hole) when a
    // write moves on to another unit, on a resize or at the save.
    void WriteCompressed(uint64_t offset, const uint8_t* buffer, uint64_t size);
    std::vector<uint8_t>& PendingUnit(uint64_t unit, bool overwrittenWhole);
    void StoreUnit(uint64_t unit, const std::vector<uint8_t>& bytes);
    // Gives the unit exactly `clusters` clusters (the rest of it a hole),
    // returned in order: new ones, unless the unit's clusters were all taken
    // since the last save, which it then keeps as far as it needs them.
    std::vector<SLcnAndLength> PlaceUnit(uint64_t unit, uint64_t clusters);
    void WritePieces(const std::vector<SLcnAndLength>& pieces, const uint8_t* bytes, uint64_t length);
    void ResizeCompressed(uint64_t newSize);
    // Data another writer left past the initialized size becomes zeros in
    // the units themselves, so that the initialized size can follow the data size.
    void ZeroPastInitialized();
    void DropPendingUnit();
    // Walks the runs that cover [offset, offset + size) and hands every piece
    // to `move`, one piece per run (a run of more than a gibibyte in several).
    // Returns the bytes covered, which is short of `size` when the runs end
    // first. A template: every read of an index block or record passes here,
    // and a call through a type-erased function cost more than the step.
    template <typename Move>
    uint64_t Transfer(uint64_t offset, uint64_t size, Move&& move) const {
        uint64_t done = 0;
        STransferChunk chunk;
        while (done < size && NextChunk(offset + done, size - done, chunk)) {
            chunk.bufferOffset = done;
            move(static_cast<const STransferChunk&>(chunk));
            done += chunk.length;
        }
        return done;
    }
    // The piece of the run holding `position`, at most `left` bytes long;
    // false when the runs end before it.
    bool NextChunk(uint64_t position, uint64_t left, STransferChunk& chunk) const;
    // The device position of a range inside the run the last transfer went
    // through, when the run map still holds that run unchanged.
    bool InLastRun(uint64_t offset, uint32_t size, uint64_t& devicePosition) const;
    // Small reads in a row: a piece of initialized data inside the last run
    // goes straight to the device, past only the checks that apply to it.
    bool ReadFromLastRun(uint64_t offset, uint8_t* out, uint32_t size) const;
    // ReadData past the last run: the range checked, the runs walked.
    void ReadDataWalked(uint64_t offset, uint8_t* out, uint32_t size) const;
    void WriteNonResident(uint64_t offset, const void* buffer, uint32_t size);
    void ZeroOnDevice(uint64_t offset, uint64_t size);
    void Shrink(uint64_t newSize);
    void ReleaseRunsFrom(uint64_t vcn);
    bool ReturnsToRecordWhenEmpty() const;
    [[noreturn]] void ThrowNoncontiguous(uint64_t position, RunMap::const_iterator next) const;
    uint64_t DevicePosition(uint64_t lcn, uint64_t skip, uint32_t length, uint64_t deviceSize) const;
    EAllocationZone Zone() const;
    uint32_t HeaderSize() const;
    uint64_t BytesInUse() const;
    // The header fields its attribute records carry, for the record writer.
    SAttributeHeader RecordHeader() const;
    void CheckRoom(const CByteWriter& out) const;

    const RunMap& Runs() const { return m_runMap; }
    // Every change of the runs goes through here: the count moves when a
    // change begins and again when it ends (also when it fails), and the
    // remembered run below is trusted only at the count it was taken at.
    template <typename Change>
    void ChangeRuns(Change change) {
        struct SEnd {
            uint64_t& count;
            ~SEnd() { ++count; }
        } end{++m_runChanges};
        change(m_runMap);
    }

    IVolumeServices& m_volume;
    RunMap m_runMap;
    uint64_t m_runChanges = 0;
    std::vector<uint8_t> m_value;
    std::u16string m_name;
    FileReference m_owner;
    uint64_t m_dataSize = 0;
    uint64_t m_initializedSize = 0;
    uint32_t m_type = 0;
    uint16_t m_flags = 0;
    uint16_t m_compressionUnit = 0;
    bool m_nonResident = false;
    bool m_dirty = false;
    // The last compression unit read, decompressed: reads in small pieces
    // decompress each unit once.
    mutable uint64_t m_cachedUnit = ~uint64_t{0};
    mutable std::vector<uint8_t> m_unitCache;
    // The unit writes are changing, decompressed; stored by StorePendingUnit.
    uint64_t m_pendingUnit = ~uint64_t{0};
    std::vector<uint8_t> m_pendingBytes;
    // The last run with clusters a transfer went through, already checked to
    // lie inside the device: sequential reads in small pieces and rewrites of
    // a record or an index block skip the run walk. It holds only while no
    // change of the runs has begun since (m_runChanges).
    struct SLastRun {
        uint64_t runChanges = 0;
        uint64_t dataStart = 0;
        uint64_t bytes = 0;  // 0: none yet
        uint64_t devicePosition = 0;  // of the run's first byte
    };
    mutable SLastRun m_lastRun;
    // Clusters taken since the record was last saved (first LCN -> count).
    std::map<uint64_t, uint64_t> m_unsavedClusters;
};

using AttributePtr = std::shared_ptr<CAttribute>;

}  // namespace volcore
