#pragma once
// Open directories, path splitting and resolution, creation and deletion.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "objects/File.h"
#include "index/Index.h"

namespace volcore {

// Components between backslashes; empty components are dropped.
std::vector<std::u16string> SplitPath(std::u16string_view path);
// The next non-empty component from `position` on, which moves past it; an
// empty view once none is left.
std::u16string_view NextComponent(std::u16string_view path, size_t& position);
// Components joined with one backslash, empty ones skipped.
std::u16string JoinPath(const std::vector<std::u16string>& components);

// A path taken apart for a create: the parent's path and the new name.
struct SParentAndName {
    std::u16string parentPath;
    std::u16string name;
};
// Raises "Invalid path: %1" when the path has no component.
SParentAndName SplitLastComponent(std::u16string_view path);

class CDirectory : public CFsObject {
public:
    // Opens the entry's existing index.
    CDirectory(std::shared_ptr<CFileEntry> entry, CVolume& volume);
    // A new directory whose (empty) $INDEX_ROOT the caller has created: its
    // index starts empty and dirty, with blocks of the given size.
    CDirectory(std::shared_ptr<CFileEntry> entry, CVolume& volume, uint32_t blockSize, uint8_t clustersPerBlock);
    ~CDirectory() override;  // best-effort flush unless abandoned; logs instead of raising

    static std::shared_ptr<CDirectory> Open(CVolume& volume, FileReference reference);
    // A new object for a directory the caller found neither cached nor open
    // (FindCachedDirectory), left out of the cache: a walk passing through
    // holds it alone and lets it go after one lookup.
    static std::shared_ptr<CDirectory> LoadUncached(CVolume& volume, FileReference reference);
    static std::shared_ptr<CDirectory> OpenByPath(CVolume& volume, std::u16string_view path);
    // The same, but null when a name on the path is not there (`missing`
    // names it, see CVolume::FindPath) or names no directory (`refusal`
    // says so, in the words of the index's load).
    static std::shared_ptr<CDirectory> FindByPath(CVolume& volume, std::u16string_view path,
                                                  std::u16string_view& missing, std::string& refusal);
    static std::shared_ptr<CDirectory> Create(CVolume& volume, FileReference parent, const std::u16string& name);
    static std::shared_ptr<CDirectory> CreateByPath(CVolume& volume, std::u16string_view path);

    CIndex& GetIndex() const;  // "Directory was deleted"
    void AddEntry(const std::u16string& name, const SIndexEntryValue& value) { GetIndex().AddEntry(name, value); }
    void RemoveEntry(std::u16string_view name) { GetIndex().RemoveEntry(name); }
    SIndexEntryValue GetEntry(std::u16string_view name) const { return GetIndex().GetEntry(name); }
    // Walks the entries in index order (see CIndex::Walk). The visitor may
    // change the directory, but not delete it: a delete during a walk is refused.
    template <typename Visit>
    void ForEachEntry(Visit&& visit);

    // The caller must hold a reference: the cache lets go of the directory here.
    void Delete();
    // Saves the index, then the entry and its names. Raises.
    // Does nothing for a deleted or abandoned directory.
    void Flush();
    // As CFsObject::Abandon; the index's unsaved changes are given up too.
    void Abandon() noexcept override;

private:
    // In the object itself: every first visit of a directory makes one.
    // Mutable as the pointer it replaces was: GetIndex hands it out.
    mutable std::optional<CIndex> m_index;
    unsigned m_walks = 0;
};

template <typename Visit>
void CDirectory::ForEachEntry(Visit&& visit) {
    CIndex& index = GetIndex();
    ++m_walks;
    try {
        index.Walk(visit);
    } catch (...) {
        --m_walks;
        throw;
    }
    --m_walks;
}

}  // namespace volcore
