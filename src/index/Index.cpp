#include "index/Index.h"

#include "api/NotYet.h"
#include "entries/FileEntry.h"
#include "volume/Bitmap.h"

namespace volcore {
SIndexEntryValue MakeIndexEntryValue(FileReference, std::span<const uint8_t>) { NotYet("MakeIndexEntryValue"); }
CIndex::CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase)
    : m_upcase(&upcase), m_name(std::move(name)), m_entry(std::move(entry)), m_entries(FileNameLess{&upcase}) { NotYet("CIndex"); }
CIndex::CIndex(std::shared_ptr<CFileEntry> entry, std::u16string name, const UpCaseTable& upcase, uint32_t, uint8_t)
    : m_upcase(&upcase), m_name(std::move(name)), m_entry(std::move(entry)), m_entries(FileNameLess{&upcase}) { NotYet("CIndex"); }
CIndex::~CIndex() = default;
bool CIndex::FindEntry(std::u16string_view, SIndexEntryValue&) const { NotYet("CIndex"); }
const SIndexEntryValue& CIndex::GetEntry(std::u16string_view) const { NotYet("CIndex"); }
void CIndex::AddEntry(const std::u16string&, const SIndexEntryValue&) { NotYet("CIndex"); }
void CIndex::UpdateEntry(std::u16string_view, const SIndexEntryValue&) { NotYet("CIndex"); }
void CIndex::RemoveEntry(std::u16string_view) { NotYet("CIndex"); }
void CIndex::Save() { NotYet("CIndex"); }
void CIndex::Load() { NotYet("CIndex"); }
void CIndex::ReadEntries(const CByteReader&, size_t) { NotYet("CIndex"); }
bool CIndex::SaveToRoot() { NotYet("CIndex"); }
void CIndex::SaveToBlocks() { NotYet("CIndex"); }
void CIndex::ReturnToSmallForm() { NotYet("CIndex"); }
}  // namespace volcore
