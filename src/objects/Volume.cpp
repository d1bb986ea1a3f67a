#include "objects/Volume.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "disk/UpCase.h"
#include "volume/Bitmap.h"
#include "disk/BootSector.h"
#include "volume/ClusterAllocator.h"
#include "volume/Mft.h"
#include "objects/VolumeSession.h"

namespace volcore {

CVolume::CVolume(std::shared_ptr<IIoDevice> device, ELoadDepth depth)
    : m_device(std::make_shared<CGuardedDevice>(std::move(device), [this] { BeginWrite(); })) {
    LogInfo("Loading NTFS volume boot sector");
    LoadBootSector();
    if (depth == ELoadDepth::BootSector) return;
    LoadMft();
    if (depth == ELoadDepth::Mft) return;
    LoadAllocator();
    if (depth == ELoadDepth::Allocator) return;
    LoadUpCase();
    LoadRoot();
    LoadSessionState();
}

CVolume::~CVolume() {
    if (!m_flushFailed) {
        try {
            Flush();
        } catch (const std::exception& e) {
            try {
                LogError(FormatText("Destroying volume: %1", e.what()));
            } catch (...) {
            }
        }
    }
    if (m_flushFailed) AbandonBitmaps();
    ReleaseDirectories();
}

// A failed flush was reported once: the bitmaps must not try again, and report
// again, as they go.
void CVolume::AbandonBitmaps() noexcept {
    try {
        if (m_mft) m_mft->GetBitmap().Abandon();
    } catch (const std::exception&) {
        // No bitmap loaded: nothing to give up.
    }
    if (auto* allocator = dynamic_cast<CClusterAllocator*>(m_allocator.get())) allocator->GetBitmap().Abandon();
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
    if (HasLogger())
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

void CVolume::LoadUpCase() {
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

void CVolume::LoadRoot() {
    LogInfo("Loading volume root");
    m_root = CDirectory::Open(*this, MakeReference(kRootRecord, 0));
}

// libntfs-3g opens a dirty volume for writing and leaves its flag alone, and
// so does this engine, with a warning.
void CVolume::LoadSessionState() {
    m_readOnlyReason = ReasonToStayReadOnly(*this);
    try {
        m_wasDirty = (ReadVolumeFlags(*this) & VolumeInformation::FlagDirty) != 0;
    } catch (const std::exception& e) {
        // No change could be marked, nor a dirty volume told from a clean one.
        if (!IsReadOnly()) m_readOnlyReason = FormatText("its volume flags cannot be read (%1)", e.what());
    }
    if (IsReadOnly()) LogWarning(FormatText("Volume is open for reading only: %1", m_readOnlyReason));
    if (m_wasDirty) LogWarning("Volume is marked dirty: a consistency check is pending; it stays marked");
    m_guarded = true;
}

void CVolume::BeginWrite() {
    if (!m_guarded) return;
    if (IsReadOnly()) throw CException(EErrorKind::Argument, "Volume is open for reading only: %1", m_readOnlyReason);
    // The flag's own write passes through here too: it is written once.
    if (m_wasDirty || m_markedDirty || m_markingDirty) return;
    m_markingDirty = true;
    try {
        WriteVolumeFlags(*this, ReadVolumeFlags(*this) | VolumeInformation::FlagDirty);
    } catch (const std::exception& e) {
        m_markingDirty = false;
        throw CException(KindOf(e, EErrorKind::Io), "Cannot mark the volume dirty before changing it: %1", e.what());
    }
    m_markingDirty = false;
    m_markedDirty = true;
}

void CVolume::Flush() {
    std::exception_ptr failure;
    FlushDirectories(failure);
    // The MFT and the cluster bitmap are written even after a directory
    // failed: the records and clusters of what was saved must be accounted for.
    try {
        if (m_mft) m_mft->Flush();
        if (m_allocator) m_allocator->Flush();
    } catch (const std::exception&) {
        if (!failure) failure = std::current_exception();
    }
    // Only a session that wrote everything it had leaves the volume clean.
    if (!failure && m_markedDirty) {
        try {
            WriteVolumeFlags(*this, ReadVolumeFlags(*this) & ~VolumeInformation::FlagDirty);
            m_markedDirty = false;
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        m_flushFailed = true;
        std::rethrow_exception(failure);
    }
    m_flushFailed = false;
}

// The cached directories go back first, then the root,
// which the others' names update last. Directories flushed here stay alive
// until the end, so that a child updating its parent's entry finds the same
// object again instead of reloading it: this is what makes the loop finish
// even on a volume whose parent references form a cycle.
void CVolume::FlushDirectories(std::exception_ptr& failure) {
    std::vector<std::shared_ptr<CDirectory>> flushed;
    m_objects.FlushDirectories(flushed, failure);
    if (m_root) FlushOrAbandon(m_root, failure);
}

void CVolume::ReleaseDirectories() noexcept {
    m_objects.Release();
    if (m_root) m_root->Abandon();
    m_root.reset();
}

CMft& CVolume::GetMft() const {
    if (!m_mft) throw CException(EErrorKind::Argument, "MFT is not loaded");
    return *m_mft;
}

void CVolume::SetMft(std::shared_ptr<CMft> mft) { m_mft = std::move(mft); }

MftRecBufferPtr CVolume::ReadMftRecord(FileReference reference) { return GetMft().ReadRecord(reference); }

void CVolume::WriteMftRecord(FileReference reference, const MftRecBufferPtr& buffer) {
    // Records and clusters reach their bitmaps before any record that uses
    // them: a failure in between then leaves space marked but unused, never
    // space in use that a later session could hand out again. Frees are
    // already safe to write: they wait until their records let go.
    FlushBitmaps();
    GetMft().WriteRecord(reference, buffer);
}

void CVolume::FlushBitmaps() {
    GetMft().FlushBitmap();
    if (m_allocator) m_allocator->FlushBitmap();
}

void CVolume::AllocateClusters(FileReference owner, EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (!m_allocator)
        throw CException(EErrorKind::Argument,
                         "Cannot allocate %1 cluster(s) in %2: cluster allocator is not initialized.", count,
                         zone == EAllocationZone::DATA ? "DATA" : "MFT");
    auto pending = m_pendingFrees.find(RecordNumber(owner));
    if (pending == m_pendingFrees.end()) return m_allocator->Allocate(zone, count, runs);
    // Fresh clusters first: the owner's record on disk may still point at
    // what it gave up, so data written there before its next save would
    // garble what that record still holds should the session stop between.
    // Only a volume with nothing else left takes them back.
    try {
        return m_allocator->Allocate(zone, count, runs);
    } catch (const CException& error) {
        if (error.Kind() != EErrorKind::Argument) throw;
    }
    uint64_t reusable = 0;
    for (const SLcnAndLength& run : pending->second) reusable += run.length;
    reusable = std::min(reusable, count);
    // The allocator goes first: should it fail, nothing has changed.
    m_allocator->Allocate(zone, count - reusable, runs);
    if (reusable != 0) TakeBackPendingClusters(pending->second, reusable, runs);
    if (pending->second.empty()) m_pendingFrees.erase(pending);
}

void CVolume::AllocateUnreferencedClusters(EAllocationZone zone, uint64_t count, RunMap& runs) {
    if (!m_allocator)
        throw CException(EErrorKind::Argument,
                         "Cannot allocate %1 cluster(s) in %2: cluster allocator is not initialized.", count,
                         zone == EAllocationZone::DATA ? "DATA" : "MFT");
    m_allocator->Allocate(zone, count, runs);
}

void CVolume::TakeBackPendingClusters(std::vector<SLcnAndLength>& pending, uint64_t count, RunMap& runs) {
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

void CVolume::DeallocateClusters(FileReference owner, uint64_t lcn, uint64_t count) {
    if (!m_allocator)
        throw CException(EErrorKind::Argument,
                         "Cannot deallocate clusters %1-%2: cluster allocator is not initialized.", lcn, lcn + count);
    m_pendingFrees[RecordNumber(owner)].push_back({lcn, count});
}

void CVolume::ReleasePendingClusters(FileReference owner) {
    auto pending = m_pendingFrees.find(RecordNumber(owner));
    if (pending == m_pendingFrees.end()) return;
    std::vector<SLcnAndLength> runs = std::move(pending->second);
    m_pendingFrees.erase(pending);
    for (const SLcnAndLength& run : runs) m_allocator->Free(run.lcn, run.length);
}

void CVolume::SetClusterAllocator(std::unique_ptr<IClusterAllocator> allocator) { m_allocator = std::move(allocator); }

const UpCaseTable& CVolume::GetUpCase() const {
    static const UpCaseTable kEmpty;
    return m_upcase ? *m_upcase : kEmpty;
}

void CVolume::SetUpCase(UpCaseTable table) { m_upcase = std::make_unique<UpCaseTable>(std::move(table)); }

FileReference CVolume::ResolvePath(std::u16string_view path) {
    const uint64_t edits = CIndex::EditCount();
    if (auto known = m_paths.FindPath(path, edits)) return *known;
    FileReference target = ResolveComponents(path);
    m_paths.RememberPath(path, edits, target);
    return target;
}

FileReference CVolume::ResolveComponents(std::u16string_view path) {
    FileReference reference = MakeReference(kRootRecord, 0);
    std::shared_ptr<CDirectory> directory;
    size_t position = 0;
    for (auto name = NextComponent(path, position); !name.empty(); name = NextComponent(path, position)) {
        if (directory) {
            directory = CDirectory::Open(*this, reference);
        } else {
            if (!m_root) throw CException(EErrorKind::Argument, "Volume root is not loaded");
            directory = m_root;
        }
        reference = LookUp(*directory, name);
    }
    return reference;
}

FileReference CVolume::LookUp(const CDirectory& directory, std::u16string_view name) {
    CIndex& index = directory.GetIndex();
    uint64_t record = RecordNumber(directory.GetReference());
    if (auto known = m_paths.Find(record, name, index.Version())) return *known;
    FileReference child = index.GetEntry(name).fileReference;
    m_paths.Remember(record, name, index.Version(), child);
    return child;
}

std::shared_ptr<CDirectory> CVolume::FindCachedDirectory(FileReference reference) {
    if (RecordNumber(reference) == kRootRecord)
        return m_root && NamesObject(reference, m_root->GetReference()) ? m_root : nullptr;
    return m_objects.FindDirectory(reference);
}

void CVolume::CacheDirectory(std::shared_ptr<CDirectory> directory) {
    if (directory && RecordNumber(directory->GetReference()) != kRootRecord)
        m_objects.CacheDirectory(std::move(directory));
}

std::shared_ptr<CFileEntry> CVolume::OpenEntry(FileReference reference) {
    if (auto file = FindOpenFile(reference)) return file->ShareEntry();
    if (auto directory = FindCachedDirectory(reference)) return directory->ShareEntry();
    std::shared_ptr<CFileEntry> entry = CFileEntry::Load(reference, *this);
    uint16_t wanted = SequenceNumber(reference);
    if (wanted != 0 && wanted != entry->GetSequenceNumber())
        throw CException(EErrorKind::Corrupt, "Cannot load file entry: record %1 was reused (sequence %2, expected %3)",
                         RecordNumber(reference), entry->GetSequenceNumber(), wanted);
    return entry;
}

}  // namespace volcore
