#include "volume/Volume.h"

#include <exception>

#include "api/Exception.h"
#include "api/Log.h"
#include "volume/BootSector.h"
#include "entries/FileEntry.h"
#include "volume/ClusterAllocator.h"
#include "volume/Mft.h"

namespace volcore {

CVolume::CVolume(std::shared_ptr<IIoDevice> device, ELoadDepth depth) : m_device(std::move(device)) {
    LogInfo("Loading NTFS volume boot sector");
    LoadBootSector();
    if (depth == ELoadDepth::BootSector) return;
    LoadMft();
    if (depth == ELoadDepth::Mft) return;
    LoadAllocator();
    if (depth == ELoadDepth::Allocator) return;
    LoadUpCase();
    LoadRoot();
}

CVolume::~CVolume() {
    if (m_flushed) return;
    try {
        Flush();
    } catch (const std::exception& e) {
        LogError(FormatText("Destroying volume: %1", e.what()));
    }
}

void CVolume::LoadBootSector() {
    uint8_t sector[kBootSectorSize];
    m_device->Read(0, sector, kBootSectorSize);
    LogInfo("Checking boot sector");
    SBootGeometry geometry = ParseBootSector(sector);
    m_sectorSize = geometry.sectorSize;
    m_clusterSize = geometry.clusterSize;
    m_mftRecordSize = geometry.mftRecordSize;
    m_indxRecordSize = geometry.indxRecordSize;
    m_mftLcn = geometry.mftLcn;
    m_mftMirrorLcn = geometry.mftMirrorLcn;
    LogInfo(FormatText("Sector size %1, cluster size %2, MFT LCN %3, MFT record size %4, INDX record size %5",
                       m_sectorSize, m_clusterSize, m_mftLcn, m_mftRecordSize, m_indxRecordSize));
}

void CVolume::LoadMft() {
    LogInfo("Loading MFT and MFTMirr");
    m_mft = CMft::Initialize(*this);
    LogInfo("Comparing mirrored records");
    m_mft->CompareMirror();
}

void CVolume::LoadAllocator() {
    LogInfo("Loading Bitmap");
    FileEntryPtr bitmapEntry = CFileEntry::Load(MakeReference(kBitmapRecord, 0), *this);
    LogInfo("Initializing cluster allocator");
    uint64_t clusterCount = m_device->GetSize() / m_clusterSize;
    m_allocator.reset();
    m_allocator = std::make_unique<CClusterAllocator>(m_mftLcn, m_clusterSize, clusterCount, std::move(bitmapEntry));
}

// The rest of loading (upcase table, root directory) arrives with the layers it needs.
void CVolume::LoadUpCase() {}
void CVolume::LoadRoot() {}

void CVolume::Flush() {
    // Final: a flush that failed half way is not repeated by the destructor.
    m_flushed = true;
    if (m_mft) m_mft->Flush();
    if (m_allocator) m_allocator->Flush();
}

CMft& CVolume::GetMft() const {
    if (!m_mft) throw CException("MFT is not loaded");
    return *m_mft;
}

void CVolume::SetMft(std::shared_ptr<CMft> mft) { m_mft = std::move(mft); }

MftRecBufferPtr CVolume::ReadMftRecord(FileReference reference) { return GetMft().ReadRecord(reference); }

void CVolume::WriteMftRecord(FileReference reference, const MftRecBufferPtr& buffer) {
    GetMft().WriteRecord(reference, buffer);
}

void CVolume::AllocateClusters(EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (!m_allocator)
        throw CException("Cannot allocate %1 cluster(s) in %2: cluster allocator is not initialized.", count,
                         zone == EAllocationZone::DATA ? "DATA" : "MFT");
    m_allocator->Allocate(zone, count, runs);
}

void CVolume::DeallocateClusters(uint64_t lcn, uint64_t count) {
    if (!m_allocator)
        throw CException("Cannot deallocate clusters %1-%2: cluster allocator is not initialized.", lcn, lcn + count);
    m_allocator->Free(lcn, count);
}

void CVolume::SetClusterAllocator(std::unique_ptr<IClusterAllocator> allocator) { m_allocator = std::move(allocator); }

const UpCaseTable& CVolume::GetUpCase() const {
    static const UpCaseTable kEmpty;
    return m_upcase ? *m_upcase : kEmpty;
}

void CVolume::SetUpCase(UpCaseTable table) { m_upcase = std::make_unique<UpCaseTable>(std::move(table)); }

FileReference CVolume::ResolvePath(std::u16string_view) { throw CException("Volume root is not loaded"); }
std::shared_ptr<CDirectory> CVolume::FindCachedDirectory(FileReference) { return nullptr; }
void CVolume::CacheDirectory(std::shared_ptr<CDirectory>) {}
void CVolume::UncacheDirectory(FileReference) {}

}  // namespace volcore
