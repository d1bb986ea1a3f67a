#include "volume/VolumeCore.h"

#include <algorithm>
#include <exception>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "disk/BootSector.h"
#include "disk/RecordFormat.h"
#include "disk/UpCase.h"
#include "entries/Attribute.h"
#include "entries/FileEntry.h"
#include "volume/Bitmap.h"
#include "volume/ClusterAllocator.h"
#include "volume/Mft.h"

namespace volcore {

// Every write runs the write rule first, that of the most derived volume.
CVolumeCore::CVolumeCore(std::shared_ptr<IIoDevice> device)
    : m_device(std::make_shared<CGuardedDevice>(std::move(device), [this] { BeginWrite(); })) {
    m_serviceDevice = m_device.get();
    LogInfo("Loading NTFS volume boot sector");
    LoadBootSector();
}

CVolumeCore::~CVolumeCore() = default;

void CVolumeCore::AbandonBitmaps() noexcept {
    try {
        if (m_mft) m_mft->GetBitmap().Abandon();
    } catch (const std::exception&) {
        // No bitmap loaded: nothing to give up.
    }
    if (auto* allocator = dynamic_cast<CClusterAllocator*>(m_allocator.get())) allocator->GetBitmap().Abandon();
}

void CVolumeCore::LoadBootSector() {
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
    if (HasLogger())
        LogInfo(FormatText("Sector size %1, cluster size %2, MFT LCN %3, MFT record size %4, INDX record size %5",
                           m_sectorSize, m_clusterSize, m_mftLcn, m_mftRecordSize, m_indxRecordSize));
}

// The MFT serves reads as soon as it is built: its own system entries load
// through it. A half-built MFT must not serve anyone after a failed load.
void CVolumeCore::LoadMft() {
    LogInfo("Loading MFT and MFTMirr");
    m_mft = std::make_shared<CMft>(GetMftRecordSize(), GetMirrorRecordCount(), *this);
    try {
        m_mft->Load();
    } catch (...) {
        m_mft.reset();
        throw;
    }
    LogInfo("Comparing mirrored records");
    m_mft->CompareMirror();
}

void CVolumeCore::LoadAllocator() {
    LogInfo("Loading Bitmap");
    FileEntryPtr bitmapEntry = CFileEntry::Load(MakeReference(kBitmapRecord, 0), *this);
    LogInfo("Initializing cluster allocator");
    uint64_t clusterCount = m_device->GetSize() / m_clusterSize;
    m_allocator.reset();
    m_allocator = std::make_unique<CClusterAllocator>(m_mftLcn, m_clusterSize, clusterCount, std::move(bitmapEntry));
}

void CVolumeCore::LoadUpCase() {
    // A table maps 16-bit units: entries past the first 64 Ki can never be
    // looked up, so a longer table is read only that far.
    constexpr uint32_t kUsedUpCaseBytes = 0x10000 * 2;
    LogInfo("Loading UpCase");
    AttributePtr data = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), *this)->GetAttribute(AttrType::Data);
    uint32_t size = NumericCast<uint32_t>(data->GetSize());
    if (size % 2 != 0) throw CException(EErrorKind::Corrupt, "Invalid UpCase data size %1", size);
    // Read straight into the table: no second copy of its 128 KiB.
    UpCaseTable table(std::min(size, kUsedUpCaseBytes) / 2);
    if (!table.empty()) data->ReadData(0, table.data(), static_cast<uint32_t>(table.size() * 2));
    UpCaseToHostOrder(table);
    SetUpCase(std::move(table));
}

void CVolumeCore::FlushTables() {
    if (m_mft) m_mft->Flush();
    if (m_allocator) m_allocator->Flush();
}

CMft& CVolumeCore::GetMft() const {
    if (!m_mft) throw CException(EErrorKind::Argument, "MFT is not loaded");
    return *m_mft;
}

MftRecBufferPtr CVolumeCore::ReadMftRecord(FileReference reference) { return GetMft().ReadRecord(reference); }

void CVolumeCore::WriteMftRecord(FileReference reference, const MftRecBufferPtr& buffer) {
    // Records and clusters reach their bitmaps before any record that uses
    // them: a failure in between then leaves space marked but unused, never
    // space in use that a later session could hand out again. Frees are
    // already safe to write: they wait until their records let go.
    FlushBitmaps();
    GetMft().WriteRecord(reference, buffer);
}

uint16_t CVolumeCore::StoredSequenceNumber(uint64_t recordNumber) { return GetMft().StoredSequenceNumber(recordNumber); }

uint64_t CVolumeCore::GetMftRecordCount() { return GetMft().GetRecordCount(); }

uint64_t CVolumeCore::AllocateMftRecord() { return GetMft().AllocateRecord(); }

uint64_t CVolumeCore::AllocateMftExtensionRecord() { return GetMft().AllocateReservedRecord(); }

void CVolumeCore::FreeMftRecord(FileReference reference) { GetMft().FreeRecord(reference); }

void CVolumeCore::FlushBitmaps() {
    GetMft().FlushBitmap();
    if (m_allocator) m_allocator->FlushBitmap();
}

void CVolumeCore::AllocateClusters(FileReference owner, EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (!m_allocator)
        throw CException(EErrorKind::Argument,
                         "Cannot allocate %1 cluster(s) in %2: cluster allocator is not initialized.", count,
                         zone == EAllocationZone::DATA ? "DATA" : "MFT");
    auto pending = m_pendingFrees.find(RecordNumber(owner));
    uint64_t reusable = 0;
    if (pending != m_pendingFrees.end())
        for (const SLcnAndLength& run : pending->second) reusable += run.length;
    reusable = std::min(reusable, count);
    // The allocator goes first: should it fail, nothing has changed.
    m_allocator->Allocate(zone, count - reusable, runs);
    if (reusable != 0) TakeBackPendingClusters(pending->second, reusable, runs);
    if (pending != m_pendingFrees.end() && pending->second.empty()) m_pendingFrees.erase(pending);
}

void CVolumeCore::AllocateUnreferencedClusters(EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (!m_allocator)
        throw CException(EErrorKind::Argument,
                         "Cannot allocate %1 cluster(s) in %2: cluster allocator is not initialized.", count,
                         zone == EAllocationZone::DATA ? "DATA" : "MFT");
    m_allocator->Allocate(zone, count, runs);
}

void CVolumeCore::TakeBackPendingClusters(std::vector<SLcnAndLength>& pending, uint64_t count, RunMap& runs) {
    while (count != 0) {
        SLcnAndLength& run = pending.front();
        const uint64_t taken = std::min(count, run.length);
        AppendRun(runs, run.lcn, taken);
        run.lcn += taken;
        run.length -= taken;
        count -= taken;
        if (run.length == 0) pending.erase(pending.begin());
    }
}

void CVolumeCore::DeallocateClusters(FileReference owner, uint64_t lcn, uint64_t count) {
    if (!m_allocator)
        throw CException(EErrorKind::Argument,
                         "Cannot deallocate clusters %1-%2: cluster allocator is not initialized.", lcn, lcn + count);
    m_pendingFrees[RecordNumber(owner)].push_back({lcn, count});
}

void CVolumeCore::ReleasePendingClusters(FileReference owner) {
    auto pending = m_pendingFrees.find(RecordNumber(owner));
    if (pending == m_pendingFrees.end()) return;
    std::vector<SLcnAndLength> runs = std::move(pending->second);
    m_pendingFrees.erase(pending);
    for (const SLcnAndLength& run : runs) m_allocator->Free(run.lcn, run.length);
}

void CVolumeCore::ReplaceClusterAllocator(std::unique_ptr<IClusterAllocator> allocator) {
    m_allocator = std::move(allocator);
}

const UpCaseTable& CVolumeCore::GetUpCase() const {
    static const UpCaseTable kEmpty;
    return m_upcase ? *m_upcase : kEmpty;
}

void CVolumeCore::SetUpCase(UpCaseTable table) { m_upcase = std::make_unique<UpCaseTable>(std::move(table)); }

}  // namespace volcore
