#include "volume/Volume.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "base/Exception.h"
#include "base/Log.h"
#include "base/NumericCast.h"
#include "entries/FileEntry.h"
#include "entries/RecordFormat.h"
#include "index/Directory.h"
#include "index/UpCase.h"
#include "volume/Bitmap.h"
#include "volume/BootSector.h"
#include "volume/ClusterAllocator.h"
#include "volume/Mft.h"
#include "volume/VolumeSession.h"

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
    // A table maps 16-bit units: anything beyond 64 Ki entries is not an upcase table.
    constexpr uint32_t kMaxUpCaseBytes = 0x10000 * 2;
    LogInfo("Loading UpCase");
    AttributePtr data = CFileEntry::Load(MakeReference(kUpCaseRecord, 0), *this)->GetAttribute(AttrType::Data);
    uint32_t size = NumericCast<uint32_t>(data->GetSize());
    if (size > kMaxUpCaseBytes) throw CException("Invalid UpCase data size %1", size);
    std::vector<uint8_t> bytes(size);
    if (size) data->ReadData(0, bytes.data(), size);
    SetUpCase(BuildUpCaseTable(bytes));
}

void CVolume::LoadRoot() {
    LogInfo("Loading volume root");
    m_root = CDirectory::Open(*this, MakeReference(kRootRecord, 0));
}

// libntfs-3g opens a dirty volume for writing and leaves its flag alone, and
// so does this engine, with a warning.
void CVolume::LoadSessionState() {
    m_readOnlyReason = ReasonToStayReadOnly(*this);
    if (IsReadOnly()) LogWarning(FormatText("Volume is open for reading only: %1", m_readOnlyReason));
    try {
        m_wasDirty = (ReadVolumeFlags(*this) & VolumeInformation::FlagDirty) != 0;
    } catch (const std::exception& e) {
        // The first change will fail to set the flag and be refused.
        LogWarning(FormatText("Cannot read the volume flags: %1", e.what()));
    }
    if (m_wasDirty) LogWarning("Volume is marked dirty: a consistency check is pending; it stays marked");
    m_guarded = true;
}

void CVolume::BeginWrite() {
    if (!m_guarded) return;
    if (IsReadOnly()) throw CException("Volume is open for reading only: %1", m_readOnlyReason);
    if (m_wasDirty || m_markedDirty) return;
    try {
        WriteVolumeFlags(*this, ReadVolumeFlags(*this) | VolumeInformation::FlagDirty);
    } catch (const std::exception& e) {
        throw CException("Cannot mark the volume dirty before changing it: %1", e.what());
    }
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

FileReference CVolume::ResolvePath(std::u16string_view path) {
    std::vector<std::u16string> components = SplitPath(path);
    if (components.empty()) return MakeReference(kRootRecord, 0);
    if (!m_root) throw CException("Volume root is not loaded");
    std::shared_ptr<CDirectory> directory = m_root;
    for (size_t i = 0; i + 1 < components.size(); ++i)
        directory = CDirectory::Open(*this, directory->GetEntry(components[i]).fileReference);
    return directory->GetEntry(components.back()).fileReference;
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
        throw CException("Cannot load file entry: record %1 was reused (sequence %2, expected %3)",
                         RecordNumber(reference), entry->GetSequenceNumber(), wanted);
    return entry;
}

}  // namespace volcore
