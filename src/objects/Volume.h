#pragma once
// The engine's root object for one NTFS volume: on top of its core (geometry,
// MFT, cluster allocator, up-case table), the root directory, the objects
// handed out, path resolution and the session's rules.
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/IoDevice.h"
#include "objects/ObjectCache.h"
#include "objects/PathCache.h"
#include "disk/Types.h"
#include "volume/VolumeCore.h"

namespace volcore {

class CDirectory;
class CFile;
class CFileEntry;

class CVolume : public CVolumeCore {
public:
    explicit CVolume(std::shared_ptr<IIoDevice> device);
    ~CVolume() override;  // best effort: see Flush
    CVolume(const CVolume&) = delete;
    CVolume& operator=(const CVolume&) = delete;

    // Writes everything pending (cached directories, root, MFT, cluster bitmap)
    // and empties the directory cache. Raises on failure. Called by the owner
    // before the last reference goes; the destructor calls it too (logging
    // instead of raising) unless an explicit flush already failed.
    void Flush();

    // Called before anything changes. Refuses every change to a volume that
    // is open for reading only; before the first change of a session, sets
    // the dirty flag on disk, which a clean Flush clears again. A volume that
    // was already dirty stays so: its pending check is someone else's.
    void BeginWrite() override;
    bool IsReadOnly() const { return !m_readOnlyReason.empty(); }

    // Directories and paths.
    static constexpr size_t kDirectoryCacheLimit = CObjectCache::kDirectoryLimit;
    FileReference ResolvePath(std::u16string_view path);  // "Entry %1 doesn't exist"
    // The same without raising when a name on the path is not there: null,
    // and `missing` is that name (a view into `path`). A failed lookup is
    // common (a mount asks for every name before it creates it), and raising
    // costs more than the lookup.
    std::optional<FileReference> FindPath(std::u16string_view path, std::u16string_view& missing);
    std::shared_ptr<CDirectory> GetRoot() const { return m_root; }
    // The root for record 5; a cached directory (moved to the front); or one
    // that is still open elsewhere after its eviction, so that one record never
    // has two directory objects with diverging indexes. A reference with a
    // sequence number only finds an object that carries the same one.
    std::shared_ptr<CDirectory> FindCachedDirectory(FileReference reference);
    // May flush and drop the back element to make room; raises if that flush fails.
    void CacheDirectory(std::shared_ptr<CDirectory> directory);
    void UncacheDirectory(FileReference reference) { m_objects.UncacheDirectory(reference); }
    // What a walk left of the directory's index (see CPathCache), taken out.
    std::optional<uint64_t> TakeIndexVersion(FileReference directory) {
        return m_paths.TakeDirectoryVersion(directory);
    }

    // Open files: every handle on one record shares one file object.
    std::shared_ptr<CFile> FindOpenFile(FileReference reference) { return m_objects.FindOpenFile(reference); }
    void RememberOpenFile(const std::shared_ptr<CFile>& file) { m_objects.RememberOpenFile(file); }
    void ReleaseOpenFile(FileReference reference) noexcept { m_objects.ReleaseOpenFile(RecordNumber(reference)); }
    // Kept for the next OpenEntry of its record: see CObjectCache.
    void KeepClosedEntry(std::shared_ptr<CFileEntry> entry) noexcept { m_objects.KeepClosedEntry(std::move(entry)); }
    void KeepClosedFile(std::shared_ptr<CFile> file) noexcept { m_objects.KeepClosedFile(std::move(file)); }
    // The entry of the object at `reference`: the one an open file or
    // directory already holds, else the one a closed file left, else loaded. A reference whose sequence number
    // the record no longer carries is refused: it names an object deleted since.
    // A caller that has just found no usable file object of the record (a
    // file open) passes `fileSought`, so that it is not looked up twice.
    std::shared_ptr<CFileEntry> OpenEntry(FileReference reference, bool fileSought = false);
    size_t GetCachedDirectoryCount() const { return m_objects.GetCachedDirectoryCount(); }
    // Record numbers in cache order, front first.
    std::vector<uint64_t> GetCachedRecordNumbers() const { return m_objects.GetCachedRecordNumbers(); }

protected:
    // For a derived class that loads the lower parts itself: reads only the
    // boot sector. LoadObjects then adds the root and the session rules.
    struct SBootSectorOnly {};
    CVolume(std::shared_ptr<IIoDevice> device, SBootSectorOnly);
    void LoadObjects();

private:
    void LoadRoot();
    void LoadSessionState();
    void FlushDirectories(std::exception_ptr& failure);
    void ReleaseDirectories() noexcept;
    std::optional<FileReference> ResolveComponents(std::u16string_view path, std::u16string_view& missing);
    // `directoryLetGo`: the directory goes after this lookup, so its answer
    // is kept at once, standing in for loading it again.
    std::optional<FileReference> LookUp(const CDirectory& directory, std::u16string_view name,
                                        bool directoryLetGo = false);
    std::optional<FileReference> LookUpOnTheWay(FileReference directory, std::u16string_view name, bool holdsTarget);

    std::shared_ptr<CDirectory> m_root;
    CObjectCache m_objects;
    CPathCache m_paths;
    bool m_flushFailed = false;
    // The session rules apply to a volume loaded whole.
    bool m_guarded = false;
    bool m_wasDirty = false;
    bool m_markedDirty = false;
    bool m_markingDirty = false;
    std::string m_readOnlyReason;
};

}  // namespace volcore
