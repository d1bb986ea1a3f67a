#include "objects/ObjectCache.h"

#include <algorithm>
#include <utility>

#include "entries/FileEntry.h"
#include "objects/File.h"
#include "objects/Directory.h"

namespace volcore {

bool NamesObject(FileReference wanted, FileReference object) {
    return SameRecord(wanted, object) && (SequenceNumber(wanted) == 0 || SequenceNumber(wanted) == SequenceNumber(object));
}

void FlushOrAbandon(const std::shared_ptr<CDirectory>& directory, std::exception_ptr& failure) {
    if (directory->IsAbandoned()) return;
    try {
        directory->Flush();
    } catch (const std::exception&) {
        directory->Abandon();
        if (!failure) failure = std::current_exception();
    }
}

std::shared_ptr<CDirectory> CObjectCache::FindDirectory(FileReference reference) {
    const uint64_t record = RecordNumber(reference);
    if (const std::shared_ptr<CDirectory>* cached = m_cache.Find(record)) {
        if (!NamesObject(reference, (*cached)->GetReference())) return nullptr;
        m_cache.Touch(record);
        return *cached;
    }
    if (const std::shared_ptr<CDirectory>* visited = FindFirstVisit(record))
        return NamesObject(reference, (*visited)->GetReference()) ? *visited : nullptr;
    return FindOpenDirectory(reference);
}

std::shared_ptr<CDirectory>* CObjectCache::FindFirstVisit(uint64_t record) {
    for (SFirstVisit& visit : m_firstVisits)
        if (visit.directory && visit.record == record) return &visit.directory;
    return nullptr;
}

std::shared_ptr<CDirectory> CObjectCache::FindOpenDirectory(FileReference reference) {
    std::shared_ptr<CDirectory> directory = m_openDirectories.Find(RecordNumber(reference));
    // A directory given up after a failed flush is not handed out again: a
    // change made to it would be lost without a word.
    if (!directory || directory->IsDeleted() || directory->IsAbandoned() ||
        !NamesObject(reference, directory->GetReference()))
        return nullptr;
    CacheDirectory(directory);
    return directory;
}

void CObjectCache::RememberOpenDirectory(const std::shared_ptr<CDirectory>& directory) {
    m_openDirectories.Remember(RecordNumber(directory->GetReference()), directory);
}

std::shared_ptr<CDirectory> CObjectCache::CacheDirectory(std::shared_ptr<CDirectory> directory) {
    uint64_t record = RecordNumber(directory->GetReference());
    if (m_cache.Find(record) || FindFirstVisit(record)) return nullptr;
    if (!m_visitedDirectories.SeenBefore(record)) return KeepFirstVisit(record, std::move(directory));
    std::shared_ptr<CDirectory> evicted;
    if (m_cache.IsFull()) evicted = m_cache.PopBack();
    m_cache.PushBack(record, std::move(directory));
    return evicted ? LetGo(std::move(evicted)) : nullptr;
}

// The slots are taken in turn, so that the oldest first visit goes.
std::shared_ptr<CDirectory> CObjectCache::KeepFirstVisit(uint64_t record, std::shared_ptr<CDirectory> directory) {
    const size_t slot = m_nextFirstVisit;
    m_nextFirstVisit = (slot + 1) % kFirstVisitSlots;
    std::shared_ptr<CDirectory> evicted = std::exchange(m_firstVisits[slot].directory, std::move(directory));
    m_firstVisits[slot].record = record;
    return evicted ? LetGo(std::move(evicted)) : nullptr;
}

std::shared_ptr<CDirectory> CObjectCache::LetGo(std::shared_ptr<CDirectory> evicted) {
    // Still held elsewhere (a handle, a walk): found again as long as it lives.
    if (evicted.use_count() > 1) RememberOpenDirectory(evicted);
    // Flushed here, where a failure can still be reported, not in its destructor.
    if (evicted->IsAbandoned()) return evicted;
    try {
        evicted->Flush();
    } catch (...) {
        evicted->Abandon();
        throw;
    }
    return evicted;
}

void CObjectCache::UncacheDirectory(FileReference reference) {
    uint64_t record = RecordNumber(reference);
    std::shared_ptr<CDirectory> uncached = m_cache.Remove(record);
    std::shared_ptr<CDirectory> firstVisit;
    if (std::shared_ptr<CDirectory>* found = FindFirstVisit(record)) firstVisit = std::move(*found);
    m_openDirectories.Forget(record);
}

std::shared_ptr<CFile> CObjectCache::FindOpenFile(FileReference reference) {
    const uint64_t record = RecordNumber(reference);
    // A kept file is the live object of its record and was neither deleted
    // nor given up: nothing could reach it while kept.
    if (std::shared_ptr<CFile>& kept = m_closedFiles[record % kClosedFileSlots];
        kept && SameRecord(kept->GetReference(), reference)) {
        if (!NamesObject(reference, kept->GetReference())) return nullptr;
        kept->ReturnToUse();
        return std::move(kept);
    }
    std::shared_ptr<CFile> file = m_openFiles.Find(record);
    if (!file || file->IsDeleted() || file->IsAbandoned() || !NamesObject(reference, file->GetReference()))
        return nullptr;
    return file;
}

void CObjectCache::KeepClosedFile(std::shared_ptr<CFile> file) noexcept {
    // Not closed before: the file goes here, and its entry, which it leaves
    // on the way out, is the one that marks the record.
    if (!m_closedRecords.Seen(RecordNumber(file->GetReference()))) return;
    // The file pushed out goes once the slot holds the new one: its
    // destructor reaches back into these tables.
    std::shared_ptr<CFile> pushedOut =
        std::exchange(m_closedFiles[RecordNumber(file->GetReference()) % kClosedFileSlots], std::move(file));
}

void CObjectCache::RememberOpenFile(const std::shared_ptr<CFile>& file) {
    m_openFiles.Remember(RecordNumber(file->GetReference()), file);
}

void CObjectCache::KeepClosedEntry(std::shared_ptr<CFileEntry> entry) noexcept {
    if (!m_closedRecords.SeenBefore(RecordNumber(entry->GetReference()))) return;
    m_closedEntries[RecordNumber(entry->GetReference()) % kClosedEntrySlots] = std::move(entry);
}

std::shared_ptr<CFileEntry> CObjectCache::TakeClosedEntry(FileReference reference) noexcept {
    std::shared_ptr<CFileEntry>& slot = m_closedEntries[RecordNumber(reference) % kClosedEntrySlots];
    if (!slot || !SameRecord(slot->GetReference(), reference)) return nullptr;
    std::shared_ptr<CFileEntry> entry = std::move(slot);
    // Another sequence number: the caller's reference is older than the
    // object, and the record read afresh decides what to report.
    return NamesObject(reference, entry->GetReference()) ? entry : nullptr;
}

size_t CObjectCache::GetCachedDirectoryCount() const {
    return m_cache.Size() + std::ranges::count_if(m_firstVisits, [](const SFirstVisit& visit) { return visit.directory != nullptr; });
}

std::vector<uint64_t> CObjectCache::GetCachedRecordNumbers() const {
    std::vector<uint64_t> records;
    m_cache.ForEach([&](const std::shared_ptr<CDirectory>& cached) { records.push_back(RecordNumber(cached->GetReference())); });
    for (const SFirstVisit& visit : m_firstVisits)
        if (visit.directory) records.push_back(visit.record);
    return records;
}

// A directory flushed here stays findable while `flushed` keeps it: a child
// updating its parent's entry finds the same object again. A flush may cache
// a parent again, in either part: both are emptied until neither holds any.
void CObjectCache::FlushDirectories(std::vector<std::shared_ptr<CDirectory>>& flushed, std::exception_ptr& failure) {
    for (;;) {
        if (m_cache.Size() > 0) {
            flushed.push_back(m_cache.PopBack());
        } else {
            auto visit = std::ranges::find_if(m_firstVisits, [](const SFirstVisit& v) { return v.directory != nullptr; });
            if (visit == m_firstVisits.end()) return;
            flushed.push_back(std::move(visit->directory));
        }
        RememberOpenDirectory(flushed.back());
        FlushOrAbandon(flushed.back(), failure);
    }
}

void CObjectCache::Release() noexcept {
    // First, while the tables their destructors reach are whole.
    for (auto& file : m_closedFiles) file.reset();
    m_cache.ForEach([](const std::shared_ptr<CDirectory>& directory) { directory->Abandon(); });
    m_cache.Clear();
    std::array<SFirstVisit, kFirstVisitSlots> firstVisits = std::exchange(m_firstVisits, {});
    for (SFirstVisit& visit : firstVisits)
        if (visit.directory) visit.directory->Abandon();
    firstVisits = {};
    m_openDirectories.Clear();
    m_openFiles.Clear();
    for (auto& entry : m_closedEntries) entry.reset();
}

}  // namespace volcore
