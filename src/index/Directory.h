#pragma once
// Open directories, path splitting and resolution, creation and deletion.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "entries/File.h"
#include "index/Index.h"

namespace volcore {

// Components between backslashes; empty components are dropped.
std::vector<std::u16string> SplitPath(std::u16string_view path);
// Components joined with one backslash, empty ones skipped.
std::u16string JoinPath(const std::vector<std::u16string>& components);

class CDirectory : public CFsObject {
public:
    CDirectory(std::shared_ptr<CFileEntry> entry, CVolume& volume, std::unique_ptr<CIndex> index);
    ~CDirectory() override;  // best-effort flush; logs instead of raising

    static std::shared_ptr<CDirectory> Open(CVolume& volume, FileReference reference);
    static std::shared_ptr<CDirectory> OpenByPath(CVolume& volume, std::u16string_view path);
    static std::shared_ptr<CDirectory> Create(CVolume& volume, FileReference parent, const std::u16string& name);
    static std::shared_ptr<CDirectory> CreateByPath(CVolume& volume, std::u16string_view path);

    CIndex& GetIndex() const;  // "Directory was deleted"
    void AddEntry(const std::u16string& name, const SIndexEntryValue& value) { GetIndex().AddEntry(name, value); }
    void RemoveEntry(std::u16string_view name) { GetIndex().RemoveEntry(name); }
    const SIndexEntryValue& GetEntry(std::u16string_view name) const { return GetIndex().GetEntry(name); }
    const IndexEntryMap& GetEntries() const { return GetIndex().GetEntries(); }

    void Delete();
    // UpdateFileName, save the index, CheckAlive, save the entry. Raises.
    void Flush();

private:
    std::unique_ptr<CIndex> m_index;
};

}  // namespace volcore
