#pragma once
// The volume below its objects: the device, the geometry, the MFT, the cluster
// allocator with the clusters given up this session, the up-case table and the
// index versions; what entries, attributes and indexes reach through
// IVolumeServices. CVolume builds its directories, paths and session rules on
// it; the repair loads one as far as its MFT and works on that alone.
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "disk/Fixups.h"
#include "disk/UpCase.h"
#include "disk/VolumeServices.h"

namespace volcore {

class CMft;
class IClusterAllocator;

class CVolumeCore : public IVolumeServices {
public:
    // Reads the boot sector; the MFT, the allocator and the up-case table
    // come with the loaders below, in that order.
    explicit CVolumeCore(std::shared_ptr<IIoDevice> device);
    // Writes nothing of its own: the owner calls FlushTables (CVolume::Flush does).
    ~CVolumeCore() override;
    CVolumeCore(const CVolumeCore&) = delete;
    CVolumeCore& operator=(const CVolumeCore&) = delete;

    void LoadMft();
    void LoadAllocator();
    void LoadUpCase();

    // Writes the MFT (its bitmap, record 0 and the mirror) and the cluster
    // bitmap. Raises on failure.
    void FlushTables();

    // Geometry.
    uint32_t GetSectorSize() const { return m_sectorSize; }
    uint32_t GetIndxRecordSize() const { return m_indxRecordSize; }
    uint32_t GetMftUsaCount() const { return UpdateSequence::CountFor(m_mftRecordSize); }
    uint32_t GetIndxUsaCount() const { return UpdateSequence::CountFor(m_indxRecordSize); }
    // How many of the first records $MFTMirr copies.
    uint32_t GetMirrorRecordCount() const {
        uint32_t perCluster = m_clusterSize / m_mftRecordSize;
        return perCluster > 4 ? perCluster : 4;
    }
    uint64_t GetMftMirrorLcn() const { return m_mftMirrorLcn; }

    // No session rules at this level: CVolume adds them.
    void BeginWrite() override {}

    // MFT.
    CMft& GetMft() const;
    MftRecBufferPtr ReadMftRecord(FileReference reference) override;
    void WriteMftRecord(FileReference reference, const MftRecBufferPtr& buffer) override;
    uint16_t StoredSequenceNumber(uint64_t recordNumber) override;
    uint64_t GetMftRecordCount() override;
    uint64_t AllocateMftRecord() override;
    uint64_t AllocateMftExtensionRecord() override;
    void FreeMftRecord(FileReference reference) override;
    void FlushBitmaps() override;

    // Clusters.
    void AllocateClusters(FileReference owner, EAllocationZone zone, uint64_t count, RunMap& runs) override;
    void AllocateUnreferencedClusters(EAllocationZone zone, uint64_t count, RunMap& runs) override;
    void DeallocateClusters(FileReference owner, uint64_t lcn, uint64_t count) override;
    void ReleasePendingClusters(FileReference owner) override;
    IClusterAllocator* GetClusterAllocator() const { return m_allocator.get(); }

    // Names.
    const UpCaseTable& GetUpCase() const;
    void SetUpCase(UpCaseTable table);

    // Index versions, per volume: only this volume's path cache keys on them.
    uint64_t NewIndexVersion() override { return ++m_lastIndexVersion; }
    void NoteIndexEdit() override { ++m_indexEdits; }
    // Changes to this volume's indexes so far: while the count stays the
    // same, every path resolves as it did.
    uint64_t GetIndexEditCount() const { return m_indexEdits; }

protected:
    // Replaces the allocator; for a derived class that brings its own.
    void ReplaceClusterAllocator(std::unique_ptr<IClusterAllocator> allocator);
    // After a failed flush, which was reported once: the bitmaps must not try
    // again, and report again, as they go.
    void AbandonBitmaps() noexcept;

private:
    void LoadBootSector();
    void TakeBackPendingClusters(std::vector<SLcnAndLength>& pending, uint64_t count, RunMap& runs);

    std::shared_ptr<IIoDevice> m_device;
    std::unique_ptr<IClusterAllocator> m_allocator;
    std::map<uint64_t, std::vector<SLcnAndLength>> m_pendingFrees;  // by owner record number
    std::unique_ptr<UpCaseTable> m_upcase;
    std::shared_ptr<CMft> m_mft;
    uint32_t m_sectorSize = 0;
    uint32_t m_indxRecordSize = 0;
    uint64_t m_mftMirrorLcn = 0;
    uint64_t m_lastIndexVersion = 0;
    uint64_t m_indexEdits = 0;
};

}  // namespace volcore
