#include "index/Directory.h"

#include "api/NotYet.h"

namespace volcore {
std::vector<std::u16string> SplitPath(std::u16string_view) { NotYet("SplitPath"); }
std::u16string JoinPath(const std::vector<std::u16string>&) { NotYet("JoinPath"); }
CDirectory::CDirectory(std::shared_ptr<CFileEntry> entry, CVolume& volume, std::unique_ptr<CIndex> index)
    : CFsObject(std::move(entry), volume), m_index(std::move(index)) {}
CDirectory::~CDirectory() = default;
std::shared_ptr<CDirectory> CDirectory::Open(CVolume&, FileReference) { NotYet("CDirectory"); }
std::shared_ptr<CDirectory> CDirectory::OpenByPath(CVolume&, std::u16string_view) { NotYet("CDirectory"); }
std::shared_ptr<CDirectory> CDirectory::Create(CVolume&, FileReference, const std::u16string&) { NotYet("CDirectory"); }
std::shared_ptr<CDirectory> CDirectory::CreateByPath(CVolume&, std::u16string_view) { NotYet("CDirectory"); }
CIndex& CDirectory::GetIndex() const { NotYet("CDirectory"); }
void CDirectory::Delete() { NotYet("CDirectory"); }
void CDirectory::Flush() { NotYet("CDirectory"); }
}  // namespace volcore
