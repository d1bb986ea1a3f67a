#pragma once
// What file entries, attributes, indexes and the MFT need from the volume they
// live on: the device, the geometry, FILE-record reads and writes, records and
// clusters to hand out and take back, the session's write rule, and the index
// versions the path cache keys its answers on. Nothing more: these floors hold
// this, never the volume object that implements it. The device and the
// geometry are read on every transfer and every record, so they are plain
// members the volume fills as it loads, not calls through the interface.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/IoDevice.h"
#include "disk/MftRecBuffer.h"
#include "disk/Types.h"

namespace volcore {

class IVolumeServices {
public:
    virtual ~IVolumeServices() = default;

    // Every write goes through BeginWrite first.
    IIoDevice& GetDevice() const { return *m_serviceDevice; }
    // Called before anything changes; raises when this session may not write.
    virtual void BeginWrite() = 0;

    // Geometry.
    uint32_t GetClusterSize() const { return m_clusterSize; }
    uint32_t GetMftRecordSize() const { return m_mftRecordSize; }
    uint64_t GetMftLcn() const { return m_mftLcn; }

    // FILE records, fixups removed on reading and applied on writing.
    virtual MftRecBufferPtr ReadMftRecord(FileReference reference) = 0;
    virtual void WriteMftRecord(FileReference reference, const MftRecBufferPtr& buffer) = 0;
    // A zeroed buffer of one record to build a record in. Nobody keeps a
    // written buffer, so the one handed out last is reused when it came back
    // (every create builds a record); one still held gets a fresh sibling.
    MftRecBufferPtr RecordBuffer() {
        if (!m_spareRecord || m_spareRecord.use_count() != 1 || m_spareRecord->bytes.size() != m_mftRecordSize)
            m_spareRecord = CMftRecBuffer::Zeroed(m_mftRecordSize);
        else
            std::fill(m_spareRecord->bytes.begin(), m_spareRecord->bytes.end(), uint8_t{0});
        return m_spareRecord;
    }
    // The sequence number in the header of the record as stored (it lies
    // before the first fixup: a torn record tells it too), 0 when the record
    // holds no FILE header.
    virtual uint16_t StoredSequenceNumber(uint64_t recordNumber) = 0;
    virtual uint64_t GetMftRecordCount() = 0;
    // Reserves a free record and returns its number.
    virtual uint64_t AllocateMftRecord() = 0;
    // Reserves one of the records kept for $MFT's own extension records.
    virtual uint64_t AllocateMftExtensionRecord() = 0;
    virtual void FreeMftRecord(FileReference reference) = 0;
    // Writes the MFT and cluster bitmaps' pending changes. A record that is
    // about to be built calls it first: the flush can move the initialized
    // size of an attribute of $MFT itself, which record 0 must then carry.
    virtual void FlushBitmaps() = 0;

    // Clusters.
    // Clusters `owner` gave up earlier in the session come back to it first:
    // they are still marked in use and its record on disk may still point at
    // them, so a file cut and regrown on a full volume does not run out.
    virtual void AllocateClusters(FileReference owner, EAllocationZone zone, uint64_t count, RunMap& runs) = 0;
    // Clusters no record on disk points at, never those given up earlier in
    // the session: data written into them before the record's next save
    // cannot garble what the record on disk still holds.
    virtual void AllocateUnreferencedClusters(EAllocationZone zone, uint64_t count, RunMap& runs) = 0;
    // Clusters an attribute of `owner` no longer uses stay taken until
    // ReleasePendingClusters: the record on disk still points at them until
    // its next save, and handing them out before that would let two files
    // share them if the save failed.
    virtual void DeallocateClusters(FileReference owner, uint64_t lcn, uint64_t count) = 0;
    // Called once the owner's records no longer point at what it gave up.
    virtual void ReleasePendingClusters(FileReference owner) = 0;

    // Index versions: a number no index object of this volume handed out
    // before, and the note of a change to one of its indexes (the volume
    // counts them for its path cache).
    virtual uint64_t NewIndexVersion() = 0;
    virtual void NoteIndexEdit() = 0;

protected:
    IIoDevice* m_serviceDevice = nullptr;
    uint32_t m_clusterSize = 0;
    uint32_t m_mftRecordSize = 0;
    uint64_t m_mftLcn = 0;

private:
    MftRecBufferPtr m_spareRecord;
};

}  // namespace volcore
