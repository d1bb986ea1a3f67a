#pragma once
// The file and directory objects a volume has handed out: the most recently
// used directories, kept alive so that a path walk does not load them again,
// and weak tables of every live directory and file by record number, so that
// one record never has two objects with diverging contents. The root
// directory is the volume's own and never enters the cache.
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "objects/LiveObjects.h"
#include "objects/RecentDirectories.h"
#include "objects/SeenKeys.h"
#include "disk/Types.h"

namespace volcore {

class CDirectory;
class CFile;
class CFileEntry;

class CObjectCache {
public:
    static constexpr size_t kDirectoryLimit = CRecentDirectories::kLimit;

    // A cached directory (moved to the front), or one that is still open
    // elsewhere after its eviction. A reference with a sequence number only
    // finds an object that carries the same one.
    std::shared_ptr<CDirectory> FindDirectory(FileReference reference);
    // May flush and drop a directory to make room; raises if that flush
    // fails. The directory dropped, written back, comes back for the caller
    // to let go (null when none was).
    std::shared_ptr<CDirectory> CacheDirectory(std::shared_ptr<CDirectory> directory);
    // A directory's first visit keeps it in one of a few slots only, where
    // the next first visits push it out again; one that comes back after it
    // went joins the recent directories. A run of changes that visits each
    // of many directories once (a create in each) thus writes each back and
    // lets it go, and the next one reuses its memory.
    static constexpr size_t kFirstVisitSlots = 4;
    void UncacheDirectory(FileReference reference);

    // A file kept whole after its last handle (see KeepClosedFile) comes out
    // of its slot here, so that the caller holds it alone again.
    std::shared_ptr<CFile> FindOpenFile(FileReference reference);
    void RememberOpenFile(const std::shared_ptr<CFile>& file);
    // The file object of `record` is going: see CLiveObjects::Release.
    void ReleaseOpenFile(uint64_t record) noexcept { m_openFiles.Release(record); }

    // Entries of files whose last object went, written back and held by
    // nothing else, so that opening one again skips reading and parsing its
    // records. Every object gets its entry through the volume, which takes a
    // kept entry out of here first: while kept, an entry has no other holder
    // through which its records could change behind it. Only a record closed
    // before is kept: a run of opens that never comes back to a file frees
    // each one, and the next open reuses its memory.
    static constexpr size_t kClosedEntrySlots = 64;
    void KeepClosedEntry(std::shared_ptr<CFileEntry> entry) noexcept;
    // The kept entry of the record that `reference` names, removed from here; else null.
    std::shared_ptr<CFileEntry> TakeClosedEntry(FileReference reference) noexcept;

    // Files whose last handle closed, written back, with nothing else holding
    // them or their entry: opening one again skips building its object and
    // its attributes. A kept file stays the live object of its record, so
    // anything that reaches the record takes the file out of here first, as
    // it would take a kept entry; what a kept file holds cannot change.
    static constexpr size_t kClosedFileSlots = 16;
    void KeepClosedFile(std::shared_ptr<CFile> file) noexcept;

    size_t GetCachedDirectoryCount() const;
    // Record numbers in cache order, front first.
    std::vector<uint64_t> GetCachedRecordNumbers() const;

    // Empties the cache back to front, flushing each directory; the first
    // failure is kept in `failure`. The directories stay alive in `flushed`.
    void FlushDirectories(std::vector<std::shared_ptr<CDirectory>>& flushed, std::exception_ptr& failure);
    // Gives up every cached directory and forgets every object.
    void Release() noexcept;

private:
    std::shared_ptr<CDirectory> FindOpenDirectory(FileReference reference);
    // A directory leaving the cache that something else still holds.
    void RememberOpenDirectory(const std::shared_ptr<CDirectory>& directory);
    // Writes back a directory leaving the cache (raises, giving it up, when that fails).
    std::shared_ptr<CDirectory> LetGo(std::shared_ptr<CDirectory> directory);
    std::shared_ptr<CDirectory> KeepFirstVisit(uint64_t record, std::shared_ptr<CDirectory> directory);
    std::shared_ptr<CDirectory>* FindFirstVisit(uint64_t record);

    CRecentDirectories m_cache;
    struct SFirstVisit {
        uint64_t record = 0;
        std::shared_ptr<CDirectory> directory;
    };
    std::array<SFirstVisit, kFirstVisitSlots> m_firstVisits;
    size_t m_nextFirstVisit = 0;
    // Records of directories that entered the cache: the next entry is a return.
    CSeenKeys<256> m_visitedDirectories;
    // Directories out of the cache but still alive: a cached one is found
    // in the cache, so only one that leaves it while held is noted here.
    CLiveObjects<CDirectory> m_openDirectories;
    CLiveObjects<CFile> m_openFiles;
    // One slot per record number modulo the count: a newer entry pushes out
    // the one in its slot, with no bookkeeping per open.
    std::array<std::shared_ptr<CFileEntry>, kClosedEntrySlots> m_closedEntries;
    std::array<std::shared_ptr<CFile>, kClosedFileSlots> m_closedFiles;
    // Records whose file or entry was let go at a close: kept at the next one.
    CSeenKeys<256> m_closedRecords;
};

// A reference without a sequence number names whatever its record holds.
bool NamesObject(FileReference wanted, FileReference object);

// Flushes a directory and gives it up when that fails, keeping the first failure.
void FlushOrAbandon(const std::shared_ptr<CDirectory>& directory, std::exception_ptr& failure);

}  // namespace volcore
