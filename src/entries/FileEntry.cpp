#include "entries/FileEntry.h"

#include "api/NotYet.h"

namespace volcore {
std::shared_ptr<CFileEntry> CFileEntry::Load(FileReference, CVolume&) { NotYet("CFileEntry"); }
std::shared_ptr<CFileEntry> CFileEntry::LoadFromBuffer(const MftRecBufferPtr&, CVolume&) { NotYet("CFileEntry"); }
std::shared_ptr<CFileEntry> CFileEntry::Create(uint16_t, CVolume&) { NotYet("CFileEntry"); }
CFileEntry::CFileEntry(FileReference reference, CVolume& volume, uint16_t flags)
    : m_reference(reference), m_volume(volume), m_flags(flags) {}
AttributePtr CFileEntry::FindAttribute(uint32_t, std::u16string_view) const { NotYet("CFileEntry"); }
std::vector<AttributePtr> CFileEntry::FindAttributes(uint32_t, std::u16string_view) const { NotYet("CFileEntry"); }
AttributePtr CFileEntry::GetAttribute(uint32_t, std::u16string_view) const { NotYet("CFileEntry"); }
AttributePtr CFileEntry::CreateAttribute(uint32_t, std::u16string_view, bool) { NotYet("CFileEntry"); }
void CFileEntry::DeleteAttribute(uint32_t, std::u16string_view) { NotYet("CFileEntry"); }
bool CFileEntry::IsDirty() const { NotYet("CFileEntry"); }
void CFileEntry::Save() { NotYet("CFileEntry"); }
void CFileEntry::Delete() { NotYet("CFileEntry"); }
void CFileEntry::LoadAttributes(const MftRecBufferPtr&) { NotYet("CFileEntry"); }
void CFileEntry::LoadAttributeList(ParseMap&) { NotYet("CFileEntry"); }
void CFileEntry::ReleaseExtensionRecords() { NotYet("CFileEntry"); }
}  // namespace volcore
