#include "objects/Volume.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "base/Exception.h"
#include "base/Log.h"
#include "entries/FileEntry.h"
#include "disk/RecordFormat.h"
#include "objects/Directory.h"
#include "objects/VolumeSession.h"

namespace volcore {

CVolume::CVolume(std::shared_ptr<IIoDevice> device) : CVolumeCore(std::move(device)) {
    LoadMft();
    LoadAllocator();
    LoadUpCase();
    LoadObjects();
}

CVolume::CVolume(std::shared_ptr<IIoDevice> device, SBootSectorOnly) : CVolumeCore(std::move(device)) {}

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

void CVolume::LoadObjects() {
    LoadRoot();
    LoadSessionState();
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
        ChangeVolumeFlags(*this, VolumeInformation::FlagDirty, 0);
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
        FlushTables();
    } catch (const std::exception&) {
        if (!failure) failure = std::current_exception();
    }
    // Only a session that wrote everything it had leaves the volume clean.
    if (!failure && m_markedDirty) {
        try {
            ChangeVolumeFlags(*this, 0, VolumeInformation::FlagDirty);
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

namespace {

// The separator NextComponent splits paths at.
constexpr char16_t kSeparator = u'\\';

// A name, then a separator, then another name; runs of separators count as
// one, as NextComponent takes them. Every open of a path asks, so each run
// is skipped by a loop of its own instead of one loop tracking where it is.
bool HasSeveralComponents(std::u16string_view path) {
    const char16_t* unit = path.data();
    const char16_t* const end = unit + path.size();
    while (unit != end && *unit == kSeparator) ++unit;
    if (unit == end) return false;
    while (unit != end && *unit != kSeparator) ++unit;
    while (unit != end && *unit == kSeparator) ++unit;
    return unit != end;
}

}  // namespace

FileReference CVolume::ResolvePath(std::u16string_view path) {
    std::u16string_view missing;
    if (const std::optional<FileReference> found = FindPath(path, missing)) return *found;
    throw CException(EErrorKind::Argument, "Entry %1 doesn't exist", missing);
}

std::optional<FileReference> CVolume::FindPath(std::u16string_view path, std::u16string_view& missing) {
    // A name in the root is answered by the root's cache of names alone:
    // keeping the whole path too would only cost a copy of it per open.
    if (!HasSeveralComponents(path)) return ResolveComponents(path, missing);
    const uint64_t edits = GetIndexEditCount();
    if (auto known = m_paths.FindPath(path, edits)) return *known;
    const std::optional<FileReference> target = ResolveComponents(path, missing);
    if (target) m_paths.RememberPath(path, edits, *target);
    return target;
}

std::optional<FileReference> CVolume::ResolveComponents(std::u16string_view path, std::u16string_view& missing) {
    size_t position = 0;
    std::u16string_view name = NextComponent(path, position);
    if (name.empty()) return MakeReference(kRootRecord, 0);
    if (!m_root) throw CException(EErrorKind::Argument, "Volume root is not loaded");
    std::optional<FileReference> found = LookUp(*m_root, name);
    for (std::u16string_view next = NextComponent(path, position); found && !next.empty();) {
        name = next;
        next = NextComponent(path, position);
        found = LookUpOnTheWay(*found, name, next.empty());
    }
    if (!found) missing = name;
    return found;
}

// A directory passed through is let go again after its lookup, as the
// directory before it was, so that loading the next one reuses its memory: a
// deep path's first walk touches a few fresh pages instead of one or two per
// directory. Its answers stay valid under the version it leaves behind, and
// a later walk asks them without loading it. The directory holding the
// target is kept: the next open is likely beside it. So is one let go before
// and now asked another name: a walk over its children would otherwise load
// it (and its index blocks) once per child.
std::optional<FileReference> CVolume::LookUpOnTheWay(FileReference directoryReference, std::u16string_view name,
                                                    bool holdsTarget) {
    if (auto cached = FindCachedDirectory(directoryReference)) return LookUp(*cached, name);
    const std::optional<uint64_t> version = m_paths.FindDirectoryVersion(directoryReference);
    if (version)
        if (auto known = m_paths.Find(RecordNumber(directoryReference), name, *version)) return *known;
    if (holdsTarget || version) return LookUp(*CDirectory::Open(*this, directoryReference), name);
    std::shared_ptr<CDirectory> directory = CDirectory::LoadUncached(*this, directoryReference);
    const std::optional<FileReference> child = LookUp(*directory, name, true);
    const CIndex& index = directory->GetIndex();
    if (child && !index.IsDirty()) m_paths.RememberDirectoryVersion(directory->GetReference(), index.Version());
    return child;
}

std::optional<FileReference> CVolume::LookUp(const CDirectory& directory, std::u16string_view name,
                                             bool directoryLetGo) {
    CIndex& index = directory.GetIndex();
    uint64_t record = RecordNumber(directory.GetReference());
    if (auto known = m_paths.Find(record, name, index.Version())) return *known;
    SIndexEntryValue value;
    if (!index.FindEntry(name, value)) return std::nullopt;
    const FileReference child = value.fileReference;
    if (directoryLetGo) m_paths.Remember(record, name, index.Version(), child);
    else m_paths.RememberWhenAskedAgain(record, name, index.Version(), child);
    return child;
}

std::shared_ptr<CDirectory> CVolume::FindCachedDirectory(FileReference reference) {
    if (RecordNumber(reference) == kRootRecord)
        return m_root && NamesObject(reference, m_root->GetReference()) ? m_root : nullptr;
    return m_objects.FindDirectory(reference);
}

void CVolume::CacheDirectory(std::shared_ptr<CDirectory> directory) {
    if (!directory || RecordNumber(directory->GetReference()) == kRootRecord) return;
    std::shared_ptr<CDirectory> evicted = m_objects.CacheDirectory(std::move(directory));
    // Written back and held by nothing else, it leaves its index version as
    // a walk's directories do, so that its answers keep holding. One still
    // held elsewhere may change yet, and leaves nothing.
    if (evicted && evicted.use_count() == 1 && !evicted->IsDeleted() && !evicted->GetIndex().IsDirty())
        m_paths.RememberDirectoryVersion(evicted->GetReference(), evicted->GetIndex().Version());
}

std::shared_ptr<CFileEntry> CVolume::OpenEntry(FileReference reference, bool fileSought) {
    if (!fileSought)
        if (auto file = FindOpenFile(reference)) return file->ShareEntry();
    if (auto directory = FindCachedDirectory(reference)) return directory->ShareEntry();
    std::shared_ptr<CFileEntry> entry = m_objects.TakeClosedEntry(reference);
    if (entry) return entry;
    entry = CFileEntry::Load(reference, *this);
    uint16_t wanted = SequenceNumber(reference);
    if (wanted != 0 && wanted != entry->GetSequenceNumber())
        throw CException(EErrorKind::Corrupt, "Cannot load file entry: record %1 was reused (sequence %2, expected %3)",
                         RecordNumber(reference), entry->GetSequenceNumber(), wanted);
    return entry;
}

}  // namespace volcore
