#pragma once
// The engine's root object for one NTFS volume: geometry, MFT, cluster
// allocator, upcase table, root directory and the objects handed out.
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/IoDevice.h"
#include "disk/Fixups.h"
#include "objects/ObjectCache.h"
#include "objects/PathCache.h"
#include "disk/MftRecBuffer.h"
#include "disk/Types.h"

namespace volcore {

class CMft;
class CDirectory;
class CFile;
class CFileEntry;
class IClusterAllocator;
using UpCaseTable = std::vector<uint16_t>;

// How far the constructor loads. Full is what the exported open uses; the
// shallower depths let tests build the upper layers by hand.
enum class ELoadDepth { BootSector, Mft, Allocator, Full };

class CVolume {
public:
    explicit CVolume(std::shared_ptr<IIoDevice> device, ELoadDepth depth = ELoadDepth::Full);
    ~CVolume();  // best effort: see Flush
    CVolume(const CVolume&) = delete;
    CVolume& operator=(const CVolume&) = delete;

    // Writes everything pending (cached directories, root, MFT, cluster bitmap)
    // and empties the directory cache. Raises on failure. Called by the owner
    // before the last reference goes; the destructor calls it too (logging
    // instead of raising) unless an explicit flush already failed.
    void Flush();

    // Geometry.
    uint32_t GetSectorSize() const { return m_sectorSize; }
    uint32_t GetClusterSize() const { return m_clusterSize; }
    uint32_t GetMftRecordSize() const { return m_mftRecordSize; }
    uint32_t GetIndxRecordSize() const { return m_indxRecordSize; }
    uint32_t GetMftUsaCount() const { return UpdateSequence::CountFor(m_mftRecordSize); }
    uint32_t GetIndxUsaCount() const { return UpdateSequence::CountFor(m_indxRecordSize); }
    uint32_t GetMirrorRecordCount() const {
        uint32_t perCluster = m_clusterSize / m_mftRecordSize;
        return perCluster > 4 ? perCluster : 4;
    }
    uint64_t GetMftLcn() const { return m_mftLcn; }
    uint64_t GetMftMirrorLcn() const { return m_mftMirrorLcn; }

    // Every write goes through BeginWrite first.
    IIoDevice& GetDevice() const { return *m_device; }

    // Called before anything changes. Refuses every change to a volume that
    // is open for reading only; before the first change of a session, sets
    // the dirty flag on disk, which a clean Flush clears again. A volume that
    // was already dirty stays so: its pending check is someone else's.
    void BeginWrite();
    bool IsReadOnly() const { return !m_readOnlyReason.empty(); }

    // MFT.
    CMft& GetMft() const;
    // Installed by CMft::Initialize as soon as the MFT can serve reads.
    void SetMft(std::shared_ptr<CMft> mft);
    MftRecBufferPtr ReadMftRecord(FileReference reference);
    void WriteMftRecord(FileReference reference, const MftRecBufferPtr& buffer);
    // Writes the MFT and cluster bitmaps' pending changes. A record that is
    // about to be built calls it first: the flush can move the initialized
    // size of an attribute of $MFT itself, which record 0 must then carry.
    void FlushBitmaps();

    // Clusters.
    // Clusters `owner` gave up earlier in the session come back to it only
    // when the volume has no others: they are still marked in use, so a file
    // cut and regrown on a full volume does not run out, but its record on
    // disk may still point at them.
    void AllocateClusters(FileReference owner, EAllocationZone zone, uint64_t count, RunMap& runs);
    // Clusters no record on disk points at, never those given up earlier in
    // the session: data written into them before the record's next save
    // cannot garble what the record on disk still holds.
    void AllocateUnreferencedClusters(EAllocationZone zone, uint64_t count, RunMap& runs);
    // Clusters an attribute of `owner` no longer uses stay taken until
    // ReleasePendingClusters: the record on disk still points at them until
    // its next save, and handing them out before that would let two files
    // share them if the save failed.
    void DeallocateClusters(FileReference owner, uint64_t lcn, uint64_t count);
    // Called once the owner's records no longer point at what it gave up.
    void ReleasePendingClusters(FileReference owner);
    IClusterAllocator* GetClusterAllocator() const { return m_allocator.get(); }
    // Replaces the allocator (tests use a double).
    void SetClusterAllocator(std::unique_ptr<IClusterAllocator> allocator);

    // Names.
    const UpCaseTable& GetUpCase() const;
    void SetUpCase(UpCaseTable table);

    // Directories and paths.
    static constexpr size_t kDirectoryCacheLimit = CObjectCache::kDirectoryLimit;
    FileReference ResolvePath(std::u16string_view path);
    std::shared_ptr<CDirectory> GetRoot() const { return m_root; }
    // The root for record 5; a cached directory (moved to the front); or one
    // that is still open elsewhere after its eviction, so that one record never
    // has two directory objects with diverging indexes. A reference with a
    // sequence number only finds an object that carries the same one.
    std::shared_ptr<CDirectory> FindCachedDirectory(FileReference reference);
    // May flush and drop the back element to make room; raises if that flush fails.
    void CacheDirectory(std::shared_ptr<CDirectory> directory);
    void UncacheDirectory(FileReference reference) { m_objects.UncacheDirectory(reference); }

    // Open files: every handle on one record shares one file object.
    std::shared_ptr<CFile> FindOpenFile(FileReference reference) { return m_objects.FindOpenFile(reference); }
    void RememberOpenFile(const std::shared_ptr<CFile>& file) { m_objects.RememberOpenFile(file); }
    // The entry of the object at `reference`: the one an open file or
    // directory already holds, else loaded. A reference whose sequence number
    // the record no longer carries is refused: it names an object deleted since.
    std::shared_ptr<CFileEntry> OpenEntry(FileReference reference);
    size_t GetCachedDirectoryCount() const { return m_objects.GetCachedDirectoryCount(); }
    // Record numbers in cache order, front first.
    std::vector<uint64_t> GetCachedRecordNumbers() const { return m_objects.GetCachedRecordNumbers(); }

private:
    void TakeBackPendingClusters(std::vector<SLcnAndLength>& pending, uint64_t count, RunMap& runs);
    void LoadBootSector();
    void LoadMft();
    void LoadAllocator();
    void LoadUpCase();
    void LoadRoot();
    void LoadSessionState();
    void FlushDirectories(std::exception_ptr& failure);
    void ReleaseDirectories() noexcept;
    void AbandonBitmaps() noexcept;
    FileReference ResolveComponents(std::u16string_view path);
    FileReference LookUp(const CDirectory& directory, std::u16string_view name);

    std::shared_ptr<IIoDevice> m_device;
    std::unique_ptr<IClusterAllocator> m_allocator;
    std::map<uint64_t, std::vector<SLcnAndLength>> m_pendingFrees;  // by owner record number
    std::unique_ptr<UpCaseTable> m_upcase;
    std::shared_ptr<CMft> m_mft;
    std::shared_ptr<CDirectory> m_root;
    CObjectCache m_objects;
    CPathCache m_paths;
    uint32_t m_sectorSize = 0;
    uint32_t m_clusterSize = 0;
    uint32_t m_mftRecordSize = 0;
    uint32_t m_indxRecordSize = 0;
    uint64_t m_mftLcn = 0;
    uint64_t m_mftMirrorLcn = 0;
    bool m_flushFailed = false;
    // The session rules apply to a volume loaded whole.
    bool m_guarded = false;
    bool m_wasDirty = false;
    bool m_markedDirty = false;
    bool m_markingDirty = false;
    std::string m_readOnlyReason;
};

}  // namespace volcore
